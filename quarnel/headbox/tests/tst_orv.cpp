#include <QSignalSpy>
#include <QTest>

#include "headboxtexts.h"
#include "orv.h"
#include "quarnellog.h"
#include "recordingorvinterface.h"

using RegWrites = QVector<QPair<int, int>>;

namespace {
const QByteArray identify = QByteArray("\r\nRDJW002002\r\n");

// Plays headboxes behind the recording link: each answer is queued on its
// channel when the identification command goes out.
void answerIdentify(RecordingOrvInterface &link, const QMap<int, QByteArray> &answers)
{
    RecordingOrvInterface *l = &link;
    link.setWriteHook([l, answers](const QByteArray &bytes, int) {
        if (bytes != identify)
            return;
        for (auto it = answers.cbegin(); it != answers.cend(); ++it)
            l->feedRx(it.value(), it.key());
    });
}
} // namespace

class tst_Orv : public QObject
{
    Q_OBJECT
private slots:
    void checkSerialNumber_data();
    void checkSerialNumber();
    void invString_data();
    void invString();
    void commandFrame();
    void extendedCommandFrame_data();
    void extendedCommandFrame();
    void withoutInterface();
    void singleHeadbox();
    void singleHeadboxPaddedSerial();
    void singleHeadboxMalformedSerial();
    void tooManyBytesOnSharedChannel();
    void headboxesOnOwnChannels();
    void allFourChannels();
    void malformedSerialOnOwnChannel();
    void noHeadbox();
    void failureLeavesOutputsAlone();
};

void tst_Orv::checkSerialNumber_data()
{
    QTest::addColumn<QString>("sn");
    QTest::addColumn<int>("expected");
    QTest::newRow("valid") << "ABC-1234/56-7" << 0;
    QTest::newRow("valid, 12 chars") << "ABC-1234/56-" << 0;
    QTest::newRow("11 chars") << "ABC-1234/56" << -2;
    QTest::newRow("dash for slash") << "ABC-1234-56-7" << -2;
    QTest::newRow("no first dash") << "ABCD1234/56-7" << -2;
    QTest::newRow("no last dash") << "ABC-1234/5677" << -2;
    QTest::newRow("empty") << "" << -2;
}

void tst_Orv::checkSerialNumber()
{
    QFETCH(QString, sn);
    QFETCH(int, expected);
    Orv orv(nullptr, nullptr);
    QCOMPARE(int(orv.CheckSerialNumber(sn)), expected);
}

void tst_Orv::invString_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("len");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("4") << QByteArray("BADC") << 4 << QByteArray("ABCD");
    QTest::newRow("first pair only") << QByteArray("BADC") << 2 << QByteArray("ABDC");
    QTest::newRow("odd length keeps last") << QByteArray("BAC") << 3 << QByteArray("ABC");
    QTest::newRow("zero") << QByteArray("BADC") << 0 << QByteArray("BADC");
    QTest::newRow("negative") << QByteArray("BADC") << -2 << QByteArray("BADC");
}

void tst_Orv::invString()
{
    QFETCH(QByteArray, input);
    QFETCH(int, len);
    QFETCH(QByteArray, expected);
    Orv orv(nullptr, nullptr);
    // A guard byte right after the text must never be touched.
    QByteArray buffer = input + '#';
    orv.InvString(buffer.data(), short(len));
    QCOMPARE(buffer, expected + '#');
}

void tst_Orv::commandFrame()
{
    RecordingOrvInterface link;
    Orv orv(&link, nullptr);
    BYTE stop[] = "008000";
    orv.SendOrvCommand(stop);
    QCOMPARE(link.written(), QByteArray("\r\nRDJW008000\r\n"));
    QCOMPARE(link.calls("Write").size(), 1);
    QCOMPARE(orv._cnt, 14);
}

void tst_Orv::extendedCommandFrame_data()
{
    QTest::addColumn<int>("command");
    QTest::addColumn<int>("sub");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("0x31 2 9 0") << 0x31 << 2 << 9 << 0
                                << QByteArray::fromHex("0d0a00310209000000" "0d0a");
    QTest::newRow("little endian") << 0x1F << 0 << 0x1234 << 0xABCD
                                   << QByteArray::fromHex("0d0a001f00" "3412" "cdab" "0d0a");
}

void tst_Orv::extendedCommandFrame()
{
    QFETCH(int, command);
    QFETCH(int, sub);
    QFETCH(int, first);
    QFETCH(int, second);
    QFETCH(QByteArray, frame);
    RecordingOrvInterface link;
    Orv orv(&link, nullptr);
    orv.SendOrvCommandEx(BYTE(command), BYTE(sub), WORD(first), WORD(second));
    QCOMPARE(link.written(), frame);
    QCOMPARE(orv._cnt, 11);
}

void tst_Orv::withoutInterface()
{
    Orv orv(nullptr, nullptr);
    BYTE buffer[16] = {};
    orv.Write(buffer, 16);
    QCOMPARE(orv.Read(buffer, 16), 0);
    QString serial = "untouched";
    short count = 7;
    QCOMPARE(orv.CheckDevice(nullptr, &serial, &count), -1);
    QCOMPARE(serial, QString("untouched"));
    QCOMPARE(count, short(7));
}

void tst_Orv::singleHeadbox()
{
    QuarnelLog log;
    QSignalSpy texts(&log, &QuarnelLog::AddLogItemSignal);
    RecordingOrvInterface link;
    link.reg15 = 0x0080;
    answerIdentify(link, {{0, onTheWire("ABC-1234/56-789")}});
    Orv orv(&link, &log);
    QCOMPARE(orv.nDevs, short(-1));

    QString serial;
    short count = 0;
    QCOMPARE(orv.CheckDevice(nullptr, &serial, &count), 0);
    QCOMPARE(serial, QString("ABC-1234/56-789"));
    QCOMPARE(count, short(1));
    QCOMPARE(orv.nDevs, short(1));
    // Only channel 0 is selected: no other channel is read.
    QCOMPARE(link.registerWrites(), RegWrites({{15, 0x0080}}));
    QCOMPARE(link.written(), identify);
    QStringList names = link.names();
    QCOMPARE(names.mid(0, 5), QStringList({"WriteRegister", "Pause", "ClearRxBuffer",
                                           "ClearTxBuffer", "Write"}));
    QCOMPARE(link.calls("Read").size(), 1);
    QVERIFY(logTexts(texts).isEmpty());
}

void tst_Orv::singleHeadboxPaddedSerial()
{
    RecordingOrvInterface link;
    answerIdentify(link, {{0, onTheWire(" ABC-1234/56-7 ")}});
    Orv orv(&link, nullptr);
    QString serial;
    short count = 0;
    QCOMPARE(orv.CheckDevice(nullptr, &serial, &count), 0);
    QCOMPARE(serial, QString("ABC-1234/56-7"));
}

void tst_Orv::singleHeadboxMalformedSerial()
{
    QuarnelLog log;
    QSignalSpy texts(&log, &QuarnelLog::AddLogItemSignal);
    RecordingOrvInterface link;
    // Right text, but not byte-swapped: reads as BA-C2143/65-7...
    answerIdentify(link, {{0, QByteArray("ABC-1234/56-7890")}});
    Orv orv(&link, &log);
    QString serial = "old";
    short count = 5;
    QCOMPARE(orv.CheckDevice(nullptr, &serial, &count), -1);
    QCOMPARE(serial, QString("old"));
    QCOMPARE(count, short(5));
    QVERIFY(logTexts(texts).isEmpty());
    QCOMPARE(link.registerWrites().size(), 1);
}

void tst_Orv::tooManyBytesOnSharedChannel()
{
    QuarnelLog log;
    QSignalSpy texts(&log, &QuarnelLog::AddLogItemSignal);
    RecordingOrvInterface link;
    answerIdentify(link, {{0, onTheWire("ABC-1234/56-7") + onTheWire("XYZ-1234/56-7")}});
    Orv orv(&link, &log);
    QString serial;
    short count = 0;
    QCOMPARE(orv.CheckDevice(nullptr, &serial, &count), -1);
    QCOMPARE(logTexts(texts),
             QStringList({QString::fromUtf8("ERRORE più testine collegate in modalità only one! 32")}));
    QCOMPARE(orv.nDevs, short(0));
    QVERIFY(link.calls("Read").isEmpty());
    QCOMPARE(link.registerWrites().size(), 1);
}

void tst_Orv::headboxesOnOwnChannels()
{
    QuarnelLog log;
    QSignalSpy texts(&log, &QuarnelLog::AddLogItemSignal);
    RecordingOrvInterface link;
    link.reg15 = 0x0080;
    answerIdentify(link, {{1, onTheWire("AAA-1111/11-1  ")}, {2, onTheWire("BBB-2222/22-2")}});
    Orv orv(&link, &log);

    QString serial;
    short count = 0;
    QCOMPARE(orv.CheckDevice(nullptr, &serial, &count), 0);
    QCOMPARE(count, short(2));
    QCOMPARE(serial, QString("AAA-1111/11-1"));
    QCOMPARE(logTexts(texts), QStringList({"-------------", "1    16   AAA-1111/11-1  ",
                                           "2    16   BBB-2222/22-2"}));
    // Channels 0, 1, 2, 3 (nothing there: scan ends), then 0 again.
    QCOMPARE(link.registerWrites(),
             RegWrites({{15, 0x80}, {15, 0x89}, {15, 0x92}, {15, 0x9B}, {15, 0x80}}));
    QCOMPARE(link.reg15, WORD(0x0080));
    QCOMPARE(link.written(), identify);
}

void tst_Orv::allFourChannels()
{
    RecordingOrvInterface link;
    answerIdentify(link, {{1, onTheWire("AAA-1111/11-1")}, {2, onTheWire("BBB-2222/22-2")},
                          {3, onTheWire("CCC-3333/33-3")}, {4, onTheWire("DDD-4444/44-4")}});
    Orv orv(&link, nullptr);
    QString serial;
    short count = 0;
    QCOMPARE(orv.CheckDevice(nullptr, &serial, &count), 0);
    QCOMPARE(count, short(4));
    QCOMPARE(serial, QString("AAA-1111/11-1"));
    // Never a fifth channel.
    QCOMPARE(link.registerWrites().size(), 6);
    QCOMPARE(link.registerWrites().last(), qMakePair(15, 0));
}

void tst_Orv::malformedSerialOnOwnChannel()
{
    QuarnelLog log;
    QSignalSpy texts(&log, &QuarnelLog::AddLogItemSignal);
    RecordingOrvInterface link;
    answerIdentify(link, {{1, onTheWire("AAA-1111/11-1")}, {2, onTheWire("BBB-2222-22-2")},
                          {3, onTheWire("CCC-3333/33-3")}});
    Orv orv(&link, &log);
    QString serial = "old";
    short count = 9;
    QTest::ignoreMessage(QtDebugMsg, "wrong serial number");
    QCOMPARE(orv.CheckDevice(nullptr, &serial, &count), -1);
    QCOMPARE(serial, QString("old"));
    QCOMPARE(count, short(9));
    QCOMPARE(logTexts(texts), QStringList({"-------------", "1    16   AAA-1111/11-1"}));
    QCOMPARE(link.registerWrites(), RegWrites({{15, 0}, {15, 0x09}, {15, 0x12}, {15, 0}}));
}

void tst_Orv::noHeadbox()
{
    QuarnelLog log;
    QSignalSpy texts(&log, &QuarnelLog::AddLogItemSignal);
    RecordingOrvInterface link;
    Orv orv(&link, &log);
    QString serial;
    short count = 0;
    QCOMPARE(orv.CheckDevice(nullptr, &serial, &count), -1);
    QCOMPARE(logTexts(texts), QStringList({"-------------"}));
    QCOMPARE(link.registerWrites(), RegWrites({{15, 0}, {15, 0x09}, {15, 0}}));
    QCOMPARE(orv.nDevs, short(0));
}

// A stale answer from before the command is dropped, and a later failure
// resets nDevs even after an earlier success.
void tst_Orv::failureLeavesOutputsAlone()
{
    RecordingOrvInterface link;
    Orv orv(&link, nullptr);
    link.feedRx(onTheWire("OLD-0000/00-0"), 0);
    answerIdentify(link, {{0, onTheWire("ABC-1234/56-7")}});
    QString serial;
    short count = 0;
    QCOMPARE(orv.CheckDevice(nullptr, &serial, &count), 0);
    QCOMPARE(serial, QString("ABC-1234/56-7"));

    answerIdentify(link, {});
    QCOMPARE(orv.CheckDevice(nullptr, &serial, &count), -1);
    QCOMPARE(orv.nDevs, short(0));
    QCOMPARE(serial, QString("ABC-1234/56-7"));
    QCOMPARE(count, short(1));
}

QTEST_GUILESS_MAIN(tst_Orv)
#include "tst_orv.moc"
