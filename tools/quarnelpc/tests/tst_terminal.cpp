#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include <quarnelpc/discovery.h>

#include <memory>

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
    void heldStreamWaitsInTcp();
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

void tst_Terminal::heldStreamWaitsInTcp()
{
    // A fake terminal on loopback floods the data port while the program
    // holds the stream: the bytes wait in TCP, none is delivered or lost,
    // and once released every one arrives in order.
    QTcpServer answerServer, dataServer;
    QVERIFY(answerServer.listen(QHostAddress::LocalHost) && dataServer.listen(QHostAddress::LocalHost));
    Terminal t;
    QByteArray received;
    connect(&t, &Terminal::dataReceived, [&](const QByteArray &bytes) { received += bytes; });
    t.connectToTerminal(QStringLiteral("127.0.0.1"), dataServer.serverPort(), answerServer.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(t.isConnected(), 20000);
    t.holdStream(true);
    std::unique_ptr<QTcpSocket> data(dataServer.nextPendingConnection());
    QVERIFY(data);

    // Far more than the kernel's buffers and Qt's read-ahead take together.
    const int total = 48 << 20;
    QByteArray flood(total, Qt::Uninitialized);
    for (int i = 0; i < total; ++i)
        flood[i] = char(i * 7 + (i >> 16));
    qint64 accepted = 0;
    connect(data.get(), &QTcpSocket::bytesWritten, [&](qint64 n) { accepted += n; });
    data->write(flood);
    QTRY_VERIFY_WITH_TIMEOUT(accepted >= (1 << 20), 20000);
    // Loopback has put those bytes into the program's socket already: one
    // more pass of the event loop would deliver them, were it not held.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(received.size(), 0);
    QVERIFY(data->bytesToWrite() > 0);

    t.holdStream(false);
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), total, 60000);
    QVERIFY(received == flood);
}

QTEST_GUILESS_MAIN(tst_Terminal)
#include "tst_terminal.moc"
