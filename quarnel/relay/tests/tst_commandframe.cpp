#include <QTest>

#include <QSignalSpy>

#include <vector>

#include "circularqueue.h"
#include "commandframe.h"
#include "commandinterpreter.h"
#include "headboxtexts.h"
#include "orv.h"
#include "quarnellog.h"
#include "recordingorvinterface.h"
#include "streammodel.h"

using namespace relaytest;

namespace {

const long queueCapacity = 65536;

// What the relay thread makes of a PC stream: after each piece arrives,
// scanner passes until one takes nothing; frames are decoded as it does.
struct Outcome
{
    QByteArray toHeadbox;
    QList<int> writes;
    QList<int> executed;
    QStringList log;
    QByteArray waiting;
};

QByteArray queued(CircularQueue<char> &queue)
{
    QByteArray out(int(queue.NumData()), '\0');
    queue.Get(out.data(), out.size());
    return out;
}

Outcome passes(const QList<QByteArray> &pieces)
{
    CircularQueue<char> queue(queueCapacity);
    std::vector<char> staging(queueCapacity);
    Outcome out;
    for (QByteArray piece : pieces) {
        queue.Write(piece.data(), piece.size());
        for (;;) {
            const CommandFrame::Pass pass = CommandFrame::look(&queue, staging.data());
            if (pass.taken() == 0)
                break;
            CommandFrame::take(&queue, pass, staging.data());
            if (!pass.log.isEmpty())
                out.log << pass.log;
            if (pass.data > 0) {
                out.toHeadbox.append(staging.data(), int(pass.data));
                out.writes << int(pass.data);
            }
            if (pass.frame == 0)
                continue;
            const CommandFrame::Command c = CommandFrame::decode(staging.data() + pass.data, pass.frame);
            if (!c.log.isEmpty())
                out.log << c.log;
            if (c.status == 0)
                out.executed << c.code;
        }
    }
    out.waiting = queued(queue);
    return out;
}

// The link's record without the base's pauses, one line a call.
QStringList trace(const RecordingOrvInterface &link)
{
    QStringList out;
    for (const RecordingOrvInterface::Call &c : link.calls()) {
        if (c.name == "Pause")
            continue;
        QStringList words{c.name};
        for (const QVariant &a : c.args)
            words << (a.type() == QVariant::ByteArray ? QString(a.toByteArray()).trimmed() : a.toString());
        out << words.join(' ');
    }
    return out;
}

QByteArray layoutParams()
{
    return le16(1) + le16(2) + le16(8) + le16(4) + le16(8) + le16(0) + le16(0) + le16(0);
}

} // namespace

class tst_CommandFrame : public QObject
{
    Q_OBJECT
private slots:
    void stream_data();
    void stream();
    void searchedBytesOnlyAreTaken_data();
    void searchedBytesOnlyAreTaken();
    void decode_data();
    void decode();
    void interpreter_data();
    void interpreter();
    void endExamStopsTheHeadboxes();
};

void tst_CommandFrame::stream_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QByteArray>("toHeadbox");
    QTest::addColumn<QList<int>>("writes");
    QTest::addColumn<QList<int>>("executed");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QByteArray>("waiting");

    QByteArray keyless(5000, '\0');
    for (int i = 0; i < keyless.size(); ++i)
        keyless[i] = char('a' + i % 19);
    const QByteArray nop = frame(0);
    const QByteArray layout = frame(3, layoutParams());
    QTest::newRow("key-less data in chunks, each pass logged")
        << QList<QByteArray>{keyless} << keyless << QList<int>{2048, 2048, 904} << QList<int>{}
        << QStringList{"num bytes = 5000", "num bytes = 2952", "num bytes = 904"} << QByteArray();
    QTest::newRow("bytes ahead of a frame go first, in one write")
        << QList<QByteArray>{"0123456789" + frame(6, le16(2))} << QByteArray("0123456789") << QList<int>{10}
        << QList<int>{6} << QStringList{} << QByteArray();
    QTest::newRow("the worked example")
        << QList<QByteArray>{QByteArray::fromHex("54414c56 00000000 0900 4001")} << QByteArray() << QList<int>{}
        << QList<int>{9} << QStringList{} << QByteArray();
    QTest::newRow("frame split inside its parameters runs once, when whole")
        << QList<QByteArray>{"abc" + layout.left(15), layout.mid(15)} << QByteArray("abc") << QList<int>{3}
        << QList<int>{3} << QStringList{} << QByteArray();
    QTest::newRow("partial key holds back only its bytes")
        << QList<QByteArray>{"headbox bytesTAL"} << QByteArray("headbox bytes") << QList<int>{13} << QList<int>{}
        << QStringList{"num bytes = 13"} << QByteArray("TAL");
    QTest::newRow("partial key waits, then is data")
        << QList<QByteArray>{"abcTAL", "x"} << QByteArray("abcTALx") << QList<int>{3, 4} << QList<int>{}
        << QStringList{"num bytes = 3", "num bytes = 4"} << QByteArray();
    QTest::newRow("partial key completes into a frame")
        << QList<QByteArray>{"abcTA", nop.mid(2) + "z"} << QByteArray("abcz") << QList<int>{3, 1} << QList<int>{0}
        << QStringList{"num bytes = 3", "num bytes = 1"} << QByteArray();
    QTest::newRow("key after its own first byte")
        << QList<QByteArray>{"T" + nop} << QByteArray("T") << QList<int>{1} << QList<int>{0} << QStringList{}
        << QByteArray();
    QTest::newRow("key after a broken key")
        << QList<QByteArray>{"xTAT" + nop + "y"} << QByteArray("xTATy") << QList<int>{4, 1} << QList<int>{0}
        << QStringList{"num bytes = 1"} << QByteArray();
    QTest::newRow("codes 0 and 10 executed")
        << QList<QByteArray>{frame(0) + frame(10, "xy")} << QByteArray() << QList<int>{} << QList<int>{0, 10}
        << QStringList{} << QByteArray();
    QTest::newRow("frames back to back")
        << QList<QByteArray>{nop + nop + nop} << QByteArray() << QList<int>{} << QList<int>{0, 0, 0}
        << QStringList{} << QByteArray();
    QTest::newRow("largest frame executed")
        << QList<QByteArray>{frame(77, QByteArray(65524, 'p'))} << QByteArray() << QList<int>{} << QList<int>{77}
        << QStringList{} << QByteArray();
    // Checksum 0x0140 spoilt to 0x0141: nothing of the frame reaches the headbox.
    QTest::newRow("bad checksum: frame dropped whole")
        << QList<QByteArray>{"ab" + frame(6, le16(1), -1, true) + "cd"} << QByteArray("abcd") << QList<int>{2, 2}
        << QList<int>{} << QStringList{"!!!! ERROREEEEE CHECKSUM!!!!6  14  321  1  65  320", "num bytes = 2"}
        << QByteArray();
    QTest::newRow("short parameters: not executed")
        << QList<QByteArray>{frame(3, le16(1)) + "after"} << QByteArray("after") << QList<int>{5} << QList<int>{}
        << QStringList{"Command 3 not executed: 2 parameter bytes, 16 needed", "num bytes = 5"} << QByteArray();
    QTest::newRow("negative length: key dropped, scan goes on")
        << QList<QByteArray>{"a" + QByteArray("TALV") + le32(-1) + "zzzzzz" + nop}
        << QByteArray("a") + le32(-1) + "zzzzzz" << QList<int>{1, 10} << QList<int>{0}
        << QStringList{"Command key dropped: parameter length -1 out of range"} << QByteArray();
    QTest::newRow("length beyond the queue: key dropped")
        << QList<QByteArray>{QByteArray("TALV") + le32(65525) + "qqqq"} << le32(65525) + "qqqq" << QList<int>{8}
        << QList<int>{} << QStringList{"Command key dropped: parameter length 65525 out of range", "num bytes = 8"}
        << QByteArray();
}

void tst_CommandFrame::stream()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QByteArray, toHeadbox);
    QFETCH(QList<int>, writes);
    QFETCH(QList<int>, executed);
    QFETCH(QStringList, log);
    QFETCH(QByteArray, waiting);
    const Outcome out = passes(pieces);
    QCOMPARE(out.toHeadbox, toHeadbox);
    QCOMPARE(out.writes, writes);
    QCOMPARE(out.executed, executed);
    QCOMPARE(out.log, log);
    QCOMPARE(out.waiting, waiting);
}

void tst_CommandFrame::searchedBytesOnlyAreTaken_data()
{
    QTest::addColumn<QByteArray>("searched");
    QTest::addColumn<QByteArray>("appended");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<long>("nextFrame");

    const QByteArray nop = frame(0);
    QTest::newRow("a frame after key-less bytes") << QByteArray("0123456789") << nop << QByteArray("0123456789")
                                                  << 12L;
    QTest::newRow("a key's first bytes after key-less bytes") << QByteArray("data") << QByteArray("TA")
                                                               << QByteArray("data") << 0L;
    QTest::newRow("the rest of a key") << QByteArray("abcTA") << nop.mid(2) << QByteArray("abc") << 12L;
    QTest::newRow("the rest of a frame") << "xy" + nop.left(6) << nop.mid(6) << QByteArray("xy") << 12L;
}

// The GUI thread appends to the queue between the scanner's search and its
// take: what it appended waits for the next pass, a frame in it is executed
// there and never written to the headbox as data.
void tst_CommandFrame::searchedBytesOnlyAreTaken()
{
    QFETCH(QByteArray, searched);
    QFETCH(QByteArray, appended);
    QFETCH(QByteArray, data);
    QFETCH(long, nextFrame);
    CircularQueue<char> queue(queueCapacity);
    std::vector<char> staging(queueCapacity);
    queue.Write(searched.data(), searched.size());

    const CommandFrame::Pass pass = CommandFrame::look(&queue, staging.data());
    queue.Write(appended.data(), appended.size());
    CommandFrame::take(&queue, pass, staging.data());

    QCOMPARE(pass.searched, long(searched.size()));
    QCOMPARE(QByteArray(staging.data(), int(pass.data)), data);
    QCOMPARE(pass.frame + pass.dropped, 0L);
    QCOMPARE(queued(queue), searched.mid(int(pass.taken())) + appended);
    const CommandFrame::Pass next = CommandFrame::look(&queue, staging.data());
    QCOMPARE(next.data, 0L);
    QCOMPARE(next.frame, nextFrame);
}

void tst_CommandFrame::decode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("log");

    QTest::newRow("clock 1000, bytes as on the wire")
        << QByteArray::fromHex("54414c56 02000000 0100 e803 2502") << 0 << 1 << 1000 << QString();
    QTest::newRow("clock -2 is signed") << frame(1, le16(-2)) << 0 << 1 << -2 << QString();
    QTest::newRow("trigger -1") << frame(2, le32(-1)) << 0 << 2 << -1 << QString();
    QTest::newRow("layout") << frame(3, layoutParams()) << 0 << 3 << 0 << QString();
    QTest::newRow("delay within the bound") << frame(8, le32(1234)) << 0 << 8 << 1234 << QString();
    QTest::newRow("delay negative: none") << frame(8, le32(-5)) << 0 << 8 << 0 << QString();
    QTest::newRow("delay bounded to a minute") << frame(8, le32(100000)) << 0 << 8 << 60000 << QString();
    QTest::newRow("largest delay bounded") << frame(8, le32(0x7fffffff)) << 0 << 8 << 60000 << QString();
    QTest::newRow("bad checksum") << frame(6, le16(1), -1, true) << -1 << 6 << 0
                                  << QString("!!!! ERROREEEEE CHECKSUM!!!!6  14  321  1  65  320");
    QTest::newRow("fewer parameter bytes than read") << frame(8, le16(1)) << -2 << 8 << 0
                                                     << QString("Command 8 not executed: 2 parameter bytes, 4 needed");
    QTest::newRow("length field disagrees") << frame(0) + "x" << -1 << 0 << 0 << QString();
    QTest::newRow("shorter than any frame") << frame(0).left(11) << -1 << 0 << 0 << QString();
}

void tst_CommandFrame::decode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, status);
    QFETCH(int, code);
    QFETCH(int, value);
    QFETCH(QString, log);
    const CommandFrame::Command c = CommandFrame::decode(bytes.constData(), bytes.size());
    QCOMPARE(int(c.status), status);
    QCOMPARE(c.log, log);
    if (status == -1 && log.isEmpty())
        return;
    QCOMPARE(int(c.code), code);
    QCOMPARE(int(c.value), value);
}

void tst_CommandFrame::interpreter_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QStringList>("items");
    QTest::addColumn<QStringList>("log");

    // Register 15 starts at 0x0080: link on, channel 0 both ways.
    QTest::newRow("clock 12") << frame(1, le16(12)) << QStringList{"WriteRegister 15 8320"} << QStringList()
                              << QStringList{"Set Clock Frequency!!!"};
    QTest::newRow("trigger") << frame(2, le32(150)) << QStringList{"SetTriggerOut 150"} << QStringList() << QStringList();
    QTest::newRow("layout") << frame(3, layoutParams()) << QStringList{"SetMultiHeadInfo 1 2 8 4 8 0 0 0"}
                            << QStringList() << QStringList();
    QTest::newRow("read 2") << frame(4, le16(2)) << QStringList{"WriteRegister 15 130"}
                            << QStringList{"Headbox Read: 2"} << QStringList();
    QTest::newRow("write 3") << frame(5, le16(3)) << QStringList{"WriteRegister 15 152"}
                             << QStringList{"Headbox Write: 3"} << QStringList();
    QTest::newRow("read/write 2") << frame(6, le16(2)) << QStringList{"WriteRegister 15 146"}
                                  << QStringList{"Headbox Read/Write: 2"} << QStringList();
    QTest::newRow("sync off") << frame(7, le16(0))
                              << QStringList{"SetMultiHeadInfo 0 0 0 0 0 0 0 0", "WriteRegister 15 128"} << QStringList()
                              << QStringList();
    QTest::newRow("clear") << frame(9) << QStringList{"ClearRxBuffer"} << QStringList() << QStringList();
    QTest::newRow("delay: the relay's own") << frame(8, le32(5)) << QStringList{} << QStringList() << QStringList();
    QTest::newRow("unknown code") << frame(10) << QStringList{} << QStringList() << QStringList();
}

void tst_CommandFrame::interpreter()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, calls);
    QFETCH(QStringList, items);
    QFETCH(QStringList, log);
    QuarnelLog quarnelLog;
    RecordingOrvInterface link;
    link.reg15 = 0x0080;
    Orv orv(&link, &quarnelLog);
    QSignalSpy itemSpy(&orv, &Orv::AddItem);
    QSignalSpy logSpy(&quarnelLog, &QuarnelLog::AddLogItemSignal);
    CommandInterpreter interpreter(&orv, &quarnelLog);

    interpreter.Execute(CommandFrame::decode(bytes.constData(), bytes.size()));
    QCOMPARE(trace(link), calls);
    QCOMPARE(logTexts(itemSpy), items);
    QCOMPARE(logTexts(logSpy), log);
}

void tst_CommandFrame::endExamStopsTheHeadboxes()
{
    QuarnelLog quarnelLog;
    RecordingOrvInterface link;
    link.reg15 = 0x2892; // sync on, clock code 2, channel 2 both ways
    Orv orv(&link, &quarnelLog);
    CommandInterpreter(&orv, &quarnelLog).EndExam();
    // Channel 0 and sync off in one register write, the clock kept; the
    // headboxes told to stop; the acquisition off.
    QCOMPARE(trace(link), QStringList({"WriteRegister 15 8320", "Write RDJW008000 0",
                                       "SetMultiHeadInfo 0 0 0 0 0 0 0 0"}));
    QCOMPARE(link.written(), QByteArray("\r\nRDJW008000\r\n"));
}

QTEST_APPLESS_MAIN(tst_CommandFrame)
#include "tst_commandframe.moc"
