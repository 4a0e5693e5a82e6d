#include <QSignalSpy>
#include <QTest>

#include "headboxtexts.h"
#include "quarnellog.h"
#include "recordingorvinterface.h"

using Call = RecordingOrvInterface::Call;
using RegWrites = QVector<QPair<int, int>>;

class tst_OrvInterface : public QObject
{
    Q_OBJECT
private slots:
    void construction();
    void channelSelection();
    void channelOutOfRangeKeepsOtherBits_data();
    void channelOutOfRangeKeepsOtherBits();
    void clockCode_data();
    void clockCode();
    void syncOff();
    void syncOn();
    void myRead();
    void setUsbSequence();
    void setUsbFirmwareMissing();
    void setInterfaceWrapsSetUsb_data();
    void setInterfaceWrapsSetUsb();
    void baseClassCompletesSetUsb();
    void ftdiBuffer_data();
    void ftdiBuffer();
    void noLogIsHarmless();
};

void tst_OrvInterface::construction()
{
    RecordingOrvInterface link;
    QCOMPARE(link.reg15, WORD(0));
    QCOMPARE(link.reg5, WORD(0));
    QCOMPARE(link.reg8, WORD(0));
    QCOMPARE(QByteArray(link.version, 64), QByteArray(64, '\0'));
    QVERIFY(link._log == nullptr);
}

void tst_OrvInterface::channelSelection()
{
    RecordingOrvInterface link;
    link.reg15 = 0x0080;

    QCOMPARE(link.WhichHeadboxReadWrite(2), short(0));
    QCOMPARE(link.reg15, WORD(0x0092));
    QCOMPARE(link.names(), QStringList({"WriteRegister", "Pause"}));
    QCOMPARE(link.registerWrites(), RegWrites({{15, 0x0092}}));
    QCOMPARE(link.pauses(), QVector<unsigned long>({10}));

    link.clear();
    QCOMPARE(link.WhichHeadboxRead(1), short(0));
    QCOMPARE(link.WhichHeadboxWrite(3), short(0));
    QCOMPARE(link.registerWrites(), RegWrites({{15, 0x0091}, {15, 0x0099}}));
    QVERIFY(link.pauses().isEmpty());
}

// A channel comes from the PC's command frames as any 16-bit value; it must
// not spill into the sync and clock bits of the same register.
void tst_OrvInterface::channelOutOfRangeKeepsOtherBits_data()
{
    QTest::addColumn<int>("op"); // 0 read/write, 1 read, 2 write
    QTest::addColumn<int>("channel");
    QTest::addColumn<int>("expected");
    QTest::newRow("rw -1") << 0 << -1 << 0x28BF;
    QTest::newRow("read -1") << 1 << -1 << 0x28A7;
    QTest::newRow("write -1") << 2 << -1 << 0x28BC;
    QTest::newRow("rw 9") << 0 << 9 << 0x2889;
    QTest::newRow("write 0x100") << 2 << 0x100 << 0x2884;
    QTest::newRow("read 4") << 1 << 4 << 0x28A4;
}

void tst_OrvInterface::channelOutOfRangeKeepsOtherBits()
{
    QFETCH(int, op);
    QFETCH(int, channel);
    QFETCH(int, expected);
    RecordingOrvInterface link;
    link.reg15 = 0x28A4; // clock 2, sync, set-up bit, write 4, read 4
    if (op == 0)
        link.WhichHeadboxReadWrite(short(channel));
    else if (op == 1)
        link.WhichHeadboxRead(short(channel));
    else
        link.WhichHeadboxWrite(short(channel));
    QCOMPARE(int(link.reg15), expected);
    QCOMPARE(link.registerWrites(), RegWrites({{15, expected}}));
}

void tst_OrvInterface::clockCode_data()
{
    QTest::addColumn<int>("clock");
    QTest::addColumn<int>("expected");
    QTest::newRow("8") << 8 << 0x1892;
    QTest::newRow("12") << 12 << 0x2892;
    QTest::newRow("16 like 12") << 16 << 0x2892;
    QTest::newRow("24") << 24 << 0x3892;
    QTest::newRow("10 clears") << 10 << 0x0892;
    QTest::newRow("0 clears") << 0 << 0x0892;
    QTest::newRow("-8 clears") << -8 << 0x0892;
}

void tst_OrvInterface::clockCode()
{
    QFETCH(int, clock);
    QFETCH(int, expected);
    RecordingOrvInterface link;
    link.reg15 = 0x3892;
    link.SetClockFrequency(short(clock));
    QCOMPARE(int(link.reg15), expected);
    QCOMPARE(link.registerWrites(), RegWrites({{15, expected}}));
}

void tst_OrvInterface::syncOff()
{
    QuarnelLog log;
    QSignalSpy texts(&log, &QuarnelLog::AddLogItemSignal);
    RecordingOrvInterface link;
    link._log = &log;
    link.reg15 = 0x2892;

    QCOMPARE(link.SendSync(0), short(0));
    QCOMPARE(link.names(), QStringList({"SetMultiHeadInfo", "WriteRegister"}));
    QCOMPARE(link.calls("SetMultiHeadInfo").at(0).args,
             QVariantList({0, 0, 0, 0, 0, 0, 0, 0}));
    QCOMPARE(link.registerWrites(), RegWrites({{15, 0x2092}}));
    QVERIFY(link.pauses().isEmpty());
    QCOMPARE(logTexts(texts), QStringList({"sync Off"}));
}

void tst_OrvInterface::syncOn()
{
    QuarnelLog log;
    QSignalSpy texts(&log, &QuarnelLog::AddLogItemSignal);
    RecordingOrvInterface link;
    link._log = &log;
    link.reg15 = 0x0092;

    QCOMPARE(link.SendSync(1), short(0));
    QCOMPARE(link.names(), QStringList({"Pause", "WriteRegister"}));
    QCOMPARE(link.pauses(), QVector<unsigned long>({600}));
    QCOMPARE(link.registerWrites(), RegWrites({{15, 0x0892}}));
    QCOMPARE(logTexts(texts), QStringList({"sync On"}));

    // The pause is real on the production path.
    link.clear();
    link.setRealPauses(true);
    QElapsedTimer timer;
    timer.start();
    link.SendSync(1);
    QVERIFY2(timer.elapsed() >= 590, qPrintable(QString::number(timer.elapsed())));
}

void tst_OrvInterface::myRead()
{
    RecordingOrvInterface link;
    BYTE buffer[64];

    QCOMPARE(link.MyRead(buffer, 16), 0);
    QVERIFY(link.calls("Read").isEmpty());

    QByteArray stream;
    for (int i = 0; i < 24; ++i)
        stream.append(char(0xA0 + i));
    link.feedRx(stream);
    QCOMPARE(link.MyRead(buffer, 16), 16);
    QCOMPARE(link.calls("Read").size(), 1);
    QCOMPARE(link.calls("Read").at(0).args.at(0).toInt(), 16);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer), 16), stream.left(16));

    // Fewer queued than allowed: asks exactly for what is there.
    QCOMPARE(link.MyRead(buffer, 4096), 8);
    QCOMPARE(link.calls("Read").at(1).args.at(0).toInt(), 8);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer), 8), stream.mid(16));

    // A zero or negative limit never reaches Read.
    link.feedRx("abc");
    QCOMPARE(link.MyRead(buffer, 0), 0);
    QCOMPARE(link.MyRead(buffer, -5), 0);
    QCOMPARE(link.calls("Read").size(), 2);
}

void tst_OrvInterface::setUsbSequence()
{
    QuarnelLog log;
    QSignalSpy texts(&log, &QuarnelLog::AddLogItemSignal);
    RecordingOrvInterface link;
    link._log = &log;
    link.setTestInterfaceResult(0, "firmware ver. 2.7");
    link.reg15 = 0x3899;
    QSignalSpy firmware(&link, &OrvInterface::FirmwareVersion);

    QTest::ignoreMessage(QtDebugMsg, "Enter set usb");
    QTest::ignoreMessage(QtDebugMsg, "Talvenor usb kivo correctly set!");
    QCOMPARE(link.SetUsb(), short(0));

    const QList<Call> calls = link.calls();
    QStringList got;
    for (const Call &c : calls) {
        QStringList args;
        for (const QVariant &a : c.args)
            args.append(a.type() == QVariant::ByteArray ? QString(a.toByteArray().toHex())
                                                        : a.toString());
        got.append(c.name + (args.isEmpty() ? QString() : " " + args.join(',')));
    }
    const QStringList expected{
        "ExitTransparentMode",
        "WriteRegister 5,0",
        "SendUsbCommand 0a000000",
        "WriteRegister 8,0",
        "TestInterface",
        "WriteRegister 5,17408",
        "SendUsbCommand 08000000",
        "SendUsbCommand 074000",
        "WriteRegister 15,128",
        "Pause 500",
        "WriteRegister 8,8",
        "WriteRegister 5,64",
        "SendUsbCommand 0a020000",
        "SetMultiHeadInfo 0,0,0,0,0,0,0,0",
        "EnterTransparentMode",
        "Pause 100",
        "ClearRxBuffer",
        "ClearTxBuffer",
    };
    QCOMPARE(got, expected);
    QCOMPARE(link.reg15, WORD(0x0080));
    QCOMPARE(link.reg8, WORD(8));
    QCOMPARE(link.reg5, WORD(0x0040));
    QVERIFY(link.isTransparentMode);
    QCOMPARE(firmware.count(), 1);
    QCOMPARE(firmware.at(0).at(0).toString(), QString("firmware ver. 2.7"));
    QCOMPARE(logTexts(texts),
             QStringList({"Enter set usb", "Talvenor usb kivo correctly set!"}));
}

void tst_OrvInterface::setUsbFirmwareMissing()
{
    QuarnelLog log;
    QSignalSpy texts(&log, &QuarnelLog::AddLogItemSignal);
    RecordingOrvInterface link;
    link._log = &log;
    link.setTestInterfaceResult(-1);
    link.reg15 = 0x0091;
    link.reg5 = 0x0040;
    link.reg8 = 8;
    QSignalSpy firmware(&link, &OrvInterface::FirmwareVersion);

    QTest::ignoreMessage(QtDebugMsg, "Enter set usb");
    QTest::ignoreMessage(QtDebugMsg, "ERROREEEEEE 8");
    QCOMPARE(link.SetUsb(), short(-2));
    QCOMPARE(firmware.count(), 0);
    QCOMPARE(link.registerWrites(), RegWrites({{5, 0}, {8, 0}}));
    QCOMPARE(link.names().last(), QString("TestInterface"));
    QCOMPARE(link.reg15, WORD(0x0091));
    QCOMPARE(link.reg5, WORD(0));
    QCOMPARE(link.reg8, WORD(0));
    QCOMPARE(logTexts(texts), QStringList({"Enter set usb", "Firmware not loaded!"}));
}

void tst_OrvInterface::setInterfaceWrapsSetUsb_data()
{
    QTest::addColumn<int>("testResult");
    QTest::addColumn<int>("expected");
    QTest::newRow("firmware loaded") << 0 << 0;
    QTest::newRow("firmware missing") << 3 << -2;
}

void tst_OrvInterface::setInterfaceWrapsSetUsb()
{
    QFETCH(int, testResult);
    QFETCH(int, expected);
    QuarnelLog log;
    QSignalSpy texts(&log, &QuarnelLog::AddLogItemSignal);
    RecordingOrvInterface link;
    link._log = &log;
    link.setTestInterfaceResult(short(testResult));
    link.feedRx("stale answer");

    QTest::ignoreMessage(QtDebugMsg, "set interface n");
    QCOMPARE(int(link.SetInterface()), expected);
    const QStringList names = link.names();
    QCOMPARE(names.mid(0, 3), QStringList({"ClearRxBuffer", "ClearTxBuffer", "ExitTransparentMode"}));
    QCOMPARE(names.last(), QString("ClearRxBuffer"));
    QCOMPARE(link.pending(), 0);
    QCOMPARE(logTexts(texts).value(0), QString("Set Interface"));
    QCOMPARE(logTexts(texts).value(1), QString("Enter set usb"));
}

void tst_OrvInterface::baseClassCompletesSetUsb()
{
    QuarnelLog log;
    QSignalSpy texts(&log, &QuarnelLog::AddLogItemSignal);
    struct Bare : OrvInterface
    {
        explicit Bare(QuarnelLog *l) { _log = l; }
    } link(&log);
    QSignalSpy firmware(&link, &OrvInterface::FirmwareVersion);

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(link.SetUsb(), short(0));
    // 500 ms after the link configuration, 100 ms after transparent mode.
    QVERIFY2(timer.elapsed() >= 590, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(firmware.count(), 1);
    QCOMPARE(firmware.at(0).at(0).toString(), QString());
    QCOMPARE(logTexts(texts),
             QStringList({"Enter set usb", "Talvenor usb kivo correctly set!"}));
    QCOMPARE(link.reg15, WORD(0x0080));
    QCOMPARE(link.reg8, WORD(8));
    QCOMPARE(link.reg5, WORD(0x0040));
}

void tst_OrvInterface::ftdiBuffer_data()
{
    QTest::addColumn<int>("request");
    QTest::addColumn<int>("acquisition");
    QTest::addColumn<int>("ftdi");
    QTest::newRow("zero ignored") << 0 << 77 << 77;
    QTest::newRow("negative ignored") << -3 << 77 << 77;
    QTest::newRow("small") << 100 << 100 << 100;
    QTest::newRow("capped") << 10000 << 10000 << 8192;
}

void tst_OrvInterface::ftdiBuffer()
{
    QFETCH(int, request);
    QFETCH(int, acquisition);
    QFETCH(int, ftdi);
    RecordingOrvInterface link;
    link._nDataAcquisition = 77;
    link._nDataFtdi = 77;
    link.SetFtdiBuffer(request);
    QCOMPARE(link._nDataAcquisition, acquisition);
    QCOMPARE(link._nDataFtdi, ftdi);
}

void tst_OrvInterface::noLogIsHarmless()
{
    RecordingOrvInterface link;
    link.SendSync(1);
    link.SendSync(0);
    QCOMPARE(link.SetUsb(), short(0));
    QCOMPARE(link.reg15, WORD(0x0080));
}

QTEST_GUILESS_MAIN(tst_OrvInterface)
#include "tst_orvinterface.moc"
