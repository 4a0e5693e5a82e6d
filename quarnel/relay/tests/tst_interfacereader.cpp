#include <QTest>
#include <QRegularExpression>

#include <QFile>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpSocket>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "harness.h"
#include "orv.h"
#include "quarnellog.h"
#include "recordingorvinterface.h"
#include "relaytestsupport.h"

// The relay on real sockets, byte-exact both ways: connections and their
// rules, the stream in order with its frames executed and answered, flow
// control. What the scanner and the interpreter decide is tst_commandframe's.

using namespace relaytest;

namespace {

// The panel's ports, as the PC program knows them.
const quint16 dataPort = 2000;
const quint16 answerPort = 2001;

// Relay signals and event log lines, in the order the GUI thread saw them.
struct EventRecorder
{
    QStringList events;
    QStringList logLines;
    QStringList debugLines; // GUI thread only, the leading time as "hh:mm:ss"
    bool debugInEvents = false;
    QHostAddress hostAddress;

    int count(const QString &event) const { return events.count(event); }
};

// The recording link as the relay needs it: polls only counted (the relay
// asks on every pass, millions of times); writes held by the test, as a slow
// serial line holds them; and, while streaming, a headbox stream without end
// whose reads are not kept: byte n is patternByte(n).
class RelayLink : public RecordingOrvInterface
{
public:
    std::atomic<quint64> polls{0};
    std::atomic<bool> streaming{false};
    std::atomic<quint64> produced{0};

    static unsigned char patternByte(quint64 n) { return static_cast<unsigned char>((n * 7 + (n >> 12)) & 0xFF); }

    // While held, the relay thread's writes wait once recorded; the GUI
    // thread's (the stop command of a disconnection) go through.
    void holdWrites(bool hold)
    {
        std::lock_guard<std::mutex> lock(holdMutex);
        holding = hold;
        released.notify_all();
    }

    // Link calls of the relay thread after the GUI thread's first write (the
    // stop sequence of a disconnection).
    std::atomic<bool> guiWrote{false};
    std::atomic<int> relayCallsAfterGuiWrite{0};

    int DataInQueue() override
    {
        polls.fetch_add(1);
        noteRelayCall();
        return streaming.load() ? 4096 : pending();
    }
    int Read(BYTE *command, int length) override
    {
        noteRelayCall();
        if (!streaming.load())
            return RecordingOrvInterface::Read(command, length);
        const quint64 first = produced.load();
        for (int i = 0; i < length; ++i)
            command[i] = patternByte(first + quint64(i));
        produced.store(first + quint64(length));
        return length;
    }
    int Write(BYTE *command, int length) override
    {
        const int sent = RecordingOrvInterface::Write(command, length);
        if (!onRelayThread())
            guiWrote = true;
        noteRelayCall();
        return sent;
    }
    // The relay's writes: a held one ends when the relay stops it, as a
    // paced write stops between two bytes.
    int WriteUntil(BYTE *command, int length, const std::atomic<bool> &stop) override
    {
        if (stop.load())
            return 0;
        const int sent = Write(command, length);
        std::unique_lock<std::mutex> lock(holdMutex);
        while (holding && !stop.load())
            released.wait_for(lock, std::chrono::milliseconds(1));
        return sent;
    }

private:
    static bool onRelayThread() { return QThread::currentThread() != QCoreApplication::instance()->thread(); }
    void noteRelayCall()
    {
        if (onRelayThread() && guiWrote.load())
            relayCallsAfterGuiWrite.fetch_add(1);
    }

    std::mutex holdMutex;
    std::condition_variable released;
    bool holding = false;
};

// Written and read by the GUI thread only; the relay thread never looks.
EventRecorder *debugRecorder = nullptr;
QtMessageHandler defaultHandler = nullptr;
std::atomic<int> codaPienaLines{0};

void recordingHandler(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (text == QLatin1String("CODA PIENA"))
        codaPienaLines.fetch_add(1);
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

// A PC-side connection, from a given loopback address.
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

// A PC-side connection from 127.0.0.1 that its program never reads: a plain
// descriptor outside the event loop, with a small kernel receive buffer so
// that the terminal's side backs up soon.
int connectNeverRead(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int size = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything left on fd up to its end; *ended says whether the end came
// (false when nothing arrived for the safety bound).
QByteArray readToEnd(int fd, bool *ended)
{
    const timeval bound{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    QByteArray all;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            *ended = n == 0;
            return all;
        }
        all.append(buf, int(n));
    }
}

void send(QTcpSocket *s, const QByteArray &bytes)
{
    s->write(bytes);
    s->flush();
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

} // namespace

class tst_InterfaceReader : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void connectOrder();
    void bytesThenFrameInStreamOrder();
    void command9DropsQueuedHeadboxBytes();
    void command8HoldsTheStream();
    void disconnectSequence_data();
    void disconnectSequence();
    void disconnectWaitsForThePassUnderWay();
    void disconnectWithoutPcLeavesLinkAlone();
    void pcSends100KiBAtOnce();
    void secondClientRefusedWhileFirstStreams();
    void reconnectAtOnceIsAccepted_data();
    void reconnectAtOnceIsAccepted();
    void answerPortStaysWithTheStreamingPc();
    void answerPortWithoutDataClient();
    void answerPortClosedWhenPcNeverReadsIt();
    void answerPortOfAnEarlierPcClosedWhenAnotherStreams();
    void vanishedPcDoesNotHoldTheAnswerPort();
    void notificationsCoalescedWhileGuiBusy();
    void bytesReadBeforeALongCommandReachThePc();
    void nextPcStartsClean_data();
    void nextPcStartsClean();
    void pcThatStopsReading();
    void randomStreamWithFramesByteExact();

private:
    // The PC's data connection (pc) or answer connection (answer), served
    // by the relay before this returns.
    bool connectPc();
    bool connectAnswer();
    bool connectExam() { return connectPc() && connectAnswer(); }
    // An exam whose first byte has been through the relay: it has dropped
    // what an earlier PC left, so bytes may go straight into its queue.
    bool startStream();
    // Everything the GUI thread has queued is served (the relay's answers
    // emitted so far are on their socket).
    void serve() { QCoreApplication::processEvents(); }

    QuarnelLog *log = nullptr;
    EventRecorder *rec = nullptr;
    RelayLink *link = nullptr;
    Orv *orv = nullptr;
    InterfaceReaderProbe *relay = nullptr;
    std::unique_ptr<QTcpSocket> pc;
    std::unique_ptr<QTcpSocket> answer;
    // Answers the relay thread has emitted, counted as they are.
    std::atomic<int> answersSent{0};
};

void tst_InterfaceReader::initTestCase()
{
    // The data and answer ports are the panel's own: only inside the
    // harness's private network namespace.
    QUARNEL_REQUIRE_HARNESS();
    defaultHandler = qInstallMessageHandler(recordingHandler);
}

void tst_InterfaceReader::init()
{
    log = new QuarnelLog;
    rec = new EventRecorder;
    debugRecorder = rec;
    link = new RelayLink;
    link->reg15 = 0x0080;
    orv = new Orv(link, log);
    relay = new InterfaceReaderProbe(orv, log);
    QObject::connect(relay, &InterfaceReader::ReadyToStartExam, this, [this] { rec->events << "ReadyToStartExam"; });
    QObject::connect(relay, &InterfaceReader::EndExamOrDisconnection, this,
                     [this] { rec->events << "EndExamOrDisconnection"; });
    QObject::connect(relay, &InterfaceReader::IpHost, this, [this](QHostAddress a) {
        rec->hostAddress = a;
        rec->events << "IpHost";
    });
    QObject::connect(relay, &InterfaceReader::IpHostName, this, [this](QString n) { rec->events << "IpHostName:" + n; });
    QObject::connect(log, &QuarnelLog::AddLogItemSignal, this, [this](QString t) { rec->logLines << t; });
    answersSent = 0;
    QObject::connect(relay, &InterfaceReader::SendResponse, relay, [this] { answersSent.fetch_add(1); },
                     Qt::DirectConnection);
    relay->start();
}

void tst_InterfaceReader::cleanup()
{
    pc.reset();
    answer.reset();
    debugRecorder = nullptr;
    link->holdWrites(false);
    relay->holdSleeps(false);
    relay->Stop();
    delete relay;
    delete orv;
    delete link;
    delete rec;
    delete log;
}

bool tst_InterfaceReader::connectPc()
{
    pc = connectFrom("127.0.0.1", dataPort);
    return pc && relay->acceptDataNow();
}

bool tst_InterfaceReader::connectAnswer()
{
    answer = connectFrom("127.0.0.1", answerPort);
    return answer && relay->acceptAnswerNow();
}

bool tst_InterfaceReader::startStream()
{
    if (!connectExam())
        return false;
    send(pc.get(), "!");
    if (!QTest::qWaitFor([this] { return link->written() == "!"; }, 5000))
        return false;
    link->clear();
    return true;
}

void tst_InterfaceReader::connectOrder()
{
    // Before a PC connects the relay loop does not run.
    link->feedRx("EARLY");
    quint64 pollsBeforeExam = ~0ull;
    QObject::connect(relay, &InterfaceReader::ReadyToStartExam, [&] { pollsBeforeExam = link->polls.load(); });
    rec->debugInEvents = true;
    QVERIFY(relay->queueTowardsPc("STALE"));
    QVERIFY(connectPc());
    QTRY_VERIFY(rec->events.size() >= 3);
    QCOMPARE(rec->events.mid(0, 3), QStringList({"debug:hh:mm:ss ClientConnected", "ReadyToStartExam", "IpHost"}));
    rec->debugInEvents = false;
    QCOMPARE(pollsBeforeExam, quint64(0));
    QCOMPARE(rec->hostAddress.toIPv4Address(), QHostAddress(QHostAddress::LocalHost).toIPv4Address());
    // Plain IPv4, not the dual-stack server's mapped form.
    QCOMPARE(rec->hostAddress.protocol(), QAbstractSocket::IPv4Protocol);
    QCOMPARE(rec->hostAddress.toString(), QStringLiteral("127.0.0.1"));

    // Headbox bytes from before the PC came, queued for the PC or waiting
    // in the link, are not its: only what arrives from now on.
    QCOMPARE(link->calls("ClearRxBuffer").size(), 1);
    link->feedRx("NEW");
    QCOMPARE(receive(pc.get(), 3), QByteArray("NEW"));

    // The name follows from the lookup, after the address.
    QTRY_VERIFY(rec->events.size() >= 4);
    QVERIFY(rec->events.at(3).startsWith("IpHostName:"));
    QVERIFY(rec->events.at(3) != "IpHostName:");
    QVERIFY2(!rec->events.at(3).contains("::ffff:"), qPrintable(rec->events.at(3)));

    // Keepalive frees the terminal from a PC that vanishes without closing.
    int seconds = -1;
    QTRY_VERIFY(keepAliveTimer(&seconds));
    QVERIFY2(seconds >= 0 && seconds <= 10, qPrintable(QString::number(seconds)));
}

void tst_InterfaceReader::bytesThenFrameInStreamOrder()
{
    // Without an answer client a command runs and its answer is dropped.
    QVERIFY(connectPc());
    send(pc.get(), frame(5, le16(3)));
    QTRY_COMPARE(answersSent.load(), 1);
    serve();

    // A later answer client gets only later answers.
    QVERIFY(connectAnswer());
    send(pc.get(), "0123456789" + frame(6, le16(2)) + "after");
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QTRY_COMPARE(link->written(), QByteArray("0123456789after"));
    const LinkTrace t = trace(link);
    QCOMPARE(t.reg15AfterBytes, (QVector<QPair<int, int>>{qMakePair(0x0098, 0), qMakePair(0x0092, 10)}));
    serve();
    QCOMPARE(answersSent.load(), 2);
    QCOMPARE(answer->readAll(), QByteArray());
}

void tst_InterfaceReader::command9DropsQueuedHeadboxBytes()
{
    QVERIFY(startStream());
    // Queued straight into the relay, and the GUI thread serves nothing
    // until command 9 has run: the stale bytes cannot reach the PC first.
    QVERIFY(relay->queueTowardsPc("STALE"));
    QVERIFY(relay->queueTowardsHeadbox(frame(9)));
    QElapsedTimer t;
    t.start();
    while (answersSent.load() == 0 && t.elapsed() < 5000)
        QThread::yieldCurrentThread();
    QCOMPARE(link->calls("ClearRxBuffer").size(), 1);
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    link->feedRx("NEW");
    QCOMPARE(receive(pc.get(), 3), QByteArray("NEW"));
}

void tst_InterfaceReader::command8HoldsTheStream()
{
    relay->recordSleeps = true;
    relay->holdSleeps(true);
    QVERIFY(connectExam());
    send(pc.get(), frame(8, le32(600)) + "after");
    QTRY_COMPARE(relay->sleeps().size(), 1);
    // A PC that leaves during the pause: no answer, for it or for the next
    // PC in its place; what it sent after the pause is dropped.
    pc->disconnectFromHost();
    answer->disconnectFromHost();
    QTRY_COMPARE(rec->count("EndExamOrDisconnection"), 1);
    QVERIFY(connectExam());
    relay->releaseSleeps();

    send(pc.get(), frame(8, le32(9)) + "later");
    QTRY_COMPARE(relay->sleeps(), QVector<unsigned long>({600, 9}));
    // Inside the pause nothing later moves, and nothing is answered yet.
    QCOMPARE(answersSent.load(), 0);
    QVERIFY(!link->written().contains("later"));
    relay->releaseSleeps();
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QTRY_VERIFY(link->written().endsWith("later"));
    QVERIFY(!link->written().contains("after"));
}

void tst_InterfaceReader::disconnectSequence_data()
{
    QTest::addColumn<bool>("graceful");
    QTest::newRow("PC closes") << true;
    QTest::newRow("connection reset") << false;
}

void tst_InterfaceReader::disconnectSequence()
{
    QFETCH(bool, graceful);
    QVERIFY(connectPc());
    send(pc.get(), frame(6, le16(3)));
    QTRY_COMPARE(lastReg15(link), 0x009B);
    QTRY_VERIFY(rec->count("IpHostName:") == 0 && rec->events.size() >= 3);
    link->clear();

    if (graceful)
        pc->disconnectFromHost();
    else
        pc->abort();
    QTRY_COMPARE(rec->count("EndExamOrDisconnection"), 1);
    QVERIFY(rec->logLines.contains("Client Disconnected"));
    QVERIFY(rec->debugLines.contains("hh:mm:ss Client Disconnected"));
    QCOMPARE(rec->events.mid(rec->events.size() - 2), QStringList({"EndExamOrDisconnection", "IpHostName:"}));
    // The headboxes stopped once, on the shared channel.
    QCOMPARE(link->written(), QByteArray("\r\nRDJW008000\r\n"));
    QCOMPARE(lastReg15(link) & 0x3F, 0);

    // Paused: the loop is parked, so bytes from the headbox stay unread.
    QVERIFY(relay->parked());
    const quint64 polls = link->polls.load();
    link->feedRx("late");
    QCoreApplication::processEvents();
    QCOMPARE(link->polls.load(), polls);
    QVERIFY(relay->parked());
}

void tst_InterfaceReader::disconnectWaitsForThePassUnderWay()
{
    // The relay thread is inside a write to the headbox when the PC leaves,
    // a sync on queued behind it. The write is cut, the rest of the pass
    // (the frame included) dropped, and only then does the stop sequence
    // drive the link: the write stays held by the test throughout.
    link->holdWrites(true);
    QVERIFY(connectPc());
    send(pc.get(), "abc" + frame(7, le16(1)));
    QTRY_COMPARE(link->written(), QByteArray("abc"));

    pc->disconnectFromHost();
    QTRY_COMPARE(rec->count("EndExamOrDisconnection"), 1);
    QVERIFY(link->guiWrote.load());
    QCOMPARE(link->relayCallsAfterGuiWrite.load(), 0);
    QCOMPARE(link->written(), QByteArray("abc\r\nRDJW008000\r\n"));
    for (const auto &w : link->registerWrites())
        QVERIFY(w.first != 15 || !(w.second & 0x0800));
    QCOMPARE(answersSent.load(), 0);
}

void tst_InterfaceReader::disconnectWithoutPcLeavesLinkAlone()
{
    // The cable detector reports an unplugged cable straight to the relay,
    // also between exams, while the presence checker is using the link.
    link->reg15 = 0x0091;
    link->clear();
    relay->ClientDisconnected();
    QCOMPARE(rec->count("EndExamOrDisconnection"), 1);
    QCOMPARE(rec->count("IpHostName:"), 1);
    QCOMPARE(link->names(), QStringList());
    QCOMPARE(link->reg15, WORD(0x0091));
}

void tst_InterfaceReader::pcSends100KiBAtOnce()
{
    link->holdWrites(true);
    QVERIFY(connectPc());
    QByteArray data(100 * 1024, '\0');
    QRandomGenerator rng(5);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char('U' + rng.bounded(100)); // never 'T': no key, no prefix
    send(pc.get(), data);
    // The queue fills up behind the held link (but for the chunk it holds,
    // if nothing came since); the rest waits in the socket.
    QTRY_VERIFY(link->written().size() > 0
                && relay->towardsHeadboxQueued() >= InterfaceReader::toOrvCapacity - CommandFrame::keylessChunk);
    link->holdWrites(false);
    QTRY_COMPARE_WITH_TIMEOUT(link->written().size(), data.size(), 30000);
    QVERIFY(link->written() == data);
    // Bounded chunks, however much waited.
    for (const RecordingOrvInterface::Call &c : link->calls("Write"))
        QVERIFY(c.args.at(0).toByteArray().size() <= CommandFrame::keylessChunk);
}

void tst_InterfaceReader::secondClientRefusedWhileFirstStreams()
{
    QVERIFY(connectPc());
    link->feedRx("one");
    QCOMPARE(receive(pc.get(), 3), QByteArray("one"));

    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, dataPort);
    QVERIFY(second.waitForConnected(5000));
    QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(!rec->logLines.filter("refused").isEmpty());
    QCOMPARE(rec->logLines.filter("refused").at(0),
             QStringLiteral("Connection from 127.0.0.1 refused: a PC is already connected"));
    QCOMPARE(rec->count("ReadyToStartExam"), 1);
    QCOMPARE(rec->count("EndExamOrDisconnection"), 0);

    link->feedRx("two");
    QCOMPARE(receive(pc.get(), 3), QByteArray("two"));
    send(pc.get(), "still");
    QTRY_COMPARE(link->written(), QByteArray("still"));
    QCOMPARE(pc->state(), QAbstractSocket::ConnectedState);
    // Refused sockets do not pile up.
    for (int i = 0; i < 10; ++i) {
        QTcpSocket more;
        more.connectToHost(QHostAddress::LocalHost, dataPort);
        QVERIFY(more.waitForConnected(5000));
        QTRY_COMPARE(more.state(), QAbstractSocket::UnconnectedState);
    }
    QTRY_COMPARE(relay->liveSockets(), 1);
    QCOMPARE(rec->count("ReadyToStartExam"), 1);
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
    QVERIFY(connectExam());
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
        pc->connectToHost(QHostAddress::LocalHost, dataPort);
        answer->connectToHost(QHostAddress::LocalHost, answerPort);
        QVERIFY(pc->waitForConnected(5000));
        QVERIFY(answer->waitForConnected(5000));
        if (newFirst) {
            // The relay takes the newcomers before it has served the old
            // connections' end; either port may come first.
            if (round % 2) {
                QVERIFY(relay->acceptAnswerNow());
                QVERIFY(relay->acceptDataNow());
            } else {
                QVERIFY(relay->acceptDataNow());
                QVERIFY(relay->acceptAnswerNow());
            }
            QCOMPARE(rec->count("ReadyToStartExam"), round + 2);
            QCOMPARE(rec->count("EndExamOrDisconnection"), round + 1);
        }
        QTRY_COMPARE(rec->count("ReadyToStartExam"), round + 2);
        QTRY_COMPARE(rec->count("EndExamOrDisconnection"), round + 1);
        QCOMPARE(pc->state(), QAbstractSocket::ConnectedState);

        send(pc.get(), frame(4, le16(qint16(round % 4 + 1))));
        QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
        link->feedRx("r" + QByteArray::number(round));
        QCOMPARE(receive(pc.get(), 2), "r" + QByteArray::number(round));
        QCOMPARE(answer->state(), QAbstractSocket::ConnectedState);
    }
    QVERIFY(rec->logLines.filter("refused").isEmpty());
    // Served before the old connection's bytes, the newcomer ends it first:
    // what it left unread must not reach the headbox.
    if (newFirst)
        QVERIFY(!link->written().contains("last words"));
    // Ended connections are deleted, not kept for the life of the program.
    QTRY_COMPARE(relay->liveSockets(), 2);
}

void tst_InterfaceReader::answerPortStaysWithTheStreamingPc()
{
    pc = connectFrom("127.0.0.1", dataPort);
    answer = connectFrom("127.0.0.1", answerPort);
    QVERIFY(pc && answer && relay->acceptDataNow() && relay->acceptAnswerNow());
    link->feedRx("one");
    QCOMPARE(receive(pc.get(), 3), QByteArray("one"));

    // A second PC tries the answer port first, then the data port.
    auto otherAnswer = connectFrom("127.0.0.2", answerPort);
    QVERIFY(otherAnswer);
    QTRY_COMPARE(otherAnswer->state(), QAbstractSocket::UnconnectedState);
    QTRY_VERIFY(rec->logLines.contains("Answer connection from 127.0.0.2 refused: the PC at 127.0.0.1 is connected"));
    auto otherPc = connectFrom("127.0.0.2", dataPort);
    QVERIFY(otherPc);
    QTRY_COMPARE(otherPc->state(), QAbstractSocket::UnconnectedState);

    // The first PC's exam goes on, answers included.
    QCOMPARE(answer->state(), QAbstractSocket::ConnectedState);
    send(pc.get(), frame(0));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    link->feedRx("two");
    QCOMPARE(receive(pc.get(), 3), QByteArray("two"));
    QCOMPARE(rec->count("ReadyToStartExam"), 1);
    QCOMPARE(rec->count("EndExamOrDisconnection"), 0);

    // Without its answer connection the streaming PC still owns the port:
    // the other PC is refused again, the PC itself is taken back.
    answer->disconnectFromHost();
    otherAnswer = connectFrom("127.0.0.2", answerPort);
    QVERIFY(otherAnswer && relay->acceptAnswerNow());
    QTRY_COMPARE(otherAnswer->state(), QAbstractSocket::UnconnectedState);
    answer = connectFrom("127.0.0.1", answerPort);
    QVERIFY(answer && relay->acceptAnswerNow());
    send(pc.get(), frame(10));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QCOMPARE(rec->logLines.filter("Answer connection from 127.0.0.2 refused").size(), 2);
}

void tst_InterfaceReader::answerPortWithoutDataClient()
{
    // With no exam running, the newest answer connection wins, whoever makes it.
    auto first = connectFrom("127.0.0.2", answerPort);
    QVERIFY(first && relay->acceptAnswerNow());
    answer = connectFrom("127.0.0.1", answerPort);
    QVERIFY(answer && relay->acceptAnswerNow());
    QTRY_COMPARE(first->state(), QAbstractSocket::UnconnectedState);

    // Answer port before the data port: the PC's answers reach it. Inbound
    // bytes on the answer port are not kept.
    pc = connectFrom("127.0.0.1", dataPort);
    QVERIFY(pc && relay->acceptDataNow());
    send(answer.get(), QByteArray(100000, 'j'));
    send(pc.get(), frame(0));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QVERIFY(rec->logLines.filter("refused").isEmpty());
}

void tst_InterfaceReader::answerPortClosedWhenPcNeverReadsIt()
{
    QVERIFY(connectPc());
    const int answerFd = connectNeverRead(answerPort);
    QVERIFY(answerFd >= 0 && relay->acceptAnswerNow());

    // Commands without an effect on the link, in batches the relay answers
    // before the next goes, until the terminal gives up on the answers.
    const QString closed = QStringLiteral("Answer connection from 127.0.0.1 closed: ");
    const int batch = 1000;
    int sent = 0;
    while (rec->logLines.filter(closed).isEmpty() && sent < 1000000) {
        send(pc.get(), frame(0).repeated(batch));
        sent += batch;
        QTRY_COMPARE(answersSent.load(), sent);
        serve();
    }
    QCOMPARE(rec->logLines.filter(closed).size(), 1);
    const QString line = rec->logLines.filter(closed).at(0);
    QVERIFY2(line.endsWith(QStringLiteral(" bytes of answers unread")), qPrintable(line));
    const qint64 held = line.mid(closed.size()).section(' ', 0, 0).toLongLong();
    QVERIFY2(held >= InterfaceReader::maxUnsentAnswerBytes && held < InterfaceReader::maxUnsentAnswerBytes + 2,
             qPrintable(line));
    QTRY_COMPARE(relay->liveSockets(), 1);

    // The exam on the data port goes on both ways; later answers go nowhere.
    send(pc.get(), "still" + frame(0));
    QTRY_COMPARE(link->written(), QByteArray("still"));
    link->feedRx("back");
    QCOMPARE(receive(pc.get(), 4), QByteArray("back"));
    QTRY_COMPARE(answersSent.load(), sent + 1);
    serve();
    QCOMPARE(rec->logLines.filter(closed).size(), 1);
    QCOMPARE(pc->state(), QAbstractSocket::ConnectedState);

    // What reached the PC's side before the close: answers only, then the end.
    bool ended = false;
    const QByteArray got = readToEnd(answerFd, &ended);
    ::close(answerFd);
    QVERIFY(ended);
    QVERIFY(got.size() > 0 && got.size() < 2 * sent);
    QVERIFY(got == QByteArray("ok").repeated(got.size() / 2));
}

void tst_InterfaceReader::answerPortOfAnEarlierPcClosedWhenAnotherStreams()
{
    // PC A's exam ends, but it keeps its answer connection open.
    auto answerA = connectFrom("127.0.0.2", answerPort);
    QVERIFY(answerA && relay->acceptAnswerNow());
    pc = connectFrom("127.0.0.2", dataPort);
    QVERIFY(pc && relay->acceptDataNow());
    send(pc.get(), frame(0));
    QCOMPARE(receive(answerA.get(), 2), QByteArray("ok"));
    pc->disconnectFromHost();
    QTRY_COMPARE(rec->count("EndExamOrDisconnection"), 1);
    QCOMPARE(answerA->state(), QAbstractSocket::ConnectedState);

    // PC B streams, and its first command comes before its own answer
    // connection: A gets nothing of B's, and loses the port.
    pc = connectFrom("127.0.0.1", dataPort);
    QVERIFY(pc && relay->acceptDataNow());
    QCOMPARE(rec->logLines.filter("Answer connection from").size(), 1);
    QCOMPARE(rec->logLines.filter("Answer connection from").at(0),
             QStringLiteral("Answer connection from 127.0.0.2 closed: the PC at 127.0.0.1 is connected"));
    send(pc.get(), frame(0));
    QTRY_COMPARE(answersSent.load(), 2);
    serve();
    QTRY_COMPARE(answerA->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(answerA->readAll(), QByteArray());

    // B's own answer connection gets its answers.
    QVERIFY(connectAnswer());
    send(pc.get(), frame(0));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QTRY_COMPARE(relay->liveSockets(), 2);
}

void tst_InterfaceReader::vanishedPcDoesNotHoldTheAnswerPort()
{
    pc = connectFrom("127.0.0.1", dataPort);
    QVERIFY(pc && relay->acceptDataNow());

    // The first PC has gone; another one connects before the relay has
    // served that end.
    pc->abort();
    answer = connectFrom("127.0.0.2", answerPort);
    QVERIFY(answer && relay->acceptAnswerNow());
    QCOMPARE(rec->count("EndExamOrDisconnection"), 1);
    pc = connectFrom("127.0.0.2", dataPort);
    QVERIFY(pc && relay->acceptDataNow());
    QCOMPARE(rec->count("ReadyToStartExam"), 2);
    send(pc.get(), frame(0));
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QVERIFY(rec->logLines.filter("refused").isEmpty());
}

void tst_InterfaceReader::notificationsCoalescedWhileGuiBusy()
{
    QVERIFY(startStream());
    std::atomic<int> writeReady{0};
    std::atomic<int> dataWanted{0};
    // Counted in the relay thread, as they are emitted.
    QObject::connect(relay, &InterfaceReader::WriteDataReady, relay, [&](int) { writeReady.fetch_add(1); },
                     Qt::DirectConnection);
    QObject::connect(relay, &InterfaceReader::ProgramDataWanted, relay, [&] { dataWanted.fetch_add(1); },
                     Qt::DirectConnection);
    QByteArray data(60000, '\0');
    for (int i = 0; i < data.size(); ++i)
        data[i] = char('U' + i % 100); // never 'T'

    // The GUI thread is busy from here on: the relay spins through many
    // passes, each with headbox bytes for the PC, many with PC bytes taken.
    QVERIFY(relay->queueTowardsHeadbox(data));
    link->streaming = true;
    QElapsedTimer busy;
    busy.start();
    while ((link->produced.load() < 100000 || link->written().size() < 10 * CommandFrame::keylessChunk)
           && busy.elapsed() < 20000)
        QThread::msleep(10); // no event processing meanwhile
    QVERIFY(link->produced.load() >= 100000);
    QVERIFY(link->written().size() >= 10 * CommandFrame::keylessChunk);
    QVERIFY2(writeReady.load() <= 1, qPrintable(QString::number(writeReady.load())));
    QVERIFY2(dataWanted.load() <= 1, qPrintable(QString::number(dataWanted.load())));

    // Once served, both directions go on.
    QTRY_COMPARE(link->written().size(), data.size());
    QVERIFY(link->written() == data);
    const QByteArray got = receive(pc.get(), 100000);
    QVERIFY(got.size() >= 100000);
    for (int i = 0; i < got.size(); ++i)
        QCOMPARE(static_cast<unsigned char>(got.at(i)), RelayLink::patternByte(quint64(i)));
    link->streaming = false;
}

void tst_InterfaceReader::bytesReadBeforeALongCommandReachThePc()
{
    QVERIFY(startStream());
    relay->recordSleeps = true;
    relay->holdSleeps(true);
    // More than one write to the socket takes, read from the headboxes
    // before a pause of command 8 begins: the GUI thread has not served a
    // notice yet.
    QByteArray stream(1200 * 1024, '\0');
    for (int i = 0; i < stream.size(); ++i)
        stream[i] = char(RelayLink::patternByte(quint64(i)));
    QVERIFY(relay->queueTowardsPc(stream));
    QVERIFY(relay->queueTowardsHeadbox(frame(8, le32(1000))));
    // The pause has begun before this thread serves anything.
    QDeadlineTimer bound(10000);
    while (relay->sleeps().isEmpty() && !bound.hasExpired())
        QThread::yieldCurrentThread();
    QCOMPARE(relay->sleeps(), QVector<unsigned long>({1000}));

    // All of it arrives while the pause is held.
    const QByteArray got = receive(pc.get(), stream.size());
    QCOMPARE(got.size(), stream.size());
    QVERIFY(got == stream);
    QCOMPARE(answersSent.load(), 0);
    relay->releaseSleeps();
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
}

void tst_InterfaceReader::nextPcStartsClean_data()
{
    QTest::addColumn<QByteArray>("leftover");
    QTest::addColumn<bool>("dataAhead");
    QTest::newRow("half a frame") << frame(5, le16(4)).left(9) << false;
    QTest::newRow("key only") << QByteArray("TALV") << false;
    QTest::newRow("partial key") << QByteArray("TA") << false;
    QTest::newRow("bytes still queued") << QByteArray(6000, 'a') << true;
    QTest::newRow("bytes and half a frame") << QByteArray(6000, 'a') + frame(5, le16(4)).left(13) << true;
}

void tst_InterfaceReader::nextPcStartsClean()
{
    QFETCH(QByteArray, leftover);
    QFETCH(bool, dataAhead);
    // The relay thread stays inside its first write, or has nothing to
    // write: the leftover outlives the PC. The disconnection cuts the held
    // write.
    link->holdWrites(true);
    QVERIFY(connectPc());
    send(pc.get(), leftover);
    QTRY_VERIFY(link->written().size() + relay->towardsHeadboxQueued() == leftover.size()
                && (link->written().size() > 0) == dataAhead);
    pc->disconnectFromHost();
    QTRY_COMPARE(rec->count("EndExamOrDisconnection"), 1);

    int writesAtConnect = -1;
    QObject::connect(relay, &InterfaceReader::ReadyToStartExam, [&] { writesAtConnect = link->calls("Write").size(); });
    QVERIFY(connectExam());
    link->holdWrites(false);
    send(pc.get(), frame(6, le16(2)) + "new");
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));
    QTRY_VERIFY(link->written().endsWith("new"));
    QCOMPARE(lastReg15(link) & 0x3F, 0x12);

    // Nothing of the first PC begins on the link after the next connected.
    const QList<RecordingOrvInterface::Call> writes = link->calls("Write");
    QVERIFY(writesAtConnect >= 0);
    QByteArray afterConnect;
    for (int i = writesAtConnect; i < writes.size(); ++i)
        afterConnect += writes.at(i).args.at(0).toByteArray();
    QCOMPARE(afterConnect, QByteArray("new"));
}

void tst_InterfaceReader::pcThatStopsReading()
{
    QVERIFY(connectPc());
    pc->setReadBufferSize(4096); // the PC stops taking bytes from the kernel
    codaPienaLines = 0;
    QElapsedTimer stalled;
    stalled.start();
    link->streaming = true;

    // The stream backs up until the relay's queue is full: the relay then
    // leaves the headbox unread and says so, but not on every spin of its loop.
    QTRY_VERIFY_WITH_TIMEOUT(InterfaceReader::toTcpCapacity - relay->towardsPcQueued() < InterfaceReader::orvReadBlock,
                             20000);
    QTRY_VERIFY(codaPienaLines.load() >= 1);
    QVERIFY(link->produced.load() > quint64(InterfaceReader::toTcpCapacity));
    QTRY_VERIFY_WITH_TIMEOUT(codaPienaLines.load() >= 2, 10000);
    QVERIFY2(codaPienaLines.load() <= stalled.elapsed() / 1000 + 2, qPrintable(QString::number(codaPienaLines.load())));
    // A second of it later: queue, socket bound, kernel buffers, tens of
    // MiB at most, not the whole stream of a PC that never reads.
    const quint64 held = link->produced.load();
    QVERIFY2(held < 64ull * 1024 * 1024, qPrintable(QString::number(held)));

    // Reading again resumes the stream, every byte in order.
    pc->setReadBufferSize(0);
    quint64 got = 0;
    const quint64 want = held + 8ull * 1024 * 1024;
    QElapsedTimer t;
    t.start();
    while (got < want && t.elapsed() < 30000) {
        if (pc->bytesAvailable() == 0)
            QTest::qWait(1);
        const QByteArray chunk = pc->readAll();
        for (int i = 0; i < chunk.size(); ++i) {
            if (static_cast<unsigned char>(chunk.at(i)) != RelayLink::patternByte(got + quint64(i)))
                QFAIL(qPrintable(QString("byte %1 wrong").arg(got + quint64(i))));
        }
        got += quint64(chunk.size());
    }
    QVERIFY2(got >= want, qPrintable(QString::number(got)));
    link->streaming = false;
}

void tst_InterfaceReader::randomStreamWithFramesByteExact()
{
    relay->recordSleeps = true;
    relay->holdSleeps(true);
    QVERIFY(connectExam());

    // Data rich in key letters around frames that select write channels,
    // then a pause that holds the relay: by then every frame has had its
    // answer, and only one.
    QRandomGenerator rng(77);
    const char letters[] = "TALVTTAx\x00\xff";
    QByteArray stream;
    for (int i = 0; i < 300; ++i) {
        const int n = rng.bounded(0, 1500);
        for (int k = 0; k < n; ++k)
            stream += rng.bounded(3) ? char(rng.bounded(256)) : letters[rng.bounded(10)];
        stream += frame(5, le16(qint16(i % 5)));
    }
    stream += frame(8, le32(7));
    const StreamModel m = model(stream);
    QCOMPARE(m.frames.size(), 301);

    int at = 0;
    while (at < stream.size()) {
        const int n = qMin(stream.size() - at, rng.bounded(1, 9000));
        send(pc.get(), stream.mid(at, n));
        at += n;
        if (rng.bounded(4) == 0)
            QTest::qWait(1);
    }
    QTRY_COMPARE_WITH_TIMEOUT(relay->sleeps(), QVector<unsigned long>({7}), 30000);
    QCOMPARE(answersSent.load(), 300);
    QCOMPARE(receive(answer.get(), 600), QByteArray("ok").repeated(300));
    relay->releaseSleeps();
    QCOMPARE(receive(answer.get(), 2), QByteArray("ok"));

    const LinkTrace t = trace(link);
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
