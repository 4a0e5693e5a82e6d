#include <QTest>
#include <QUdpSocket>

#include <quarnelpc/discovery.h>
#include <quarnelpc/terminal.h>

// What the library lets into the PC's stream, and how long it waits.
class tst_Terminal : public QObject
{
    Q_OBJECT
private slots:
    void headboxBytesNeverFormTheKey_data();
    void headboxBytesNeverFormTheKey();
    void pauseAsTheTerminalTakesIt_data();
    void pauseAsTheTerminalTakesIt();
    void discoveryClosedFromItsHandler();
};

using namespace QuarnelPc;

void tst_Terminal::headboxBytesNeverFormTheKey_data()
{
    // Pieces given in turn; "!" stands for a command between them. The
    // terminal would take a key in headbox data for a command.
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<int>("refused");   // index of the piece refused, -1: none
    QTest::newRow("key inside") << QStringList{"abTALVcd"} << 0;
    QTest::newRow("key across calls") << QStringList{"abTA", "L", "Vcd"} << 2;
    QTest::newRow("parted by a command") << QStringList{"abTA", "!", "LVcd"} << -1;
    QTest::newRow("near misses") << QStringList{"TAL", "TTALX", "ALV"} << -1;
}

void tst_Terminal::headboxBytesNeverFormTheKey()
{
    QFETCH(QStringList, pieces);
    QFETCH(int, refused);
    Terminal t;   // unconnected: what it accepts waits in its queue
    for (int i = 0; i < pieces.size(); ++i) {
        if (pieces[i] == QLatin1String("!")) {
            t.sendCommand(Command::clearReceivePath());
            continue;
        }
        QCOMPARE(t.sendToHeadbox(pieces[i].toLatin1()), i != refused);
    }
}

void tst_Terminal::pauseAsTheTerminalTakesIt_data()
{
    // The wait for an "ok" adds the pause the terminal makes: its value
    // read as signed and bounded to a minute, not as the bytes would say
    // unsigned.
    QTest::addColumn<Command>("command");
    QTest::addColumn<int>("pauseMs");
    QTest::newRow("half a second") << Command::delay(500) << 500;
    QTest::newRow("beyond a minute") << Command::delay(90000) << 60000;
    QTest::newRow("negative") << Command::raw(8, QByteArray::fromHex("ffffffff")) << 0;
    QTest::newRow("short parameters") << Command::raw(8, QByteArray::fromHex("ffff")) << 0;
    QTest::newRow("no pause") << Command::sync(1) << 0;
}

void tst_Terminal::pauseAsTheTerminalTakesIt()
{
    QFETCH(Command, command);
    QFETCH(int, pauseMs);
    QCOMPARE(command.pauseMs(), pauseMs);
}

namespace {
QStringList warnings;
QtMessageHandler previousHandler = nullptr;

void recordWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg)
        warnings.append(message);
    previousHandler(type, context, message);
}
} // namespace

void tst_Terminal::discoveryClosedFromItsHandler()
{
    // What a program does once it has found its terminal. Free ports of this
    // test's own network namespace.
    QUdpSocket probe;
    QVERIFY(probe.bind(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 port = probe.localPort();
    probe.close();
    Discovery discovery;
    QVERIFY2(discovery.listen(port, port + 1), qPrintable(discovery.errorString()));
    int heard = 0;
    connect(&discovery, &Discovery::announced, this, [&] {
        ++heard;
        discovery.close();
    });
    const QByteArray json("{\"connected_to\": \"cable\", \"name\": \"SN01\", \"num_devices\": 1, "
                          "\"remote_terminal_port\": 2000}");
    QUdpSocket terminal;
    QCOMPARE(terminal.writeDatagram(json, QHostAddress::LocalHost, port), qint64(json.size()));
    warnings.clear();
    previousHandler = qInstallMessageHandler(recordWarnings);
    QTRY_COMPARE(heard, 1);
    qInstallMessageHandler(previousHandler);
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join(QLatin1Char('\n'))));
    QVERIFY(!discovery.isListening());
}

QTEST_GUILESS_MAIN(tst_Terminal)
#include "tst_terminal.moc"
