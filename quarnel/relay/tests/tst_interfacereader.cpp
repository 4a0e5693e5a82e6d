#include <QtTest>

#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpSocket>

#include <functional>
#include <memory>

#include "harness.h"
#include "orv.h"
#include "quarnellog.h"
#include "recordingorvinterface.h"
#include "relaytestsupport.h"

using namespace relaytest;

namespace {

// Relay signals and event log lines, in the order the GUI thread saw them.
class EventRecorder : public QObject
{
    Q_OBJECT
public:
    QStringList events;
    QStringList logLines;
    QStringList orvItems;
    QStringList debugLines; // GUI thread only, the leading time as "hh:mm:ss"
    bool debugInEvents = false;
    QHostAddress hostAddress;

    int count(const QString &event) const { return events.count(event); }

public slots:
    void ReadyToStartExam() { events << "ReadyToStartExam"; }
    void EndExamOrDisconnection() { events << "EndExamOrDisconnection"; }
    void IpHost(QHostAddress addr)
    {
        hostAddress = addr;
        events << "IpHost";
    }
    void IpHostName(QString name) { events << "IpHostName:" + name; }
    void LogLine(QString text) { logLines << text; }
    void OrvItem(QString text) { orvItems << text; }
};

// The recording link without a record of its polls: the relay loop asks
// DataInQueue on every pass, millions of times.
class QuietLink : public RecordingOrvInterface
{
public:
    std::atomic<quint64> polls{0};

    int DataInQueue() override
    {
        polls.fetch_add(1);
        return pending();
    }
};

// A link whose writes take time like the serial line's (scaled down).
class PacedLink : public QuietLink
{
public:
    std::atomic<int> usPerByte{0};

    int Write(BYTE *command, int length) override
    {
        const int sent = RecordingOrvInterface::Write(command, length);
        const int us = usPerByte.load();
        if (us > 0 && length > 0)
            QThread::usleep(ulong(us) * ulong(length));
        return sent;
    }
};

// A headbox stream without end: byte n is patternByte(n). Unlike the
// recording link, its reads are not kept, so it can run for gigabytes.
class StreamingLink : public QuietLink
{
public:
    std::atomic<bool> streaming{false};
    std::atomic<quint64> produced{0};

    static unsigned char patternByte(quint64 n) { return static_cast<unsigned char>((n * 7 + (n >> 12)) & 0xFF); }

    int DataInQueue() override
    {
        polls.fetch_add(1);
        return streaming.load() ? 4096 : 0;
    }
    int Read(BYTE *command, int length) override
    {
        if (!streaming.load())
            return 0;
        const quint64 first = produced.load();
        for (int i = 0; i < length; ++i)
            command[i] = patternByte(first + quint64(i));
        produced.store(first + quint64(length));
        return length;
    }
};

// Written and read by the GUI thread only; the relay thread never looks.
EventRecorder *debugRecorder = nullptr;
QtMessageHandler defaultHandler = nullptr;

void recordingHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (QThread::currentThread() == QCoreApplication::instance()->thread() && debugRecorder) {
        static const QRegularExpression timeFirst(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d "));
        QString line = text;
        if (timeFirst.match(line).hasMatch())
            line.replace(0, 8, QStringLiteral("hh:mm:ss"));
        debugRecorder->debugLines << line;
        if (debugRecorder->debugInEvents)
            debugRecorder->events << "debug:" + line;
    }
    if (defaultHandler)
        defaultHandler(type, context, text);
}

struct Rig
{
    explicit Rig(QuietLink *l = new QuietLink) : link(l)
    {
        debugRecorder = &rec;
        orv = new Orv(link, &log);
        relay = new InterfaceReaderProbe(orv, &log);
        QObject::connect(relay, SIGNAL(ReadyToStartExam()), &rec, SLOT(ReadyToStartExam()));
        QObject::connect(relay, SIGNAL(EndExamOrDisconnection()), &rec, SLOT(EndExamOrDisconnection()));
        QObject::connect(relay, SIGNAL(IpHost(QHostAddress)), &rec, SLOT(IpHost(QHostAddress)));
        QObject::connect(relay, SIGNAL(IpHostName(QString)), &rec, SLOT(IpHostName(QString)));
        QObject::connect(&log, SIGNAL(AddLogItemSignal(QString)), &rec, SLOT(LogLine(QString)));
        QObject::connect(orv, SIGNAL(AddItem(QString)), &rec, SLOT(OrvItem(QString)));
        relay->start();
    }
    ~Rig()
    {
        debugRecorder = nullptr;
        relay->Resume();
        relay->Terminate();
        relay->wait();
        delete relay;
        delete orv;
        delete link;
    }

    // A PC connection on the data port, accepted by the relay.
    std::unique_ptr<QTcpSocket> connectPc()
    {
        const int before = rec.count("ReadyToStartExam");
        std::unique_ptr<QTcpSocket> s(new QTcpSocket);
        s->connectToHost(QHostAddress::LocalHost, InterfaceReader::dataPort);
        if (!s->waitForConnected(5000))
            return nullptr;
        QElapsedTimer t;
        t.start();
        while (rec.count("ReadyToStartExam") == before && t.elapsed() < 5000)
            QTest::qWait(5);
        return s;
    }
    std::unique_ptr<QTcpSocket> connectAnswer()
    {
        std::unique_ptr<QTcpSocket> s(new QTcpSocket);
        s->connectToHost(QHostAddress::LocalHost, InterfaceReader::answerPort);
        if (!s->waitForConnected(5000))
            return nullptr;
        QTest::qWait(50); // let the relay accept it
        return s;
    }
    // Stop the relay loop between passes, so that what the PC sends next is
    // scanned as one block after resume().
    void hold()
    {
        relay->Pause();
        QTest::qWait(50);
    }
    bool resumeWhenQueued(long n)
    {
        QElapsedTimer t;
        t.start();
        while (relay->towardsHeadboxQueued() < n && t.elapsed() < 5000)
            QTest::qWait(2);
        const bool ok = relay->towardsHeadboxQueued() == n;
        relay->Resume();
        return ok;
    }

    QuarnelLog log;
    EventRecorder rec;
    QuietLink *link;
    Orv *orv;
    InterfaceReaderProbe *relay;
};

// A PC-side connection from a given loopback address.
std::unique_ptr<QTcpSocket> connectFrom(const char *from, quint16 port)
{
    std::unique_ptr<QTcpSocket> s(new QTcpSocket);
    if (!s->bind(QHostAddress(QString::fromLatin1(from))))
        return nullptr;
    s->connectToHost(QHostAddress::LocalHost, port);
    if (!s->waitForConnected(5000))
        return nullptr;
    return s;
}

void send(QTcpSocket *s, const QByteArray &bytes)
{
    s->write(bytes);
    s->flush();
}

// Reads what arrives on s until it has n bytes or the time is up.
QByteArray receive(QTcpSocket *s, int n, int timeoutMs = 5000)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    // The relay's queued signals need this thread's event loop.
    while (got.size() < n && t.elapsed() < timeoutMs) {
        got += s->readAll();
        if (got.size() < n)
            QTest::qWait(2);
    }
    return got;
}

// Bytes written to the headbox, and the register-15 values written, each
// with the number of headbox bytes written before it.
struct LinkTrace
{
    QByteArray data;
    QVector<QPair<int, int>> reg15AfterBytes; // {value, bytes before}
};

LinkTrace trace(const RecordingOrvInterface *link)
{
    LinkTrace t;
    for (const RecordingOrvInterface::Call &c : link->calls()) {
        if (c.name == "Write")
            t.data += c.args.at(0).toByteArray();
        else if (c.name == "WriteRegister" && c.args.at(0).toInt() == 15)
            t.reg15AfterBytes.append(qMakePair(c.args.at(1).toInt(), t.data.size()));
    }
    return t;
}

// The link's register 15 as last written (the shadow itself belongs to the
// relay thread while it runs).
int lastReg15(const RecordingOrvInterface *link)
{
    int value = -1;
    for (const auto &w : link->registerWrites()) {
        if (w.first == 15)
            value = w.second;
    }
    return value;
}

QList<int> writeSizes(const RecordingOrvInterface *link)
{
    QList<int> out;
    for (const RecordingOrvInterface::Call &c : link->calls("Write"))
        out << c.args.at(0).toByteArray().size();
    return out;
}

// The connection on the data port as the kernel sees it: its keepalive timer
// (tr 2) and the seconds until it fires.
bool keepAliveTimer(int *seconds)
{
    for (const char *path : {"/proc/net/tcp6", "/proc/net/tcp"}) {
        QFile f(QString::fromLatin1(path));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = f.readAll().split('\n');
        for (const QByteArray &line : lines) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() < 6 || !fields.at(1).endsWith(":07D0") || fields.at(3) != "01")
                continue;
            const QList<QByteArray> timer = fields.at(5).split(':');
            if (timer.size() == 2 && timer.at(0) == "02") {
                *seconds = int(timer.at(1).toLongLong(nullptr, 16) / 100);
                return true;
            }
        }
    }
    return false;
}

std::atomic<int> codaPienaLines{0};
QtMessageHandler previousHandler = nullptr;

void countingHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text == QLatin1String("CODA PIENA"))
        codaPienaLines.fetch_add(1);
    if (previousHandler)
        previousHandler(type, context, text);
}

} // namespace

class tst_InterfaceReader : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void idleRelayDoesNotTouchTheHeadbox();
    void connectOrder();
    void keylessDataInChunks();
    void bytesThenFrame();
    void frameSplitInsideParameters();
    void partialKeyHoldsBackOnlyItsBytes();
    void streamToHeadbox_data();
    void streamToHeadbox();
    void noAnswerClientNoOk();
    void command9DropsQueuedHeadboxBytes();
    void command8DelaysLaterBytes();
    void command8Bounds_data();
    void command8Bounds();
    void disconnectSequence();
    void disconnectWithoutPcLeavesLinkAlone();
    void abruptEndSwitchesSyncOff();
    void pcSends100KiBAtOnce();
    void secondClientRefusedWhileFirstStreams();
    void reconnectAtOnceIsAccepted_data();
    void reconnectAtOnceIsAccepted();
    void answerConnectionReplacesPrevious();
    void answerPortStaysWithTheStreamingPc();
    void answerPortWithoutDataClient();
    void vanishedPcDoesNotHoldTheAnswerPort();
    void notificationsCoalescedWhileGuiBusy();
    void nextPcStartsClean_data();
    void nextPcStartsClean();
    void commandOfGonePcNotAnsweredToNext();
    void pcThatStopsReading();
    void dataSocketHasKeepAlive();
    void randomStreamWithFramesByteExact();
};

void tst_InterfaceReader::initTestCase()
{
    // Ports 2000/2001 are the panel's own: only inside the harness's
    // private network namespace.
    QUARNEL_REQUIRE_HARNESS();
    defaultHandler = qInstallMessageHandler(recordingHandler);
}

void tst_InterfaceReader::idleRelayDoesNotTouchTheHeadbox()
{
    Rig rig;
    rig.link->feedRx("waiting");
    QTest::qWait(200);
    QVERIFY(rig.link->calls("Read").isEmpty());
    QCOMPARE(rig.link->polls.load(), quint64(0));
    QCOMPARE(rig.relay->towardsPcQueued(), 0L);
}

void tst_InterfaceReader::connectOrder()
{
    Rig rig;
    rig.rec.debugInEvents = true;
    QVERIFY(rig.relay->queueTowardsPc("STALE"));
    auto pc = rig.connectPc();
    QVERIFY(pc);
    QTRY_VERIFY(rig.rec.events.size() >= 3);
    QCOMPARE(rig.rec.events.mid(0, 3), QStringList({"debug:hh:mm:ss ClientConnected", "ReadyToStartExam", "IpHost"}));
    rig.rec.debugInEvents = false;
    QCOMPARE(rig.rec.hostAddress.toIPv4Address(), QHostAddress(QHostAddress::LocalHost).toIPv4Address());
    // Plain IPv4, not the dual-stack server's mapped form.
    QCOMPARE(rig.rec.hostAddress.protocol(), QAbstractSocket::IPv4Protocol);
    QCOMPARE(rig.rec.hostAddress.toString(), QStringLiteral("127.0.0.1"));

    rig.link->feedRx("FRESH");
    QCOMPARE(receive(pc.get(), 5), QByteArray("FRESH"));
    QTest::qWait(100);
    QCOMPARE(pc->readAll(), QByteArray());

    // The name follows from the lookup, after the address.
    QTRY_VERIFY(rig.rec.events.size() >= 4);
    QVERIFY(rig.rec.events.at(3).startsWith("IpHostName:"));
    QVERIFY(rig.rec.events.at(3) != "IpHostName:");
    QVERIFY2(!rig.rec.events.at(3).contains("::ffff:"), qPrintable(rig.rec.events.at(3)));
}

void tst_InterfaceReader::keylessDataInChunks()
{
    Rig rig;
    auto pc = rig.connectPc();
    QVERIFY(pc);
    rig.hold();
    QByteArray data(5000, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char('a' + i % 19);
    send(pc.get(), data);
    QVERIFY(rig.resumeWhenQueued(5000));

    QTRY_COMPARE(rig.link->written().size(), 5000);
    QCOMPARE(rig.link->written(), data);
    QCOMPARE(writeSizes(rig.link), QList<int>({2048, 2048, 904}));
    QTRY_COMPARE(rig.rec.logLines.filter("num bytes = "),
                 QStringList({"num bytes = 5000", "num bytes = 2952", "num bytes = 904"}));
}

void tst_InterfaceReader::bytesThenFrame()
{
    Rig rig;
    rig.link->reg15 = 0x0080;
    auto pc = rig.connectPc();
    auto answer = rig.connectAnswer();
    QVERIFY(pc && answer);
    rig.hold();
    const QByteArray data("0123456789");
    send(pc.get(), data + frame(6, le16(2)));
    QVERIFY(rig.resumeWhenQueued(10 + 14));

    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    const LinkTrace t = trace(rig.link);
    QCOMPARE(t.data, data);
    QCOMPARE(t.reg15AfterBytes.size(), 1);
    QCOMPARE(t.reg15AfterBytes.at(0), qMakePair(0x0092, 10));
    QTRY_COMPARE(rig.rec.orvItems, QStringList({"Headbox Read/Write: 2"}));
    QTest::qWait(100);
    QCOMPARE(answer->readAll(), QByteArray());
}

void tst_InterfaceReader::frameSplitInsideParameters()
{
    Rig rig;
    auto pc = rig.connectPc();
    auto answer = rig.connectAnswer();
    QVERIFY(pc && answer);
    const QByteArray f = frame(3, le16(1) + le16(2) + le16(8) + le16(4) + le16(8) + le16(0) + le16(0) + le16(0));
    send(pc.get(), "abc" + f.left(15));
    QTRY_COMPARE(rig.link->written(), QByteArray("abc"));
    QTest::qWait(200);
    QVERIFY(rig.link->calls("SetMultiHeadInfo").isEmpty());
    QCOMPARE(answer->bytesAvailable(), 0);

    send(pc.get(), f.mid(15));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QTRY_COMPARE(rig.link->calls("SetMultiHeadInfo").size(), 1);
    QCOMPARE(rig.link->calls("SetMultiHeadInfo").at(0).args,
             QVariantList({1, 2, 8, 4, 8, 0, 0, 0}));
    QTest::qWait(100);
    QCOMPARE(rig.link->calls("SetMultiHeadInfo").size(), 1);
    QCOMPARE(rig.link->written(), QByteArray("abc"));
    QCOMPARE(receive(answer.get(), 1, 100), QByteArray());
}

void tst_InterfaceReader::partialKeyHoldsBackOnlyItsBytes()
{
    Rig rig;
    auto pc = rig.connectPc();
    QVERIFY(pc);
    send(pc.get(), "headbox bytesTAL");
    QTRY_COMPARE(rig.link->written(), QByteArray("headbox bytes"));
    QTest::qWait(100);
    QCOMPARE(rig.link->written(), QByteArray("headbox bytes"));
    QCOMPARE(rig.relay->waitingTowardsHeadbox(), QByteArray("TAL"));
    send(pc.get(), "!");
    QTRY_COMPARE(rig.link->written(), QByteArray("headbox bytesTAL!"));
}

void tst_InterfaceReader::streamToHeadbox_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QByteArray>("toHeadbox");
    QTest::addColumn<int>("oks");
    QTest::addColumn<QString>("logText");

    const QByteArray nop = frame(0);
    QTest::newRow("T then frame") << QList<QByteArray>{"T" + nop} << QByteArray("T") << 1 << QString();
    QTest::newRow("TAT then frame") << QList<QByteArray>{"xTAT" + nop + "y"} << QByteArray("xTATy") << 1 << QString();
    QTest::newRow("partial key waits, then is data")
        << QList<QByteArray>{"abcTAL", "x"} << QByteArray("abcTALx") << 0 << QString();
    QTest::newRow("partial key completes into a frame")
        << QList<QByteArray>{"abcTA", nop.mid(2) + "z"} << QByteArray("abcz") << 1 << QString();
    QTest::newRow("codes 0 and 10 answered")
        << QList<QByteArray>{frame(0) + frame(10, "xy")} << QByteArray() << 2 << QString();
    QTest::newRow("bad checksum dropped whole")
        << QList<QByteArray>{"ab" + frame(6, le16(1), -1, true) + "cd"} << QByteArray("abcd") << 0
        << QString("!!!! ERROREEEEE CHECKSUM!!!!6  14  %1  %2  %3  %4")
               .arg(checksum(frame(6, le16(1)).left(12)) + 1)
               .arg((checksum(frame(6, le16(1)).left(12)) + 1) >> 8)
               .arg((checksum(frame(6, le16(1)).left(12)) + 1) & 0xFF)
               .arg(checksum(frame(6, le16(1)).left(12)));
    QTest::newRow("negative length: key dropped, scan goes on")
        << QList<QByteArray>{"a" + QByteArray("TALV") + le32(-1) + "zzzzzz" + nop}
        << QByteArray("a") + le32(-1) + "zzzzzz" << 1 << QString("Command key dropped: parameter length -1 out of range");
    QTest::newRow("length above the queue: key dropped")
        << QList<QByteArray>{QByteArray("TALV") + le32(65525) + "qqqq"}
        << le32(65525) + "qqqq" << 0 << QString("Command key dropped: parameter length 65525 out of range");
    QTest::newRow("largest frame executed")
        << QList<QByteArray>{frame(77, QByteArray(65524, 'p'))} << QByteArray() << 1 << QString();
    QTest::newRow("short parameters: not executed")
        << QList<QByteArray>{frame(3, le16(1)) + "after"} << QByteArray("after") << 0
        << QString("Command 3 not executed: 2 parameter bytes, 16 needed");
    QTest::newRow("frames back to back")
        << QList<QByteArray>{nop + nop + nop} << QByteArray() << 3 << QString();
}

void tst_InterfaceReader::streamToHeadbox()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QByteArray, toHeadbox);
    QFETCH(int, oks);
    QFETCH(QString, logText);
    Rig rig;
    auto pc = rig.connectPc();
    auto answer = rig.connectAnswer();
    QVERIFY(pc && answer);
    for (const QByteArray &piece : pieces) {
        send(pc.get(), piece);
        QTest::qWait(100);
    }
    QTRY_COMPARE(rig.link->written(), toHeadbox);
    QCOMPARE(receive(answer.get(), 2 * oks, oks ? 5000 : 300), QByteArray("ok").repeated(oks));
    QTest::qWait(100);
    QCOMPARE(answer->readAll(), QByteArray());
    QCOMPARE(rig.link->written(), toHeadbox);
    QCOMPARE(rig.relay->towardsHeadboxQueued(), 0L);
    if (!logText.isEmpty())
        QTRY_VERIFY2(rig.rec.logLines.contains(logText), qPrintable(rig.rec.logLines.join('|')));
}

void tst_InterfaceReader::noAnswerClientNoOk()
{
    Rig rig;
    rig.link->reg15 = 0x0080;
    auto pc = rig.connectPc();
    QVERIFY(pc);
    send(pc.get(), frame(5, le16(3)));
    QTRY_COMPARE(lastReg15(rig.link), 0x0098);
    // A later answer client gets only later answers.
    auto answer = rig.connectAnswer();
    QVERIFY(answer);
    QCOMPARE(receive(answer.get(), 1, 200), QByteArray());
    send(pc.get(), frame(0));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
}

void tst_InterfaceReader::command9DropsQueuedHeadboxBytes()
{
    Rig rig;
    auto pc = rig.connectPc();
    auto answer = rig.connectAnswer();
    QVERIFY(pc && answer);
    rig.hold();
    QVERIFY(rig.relay->queueTowardsPc("STALE"));
    send(pc.get(), frame(9));
    QVERIFY(rig.resumeWhenQueued(12));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QCOMPARE(rig.link->calls("ClearRxBuffer").size(), 1);
    rig.link->feedRx("NEW");
    QCOMPARE(receive(pc.get(), 3), QByteArray("NEW"));
}

void tst_InterfaceReader::command8DelaysLaterBytes()
{
    Rig rig;
    auto pc = rig.connectPc();
    auto answer = rig.connectAnswer();
    QVERIFY(pc && answer);
    QElapsedTimer sent;
    qint64 firstByteAfter = -1;
    rig.link->setWriteHook([&](const QByteArray &, int) {
        if (firstByteAfter < 0)
            firstByteAfter = sent.elapsed();
    });
    sent.start();
    send(pc.get(), frame(8, le32(500)) + "after");
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QVERIFY2(sent.elapsed() >= 500, qPrintable(QString::number(sent.elapsed())));
    QTRY_COMPARE(rig.link->written(), QByteArray("after"));
    QVERIFY2(firstByteAfter >= 500, qPrintable(QString::number(firstByteAfter)));
}

void tst_InterfaceReader::command8Bounds_data()
{
    QTest::addColumn<qint32>("ms");
    QTest::addColumn<int>("slept");
    QTest::newRow("negative sleeps 0") << qint32(-5) << 0;
    QTest::newRow("zero") << qint32(0) << 0;
    QTest::newRow("within the cap") << qint32(1234) << 1234;
    QTest::newRow("capped at a minute") << qint32(100000) << 60000;
    QTest::newRow("largest value capped") << qint32(0x7fffffff) << 60000;
}

void tst_InterfaceReader::command8Bounds()
{
    QFETCH(qint32, ms);
    QFETCH(int, slept);
    Rig rig;
    rig.relay->recordSleeps = true;
    auto pc = rig.connectPc();
    auto answer = rig.connectAnswer();
    QVERIFY(pc && answer);
    send(pc.get(), frame(8, le32(ms)));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QCOMPARE(rig.relay->sleeps(), QVector<unsigned long>({static_cast<unsigned long>(slept)}));
}

void tst_InterfaceReader::disconnectSequence()
{
    Rig rig;
    rig.link->reg15 = 0x0080;
    auto pc = rig.connectPc();
    QVERIFY(pc);
    send(pc.get(), frame(6, le16(3)));
    QTRY_COMPARE(lastReg15(rig.link), 0x009B);
    QTRY_VERIFY(rig.rec.count("IpHostName:") == 0 && rig.rec.events.size() >= 3);
    rig.link->clear();

    pc->disconnectFromHost();
    QTRY_COMPARE(rig.rec.count("EndExamOrDisconnection"), 1);
    QVERIFY(rig.rec.logLines.contains("Client Disconnected"));
    QVERIFY(rig.rec.debugLines.contains("hh:mm:ss Client Disconnected"));
    QCOMPARE(rig.rec.events.mid(rig.rec.events.size() - 2),
             QStringList({"EndExamOrDisconnection", "IpHostName:"}));

    QStringList names;
    for (const RecordingOrvInterface::Call &c : rig.link->calls()) {
        if (c.name != "Pause")
            names << c.name;
    }
    QCOMPARE(names, QStringList({"WriteRegister", "Write", "SetMultiHeadInfo"}));
    QCOMPARE(rig.link->registerWrites(), (QVector<QPair<int, int>>{qMakePair(15, 0x0080)}));
    QCOMPARE(rig.link->written(), QByteArray("\r\nRDJW008000\r\n"));
    QCOMPARE(rig.link->calls("SetMultiHeadInfo").at(0).args, QVariantList({0, 0, 0, 0, 0, 0, 0, 0}));

    // Paused: the headbox is no longer read.
    QTest::qWait(50);
    const quint64 polls = rig.link->polls.load();
    rig.link->feedRx("late");
    QTest::qWait(200);
    QCOMPARE(rig.link->polls.load(), polls);
}

void tst_InterfaceReader::abruptEndSwitchesSyncOff()
{
    Rig rig;
    rig.link->reg15 = 0x0080;
    auto pc = rig.connectPc();
    QVERIFY(pc);
    send(pc.get(), frame(6, le16(2)));
    QTRY_COMPARE(lastReg15(rig.link), 0x0092);
    rig.link->reg15 |= 0x2800; // sync on with clock code 2, as an exam runs
    rig.link->clear();

    pc->abort();
    QTRY_COMPARE(rig.rec.count("EndExamOrDisconnection"), 1);
    // Channel 0 and sync off in the one register write; the clock stays.
    QCOMPARE(rig.link->registerWrites(), (QVector<QPair<int, int>>{qMakePair(15, 0x2080)}));
    QCOMPARE(rig.link->written(), QByteArray("\r\nRDJW008000\r\n"));
}

void tst_InterfaceReader::disconnectWithoutPcLeavesLinkAlone()
{
    // The cable detector reports an unplugged cable straight to the relay,
    // also between exams, while the presence checker is using the link.
    Rig rig;
    rig.link->reg15 = 0x0091;
    rig.link->clear();
    rig.relay->ClientDisconnected();
    QCOMPARE(rig.rec.count("EndExamOrDisconnection"), 1);
    QCOMPARE(rig.rec.count("IpHostName:"), 1);

    QStringList names;
    for (const RecordingOrvInterface::Call &c : rig.link->calls()) {
        if (c.name != "Pause")
            names << c.name;
    }
    QCOMPARE(names, QStringList());
    QCOMPARE(rig.link->written(), QByteArray());
    QCOMPARE(rig.link->reg15, WORD(0x0091));

    // A later exam still ends with the full stop sequence.
    auto pc = rig.connectPc();
    QVERIFY(pc);
    rig.link->clear();
    pc->disconnectFromHost();
    QTRY_COMPARE(rig.rec.count("EndExamOrDisconnection"), 2);
    QCOMPARE(rig.link->written(), QByteArray("\r\nRDJW008000\r\n"));
}

void tst_InterfaceReader::pcSends100KiBAtOnce()
{
    auto *link = new PacedLink;
    link->usPerByte = 20;
    Rig rig(link);
    auto pc = rig.connectPc();
    QVERIFY(pc);
    QByteArray data(100 * 1024, '\0');
    QRandomGenerator rng(5);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char('U' + rng.bounded(100)); // never 'T': no key, no prefix
    send(pc.get(), data);
    QTRY_COMPARE_WITH_TIMEOUT(rig.link->written().size(), data.size(), 30000);
    QVERIFY(rig.link->written() == data);
    // Nothing held it in the queue beyond the link's pace: bounded chunks.
    for (int n : writeSizes(rig.link))
        QVERIFY(n <= InterfaceReader::keylessChunk);
}

void tst_InterfaceReader::secondClientRefusedWhileFirstStreams()
{
    Rig rig;
    auto first = rig.connectPc();
    QVERIFY(first);
    rig.link->feedRx("one");
    QCOMPARE(receive(first.get(), 3), QByteArray("one"));

    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, InterfaceReader::dataPort);
    QVERIFY(second.waitForConnected(5000));
    QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(!rig.rec.logLines.filter("refused").isEmpty());
    QVERIFY(rig.rec.logLines.filter("refused").at(0).contains("127.0.0.1"));
    QCOMPARE(rig.rec.count("ReadyToStartExam"), 1);
    QCOMPARE(rig.rec.count("EndExamOrDisconnection"), 0);

    rig.link->feedRx("two");
    QCOMPARE(receive(first.get(), 3), QByteArray("two"));
    send(first.get(), "still");
    QTRY_COMPARE(rig.link->written(), QByteArray("still"));
    QCOMPARE(first->state(), QAbstractSocket::ConnectedState);
    // Refused sockets do not pile up.
    for (int i = 0; i < 10; ++i) {
        QTcpSocket more;
        more.connectToHost(QHostAddress::LocalHost, InterfaceReader::dataPort);
        QVERIFY(more.waitForConnected(5000));
        QTRY_COMPARE(more.state(), QAbstractSocket::UnconnectedState);
    }
    QTRY_COMPARE(rig.relay->liveSockets(), 1);
    QCOMPARE(rig.rec.count("ReadyToStartExam"), 1);
}

void tst_InterfaceReader::reconnectAtOnceIsAccepted_data()
{
    QTest::addColumn<bool>("graceful");
    QTest::addColumn<bool>("newFirst");
    QTest::newRow("reset, served as they come") << false << false;
    QTest::newRow("reset, new connections served first") << false << true;
    QTest::newRow("close after bytes, served as they come") << true << false;
    QTest::newRow("close after bytes, new connections served first") << true << true;
}

void tst_InterfaceReader::reconnectAtOnceIsAccepted()
{
    QFETCH(bool, graceful);
    QFETCH(bool, newFirst);
    Rig rig;
    rig.link->reg15 = 0x0080;
    auto pc = rig.connectPc();
    auto answer = rig.connectAnswer();
    QVERIFY(pc && answer);
    for (int round = 0; round < 4; ++round) {
        if (graceful) {
            // Unread bytes, half a frame included, ahead of the end.
            send(pc.get(), "last words" + frame(0).left(6));
            pc->disconnectFromHost();
            answer->disconnectFromHost();
        } else {
            pc->abort();
            answer->abort();
        }
        pc.reset(new QTcpSocket);
        answer.reset(new QTcpSocket);
        pc->connectToHost(QHostAddress::LocalHost, InterfaceReader::dataPort);
        answer->connectToHost(QHostAddress::LocalHost, InterfaceReader::answerPort);
        QVERIFY(pc->waitForConnected(5000));
        QVERIFY(answer->waitForConnected(5000));
        if (newFirst) {
            // The relay takes the newcomers before it has served the old
            // connections' end; either port may come first.
            if (round % 2) {
                QVERIFY(rig.relay->acceptAnswerNow(5000));
                QVERIFY(rig.relay->acceptDataNow(5000));
            } else {
                QVERIFY(rig.relay->acceptDataNow(5000));
                QVERIFY(rig.relay->acceptAnswerNow(5000));
            }
            QCOMPARE(rig.rec.count("ReadyToStartExam"), round + 2);
            QCOMPARE(rig.rec.count("EndExamOrDisconnection"), round + 1);
        }
        QTRY_COMPARE(rig.rec.count("ReadyToStartExam"), round + 2);
        QTRY_COMPARE(rig.rec.count("EndExamOrDisconnection"), round + 1);
        QCOMPARE(pc->state(), QAbstractSocket::ConnectedState);

        send(pc.get(), frame(4, le16(qint16(round % 4 + 1))));
        QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
        rig.link->feedRx("r" + QByteArray::number(round));
        QCOMPARE(receive(pc.get(), 2), "r" + QByteArray::number(round));
        QCOMPARE(answer->state(), QAbstractSocket::ConnectedState);
    }
    QVERIFY(rig.rec.logLines.filter("refused").isEmpty());
    // Served before the old connection's bytes, the newcomer ends it first:
    // what it left unread must not reach the headbox.
    if (newFirst)
        QVERIFY(!rig.link->written().contains("last words"));
    // Ended connections are deleted, not kept for the life of the program.
    QTRY_COMPARE(rig.relay->liveSockets(), 2);
}

void tst_InterfaceReader::answerConnectionReplacesPrevious()
{
    Rig rig;
    auto pc = rig.connectPc();
    auto oldAnswer = rig.connectAnswer();
    auto newAnswer = rig.connectAnswer();
    QVERIFY(pc && oldAnswer && newAnswer);
    QTRY_COMPARE(oldAnswer->state(), QAbstractSocket::UnconnectedState);
    // Inbound bytes on the answer port are not kept.
    send(newAnswer.get(), QByteArray(100000, 'j'));
    send(pc.get(), frame(0));
    QCOMPARE(receive(newAnswer.get(), 2), QByteArray("ok"));
    QCOMPARE(newAnswer->state(), QAbstractSocket::ConnectedState);
}

void tst_InterfaceReader::answerPortStaysWithTheStreamingPc()
{
    Rig rig;
    auto pc = connectFrom("127.0.0.1", InterfaceReader::dataPort);
    auto answer = connectFrom("127.0.0.1", InterfaceReader::answerPort);
    QVERIFY(pc && answer);
    QTRY_COMPARE(rig.rec.count("ReadyToStartExam"), 1);
    QTest::qWait(50);
    rig.link->feedRx("one");
    QCOMPARE(receive(pc.get(), 3), QByteArray("one"));

    // A second PC tries the answer port first, then the data port.
    auto otherAnswer = connectFrom("127.0.0.2", InterfaceReader::answerPort);
    QVERIFY(otherAnswer);
    QTRY_COMPARE(otherAnswer->state(), QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(rig.rec.logLines.contains(
        "Answer connection from 127.0.0.2 refused: the PC at 127.0.0.1 is connected"));
    auto otherPc = connectFrom("127.0.0.2", InterfaceReader::dataPort);
    QVERIFY(otherPc);
    QTRY_COMPARE(otherPc->state(), QAbstractSocket::UnconnectedState);

    // The first PC's exam goes on, answers included.
    QCOMPARE(answer->state(), QAbstractSocket::ConnectedState);
    send(pc.get(), frame(0));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    rig.link->feedRx("two");
    QCOMPARE(receive(pc.get(), 3), QByteArray("two"));
    QCOMPARE(rig.rec.count("ReadyToStartExam"), 1);
    QCOMPARE(rig.rec.count("EndExamOrDisconnection"), 0);

    // Without its answer connection the streaming PC still owns the port:
    // the other PC is refused again, the PC itself is taken back.
    answer->disconnectFromHost();
    QTest::qWait(50);
    otherAnswer = connectFrom("127.0.0.2", InterfaceReader::answerPort);
    QVERIFY(otherAnswer);
    QTRY_COMPARE(otherAnswer->state(), QAbstractSocket::UnconnectedState);
    answer = connectFrom("127.0.0.1", InterfaceReader::answerPort);
    QVERIFY(answer);
    QTest::qWait(50);
    send(pc.get(), frame(10));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QCOMPARE(rig.rec.logLines.filter("Answer connection from 127.0.0.2 refused").size(), 2);
}

void tst_InterfaceReader::answerPortWithoutDataClient()
{
    Rig rig;
    // With no exam running, the newest answer connection wins, whoever makes it.
    auto first = connectFrom("127.0.0.2", InterfaceReader::answerPort);
    QVERIFY(first);
    QTest::qWait(50);
    auto answer = connectFrom("127.0.0.1", InterfaceReader::answerPort);
    QVERIFY(answer);
    QTRY_COMPARE(first->state(), QAbstractSocket::UnconnectedState);

    // Answer port before the data port: the PC's answers reach it.
    auto pc = connectFrom("127.0.0.1", InterfaceReader::dataPort);
    QVERIFY(pc);
    QTRY_COMPARE(rig.rec.count("ReadyToStartExam"), 1);
    send(pc.get(), frame(0));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QVERIFY(rig.rec.logLines.filter("refused").isEmpty());
}

void tst_InterfaceReader::vanishedPcDoesNotHoldTheAnswerPort()
{
    Rig rig;
    auto pc = connectFrom("127.0.0.1", InterfaceReader::dataPort);
    QVERIFY(pc);
    QTRY_COMPARE(rig.rec.count("ReadyToStartExam"), 1);

    // The first PC has gone; another one connects before the relay has
    // served that end.
    pc->abort();
    auto answer = connectFrom("127.0.0.2", InterfaceReader::answerPort);
    QVERIFY(answer);
    QVERIFY(rig.relay->acceptAnswerNow(5000));
    QCOMPARE(rig.rec.count("EndExamOrDisconnection"), 1);
    auto next = connectFrom("127.0.0.2", InterfaceReader::dataPort);
    QVERIFY(next);
    QTRY_COMPARE(rig.rec.count("ReadyToStartExam"), 2);
    send(next.get(), frame(0));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QVERIFY(rig.rec.logLines.filter("refused").isEmpty());
}

void tst_InterfaceReader::notificationsCoalescedWhileGuiBusy()
{
    auto *link = new StreamingLink;
    Rig rig(link);
    auto pc = rig.connectPc();
    QVERIFY(pc);
    std::atomic<int> writeReady{0};
    std::atomic<int> dataWanted{0};
    // Counted in the relay thread, as they are emitted.
    QObject::connect(rig.relay, &InterfaceReader::WriteDataReady, [&](int) { writeReady.fetch_add(1); });
    QObject::connect(rig.relay, &InterfaceReader::ProgramDataWanted, [&] { dataWanted.fetch_add(1); });

    QByteArray data(60000, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char('U' + i % 100); // never 'T'
    rig.hold();
    send(pc.get(), data);
    QTRY_COMPARE(rig.relay->towardsHeadboxQueued(), 60000L);

    // The GUI thread is busy from here on: the relay spins through many
    // passes, each with headbox bytes for the PC, many with PC bytes taken.
    const int writeBefore = writeReady.load();
    const int wantedBefore = dataWanted.load();
    const quint64 producedBefore = link->produced.load();
    rig.relay->Resume();
    link->streaming = true;
    QElapsedTimer busy;
    busy.start();
    while ((link->produced.load() - producedBefore < 100000
            || rig.link->written().size() < 10 * InterfaceReader::keylessChunk)
           && busy.elapsed() < 20000)
        QThread::msleep(10); // no event processing meanwhile
    QVERIFY2(link->produced.load() - producedBefore >= 100000,
             qPrintable(QString("%1 headbox bytes read, %2 written, %3 ms, queued %4")
                            .arg(link->produced.load() - producedBefore)
                            .arg(rig.link->written().size())
                            .arg(busy.elapsed())
                            .arg(rig.relay->towardsPcQueued())));
    QVERIFY(rig.link->written().size() >= 10 * InterfaceReader::keylessChunk);
    QVERIFY2(writeReady.load() - writeBefore <= 1, qPrintable(QString::number(writeReady.load() - writeBefore)));
    QVERIFY2(dataWanted.load() - wantedBefore <= 1, qPrintable(QString::number(dataWanted.load() - wantedBefore)));

    // Once served, both directions go on.
    QTRY_COMPARE(rig.link->written().size(), data.size());
    QVERIFY(rig.link->written() == data);
    const QByteArray got = receive(pc.get(), 100000);
    QVERIFY(got.size() >= 100000);
    for (int i = 0; i < got.size(); ++i)
        QCOMPARE(static_cast<unsigned char>(got.at(i)), StreamingLink::patternByte(quint64(i)));
    link->streaming = false;
}

void tst_InterfaceReader::nextPcStartsClean_data()
{
    QTest::addColumn<QByteArray>("leftover");
    QTest::newRow("half a frame") << frame(5, le16(4)).left(9);
    QTest::newRow("key only") << QByteArray("TALV");
    QTest::newRow("partial key") << QByteArray("TA");
    QTest::newRow("bytes still queued") << QByteArray(6000, 'a');
    QTest::newRow("bytes and half a frame") << QByteArray(6000, 'a') + frame(5, le16(4)).left(13);
}

void tst_InterfaceReader::nextPcStartsClean()
{
    QFETCH(QByteArray, leftover);
    auto *link = new PacedLink;
    Rig rig(link);
    rig.link->reg15 = 0x0080;
    auto first = rig.connectPc();
    QVERIFY(first);
    link->usPerByte = 50; // 2048 bytes take 0.1 s: the leftover outlives the PC
    send(first.get(), leftover);
    QTest::qWait(30);
    first->disconnectFromHost();
    QTRY_COMPARE(rig.rec.count("EndExamOrDisconnection"), 1);

    int writesAtConnect = -1;
    QObject::connect(rig.relay, &InterfaceReader::ReadyToStartExam, [&] {
        writesAtConnect = rig.link->calls("Write").size();
    });
    auto next = rig.connectPc();
    auto answer = rig.connectAnswer();
    QVERIFY(next && answer);
    QElapsedTimer t;
    t.start();
    send(next.get(), frame(6, le16(2)) + "new");
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QVERIFY2(t.elapsed() < 1500, qPrintable(QString::number(t.elapsed())));
    QTRY_VERIFY(rig.link->written().endsWith("new"));
    QCOMPARE(lastReg15(rig.link) & 0x3F, 0x12);

    // Nothing of the first PC begins on the link after the next connected.
    const QList<RecordingOrvInterface::Call> writes = rig.link->calls("Write");
    QVERIFY(writesAtConnect >= 0);
    QByteArray afterConnect;
    for (int i = writesAtConnect; i < writes.size(); ++i)
        afterConnect += writes.at(i).args.at(0).toByteArray();
    QCOMPARE(afterConnect, QByteArray("new"));
}

void tst_InterfaceReader::commandOfGonePcNotAnsweredToNext()
{
    Rig rig;
    auto pc = rig.connectPc();
    auto answer = rig.connectAnswer();
    QVERIFY(pc && answer);
    send(pc.get(), frame(8, le32(600)));
    QTest::qWait(100); // the relay thread is inside the pause
    pc->disconnectFromHost();
    answer->disconnectFromHost();
    QTRY_COMPARE(rig.rec.count("EndExamOrDisconnection"), 1);

    auto next = rig.connectPc();
    auto nextAnswer = rig.connectAnswer();
    QVERIFY(next && nextAnswer);
    QCOMPARE(receive(nextAnswer.get(), 2, 900), QByteArray());
    send(next.get(), frame(0));
    QCOMPARE(receive(nextAnswer.get(), 2), QByteArray("ok"));
    QTest::qWait(100);
    QCOMPARE(nextAnswer->readAll(), QByteArray());
}

void tst_InterfaceReader::pcThatStopsReading()
{
    auto *link = new StreamingLink;
    Rig rig(link);
    auto pc = rig.connectPc();
    QVERIFY(pc);
    pc->setReadBufferSize(4096); // the PC stops taking bytes from the kernel
    codaPienaLines = 0;
    previousHandler = qInstallMessageHandler(countingHandler);
    QElapsedTimer stalled;
    stalled.start();
    link->streaming = true;

    // The stream backs up until the relay stops reading the headbox.
    quint64 before = 0;
    QElapsedTimer t;
    t.start();
    for (;;) {
        QTest::qWait(300);
        const quint64 now = link->produced.load();
        if (now == before && now > 0)
            break;
        QVERIFY2(t.elapsed() < 20000, "the relay never stopped reading the headbox");
        before = now;
    }
    const quint64 held = link->produced.load();
    // Queue, socket bound, kernel buffers: tens of MiB at most, not the
    // whole stream of a PC that never reads.
    QVERIFY2(held < 64ull * 1024 * 1024, qPrintable(QString::number(held)));
    QVERIFY(held > quint64(InterfaceReader::toTcpCapacity));
    // The full queue is reported, but not on every spin of the loop.
    QTest::qWait(1000);
    qInstallMessageHandler(previousHandler);
    QVERIFY(codaPienaLines.load() >= 1);
    QVERIFY2(codaPienaLines.load() <= stalled.elapsed() / 1000 + 2, qPrintable(QString::number(codaPienaLines.load())));

    // Reading again resumes the stream, every byte in order.
    pc->setReadBufferSize(0);
    quint64 got = 0;
    QByteArray chunk;
    const quint64 want = held + 8ull * 1024 * 1024;
    t.restart();
    while (got < want && t.elapsed() < 30000) {
        if (pc->bytesAvailable() == 0)
            QTest::qWait(1);
        chunk = pc->readAll();
        for (int i = 0; i < chunk.size(); ++i) {
            if (static_cast<unsigned char>(chunk.at(i)) != StreamingLink::patternByte(got + quint64(i)))
                QFAIL(qPrintable(QString("byte %1 wrong").arg(got + quint64(i))));
        }
        got += quint64(chunk.size());
    }
    QVERIFY2(got >= want, qPrintable(QString::number(got)));
    link->streaming = false;
}

void tst_InterfaceReader::dataSocketHasKeepAlive()
{
    Rig rig;
    auto pc = rig.connectPc();
    QVERIFY(pc);
    int seconds = -1;
    QTRY_VERIFY(keepAliveTimer(&seconds));
    QVERIFY2(seconds >= 0 && seconds <= 10, qPrintable(QString::number(seconds)));
}

void tst_InterfaceReader::randomStreamWithFramesByteExact()
{
    Rig rig;
    rig.link->reg15 = 0x0080;
    auto pc = rig.connectPc();
    auto answer = rig.connectAnswer();
    QVERIFY(pc && answer);

    // Data rich in key letters around frames that select write channels.
    QRandomGenerator rng(77);
    const char letters[] = "TALVTTAx\x00\xff";
    QByteArray stream;
    for (int i = 0; i < 300; ++i) {
        const int n = rng.bounded(0, 1500);
        for (int k = 0; k < n; ++k)
            stream += rng.bounded(3) ? char(rng.bounded(256)) : letters[rng.bounded(10)];
        stream += frame(5, le16(qint16(i % 5)));
    }
    const StreamModel m = model(stream);
    QCOMPARE(m.frames.size(), 300);

    int at = 0;
    while (at < stream.size()) {
        const int n = qMin(stream.size() - at, rng.bounded(1, 9000));
        send(pc.get(), stream.mid(at, n));
        at += n;
        if (rng.bounded(4) == 0)
            QTest::qWait(1);
    }
    QCOMPARE(receive(answer.get(), 600, 30000), QByteArray("ok").repeated(300));
    const LinkTrace t = trace(rig.link);
    QCOMPARE(t.data.size(), m.data.size());
    QVERIFY(t.data == m.data);
    QCOMPARE(t.reg15AfterBytes.size(), 300);
    for (int i = 0; i < 300; ++i) {
        QCOMPARE(t.reg15AfterBytes.at(i).second, m.dataBeforeFrame.at(i));
        QCOMPARE((t.reg15AfterBytes.at(i).first >> 3) & 7, i % 5);
    }
}

QTEST_MAIN(tst_InterfaceReader)
#include "tst_interfacereader.moc"
