#include "framecommandparser.h"
#include "terminalframe.h"

#include <QTest>

class tst_FrameCommandParser : public QObject
{
    Q_OBJECT
private slots:
    void sequence();
    void frames_data();
    void frames();
    void errors_data();
    void errors();
};

void tst_FrameCommandParser::sequence()
{
    const QStringList words = QStringLiteral("clock 1000 layout 2 4 8 1 4 4 0 0 readwrite 2 sync on").split(' ');
    QVector<FrameCommandParser::Command> cmds;
    QString error;
    QVERIFY2(FrameCommandParser::parse(words, &cmds, &error), qPrintable(error));
    QCOMPARE(cmds.size(), 4);
    QCOMPARE(cmds.at(0).text(), QStringLiteral("clock 1000"));
    QCOMPARE(cmds.at(1).text(), QStringLiteral("layout 2 4 8 1 4 4 0 0"));
    QCOMPARE(cmds.at(2).text(), QStringLiteral("readwrite 2"));
    QCOMPARE(cmds.at(3).text(), QStringLiteral("sync on"));
    const quint16 counts[4] = { 4, 4, 0, 0 };
    QCOMPARE(cmds.at(0).frame(), TerminalFrame::clock(1000));
    QCOMPARE(cmds.at(1).frame(), TerminalFrame::multiHeadLayout(2, 4, 8, 1, counts));
    QCOMPARE(cmds.at(2).frame(), TerminalFrame::headboxReadWrite(2));
    QCOMPARE(cmds.at(3).frame(), TerminalFrame::sync(1));
}

void tst_FrameCommandParser::frames_data()
{
    QTest::addColumn<QString>("words");
    QTest::addColumn<QByteArray>("frame");
    QTest::newRow("hex clock") << "clock 0x10" << TerminalFrame::clock(16);
    QTest::newRow("clock upper bound") << "clock 32767" << TerminalFrame::clock(32767);
    QTest::newRow("trigger off") << "trigger off" << TerminalFrame::triggerOut(0);
    QTest::newRow("trigger OFF") << "trigger OFF" << TerminalFrame::triggerOut(0);
    QTest::newRow("trigger 150") << "trigger 150" << TerminalFrame::triggerOut(150);
    QTest::newRow("read 0") << "read 0" << TerminalFrame::headboxRead(0);
    QTest::newRow("write 4") << "write 4" << TerminalFrame::headboxWrite(4);
    QTest::newRow("sync off") << "sync off" << TerminalFrame::sync(0);
    QTest::newRow("sync 3") << "sync 3" << TerminalFrame::sync(3);
    QTest::newRow("delay") << "delay 2147483647" << TerminalFrame::delay(2147483647);
    QTest::newRow("clear") << "clear" << TerminalFrame::clearReceivePath();
    QTest::newRow("raw code only") << "raw 10" << TerminalFrame::raw(10, QByteArray());
    QTest::newRow("raw params") << "raw 0 01fF" << TerminalFrame::raw(0, QByteArray::fromHex("01ff"));
}

void tst_FrameCommandParser::frames()
{
    QFETCH(QString, words);
    QFETCH(QByteArray, frame);
    QVector<FrameCommandParser::Command> cmds;
    QString error;
    QVERIFY2(FrameCommandParser::parse(words.split(' '), &cmds, &error), qPrintable(error));
    QCOMPARE(cmds.size(), 1);
    QCOMPARE(cmds.at(0).frame().toHex(), frame.toHex());
}

void tst_FrameCommandParser::errors_data()
{
    QTest::addColumn<QString>("words");
    QTest::addColumn<QString>("mention");
    QTest::newRow("nothing") << "" << "no command";
    QTest::newRow("unknown") << "louder 3" << "louder";
    QTest::newRow("missing value") << "clock" << "clock";
    QTest::newRow("beyond 16 bits") << "clock 32768" << "32767";
    QTest::newRow("not a number") << "read two" << "two";
    QTest::newRow("short layout") << "layout 1 2 3" << "layout";
    QTest::newRow("negative count") << "layout 1 2 3 4 5 6 7 -8" << "-8";
    // A negative pause would stall the terminal: it sleeps the value as unsigned.
    QTest::newRow("negative delay") << "delay -1" << "delay";
    QTest::newRow("sync word") << "sync maybe" << "maybe";
    QTest::newRow("odd hex") << "raw 3 abc" << "hexadecimal";
    QTest::newRow("bad hex") << "raw 3 zz" << "hexadecimal";
    QTest::newRow("second command bad") << "clock 5 write" << "write";
}

void tst_FrameCommandParser::errors()
{
    QFETCH(QString, words);
    QFETCH(QString, mention);
    QVector<FrameCommandParser::Command> cmds;
    QString error;
    QVERIFY(!FrameCommandParser::parse(words.split(' ', Qt::SkipEmptyParts), &cmds, &error));
    QVERIFY2(error.contains(mention), qPrintable(error));
}

QTEST_APPLESS_MAIN(tst_FrameCommandParser)
#include "tst_framecommandparser.moc"
