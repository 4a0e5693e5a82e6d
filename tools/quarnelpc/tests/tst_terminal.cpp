#include <QTest>

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

QTEST_GUILESS_MAIN(tst_Terminal)
#include "tst_terminal.moc"
