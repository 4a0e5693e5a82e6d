#include "childprocess.h"
#include "faketerminal.h"
#include "harness.h"
#include "statusrecord.h"
#include "streampattern.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>
#include <QTest>
#include <QRegularExpression>

// The program itself, run as a user runs it, against a fake terminal on
// loopback or across the harness's veth pair from the PC namespace.
class tst_QuarnelClient : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void frameNeedsNoNetwork();
    void usageErrors_data();
    void usageErrors();

    void commandGetsOkForEachFrame();
    void commandRoundTripStatistics();
    void commandWithoutOkTimesOut();
    void delayExtendsTheWait();
    void refused();
    void busyWithAnotherPc();
    void commandLosesTheAnswerPort();
    void answerPortBreaksTheProtocol_data();
    void answerPortBreaksTheProtocol();
    void answerPortTakenWhileConnecting();
    void commandAcrossTheLan();
    void noRouteToTheTerminal();

    void recordStoresAndChecksBytes();
    void recordReportsFaults_data();
    void recordReportsFaults();
    void recordForSeconds();
    void recordConnectionLost();
    void recordWithoutData();
    void recordWithoutStreamFails();
    void recordSurvivesLossOfTheAnswerPort();
    void recordEndsCleanlyOnInterrupt();

    void discoverAcrossTheLan();
    void discoverHearsNothing();
    void discoverShowsInvalidDatagrams();
    void discoverEscapesNetworkText();

private:
    struct Run
    {
        int exitCode = -1;
        QString out;
        QString err;
        qint64 ms = 0;
    };
    bool start(QProcess &p, const QStringList &args, bool onPc = false);
    bool finish(QProcess &p, Run *run, int timeoutMs = 30000);
    bool run(const QStringList &args, Run *r, bool onPc = false, int timeoutMs = 30000);
    static QString written(QProcess &p, QProcess::ProcessChannel channel);

    QTemporaryDir tmp;
    QElapsedTimer clock;
};

static const QHostAddress Loopback(QHostAddress::LocalHost);

void tst_QuarnelClient::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
    QVERIFY(tmp.isValid());
    QVERIFY(QFile::exists(QStringLiteral(QUARNELCLIENT_BIN)));
}

bool tst_QuarnelClient::start(QProcess &p, const QStringList &args, bool onPc)
{
    clock.start();
    if (onPc)
        p.start(QStringLiteral(QUARNEL_SOURCE_DIR "/scripts/pc.sh"), QStringList{ QStringLiteral(QUARNELCLIENT_BIN) } + args);
    else
        p.start(QStringLiteral(QUARNELCLIENT_BIN), args);
    return p.waitForStarted(5000);
}

bool tst_QuarnelClient::finish(QProcess &p, Run *r, int timeoutMs)
{
    // The fake terminal's sockets are served at once while the client works
    // (a polling wait would answer each frame only after its next sleep).
    if (p.state() != QProcess::NotRunning) {
        QEventLoop loop;
        connect(&p, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (p.state() != QProcess::NotRunning) {
        childprocess::stop(p);
        return false;
    }
    r->ms = clock.elapsed();
    r->exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r->out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r->err = QString::fromLocal8Bit(p.readAllStandardError());
    return true;
}

bool tst_QuarnelClient::run(const QStringList &args, Run *r, bool onPc, int timeoutMs)
{
    QProcess p;
    return start(p, args, onPc) && finish(p, r, timeoutMs);
}

// What the running program has written on the channel so far; it stays
// there for finish().
QString tst_QuarnelClient::written(QProcess &p, QProcess::ProcessChannel channel)
{
    p.setReadChannel(channel);
    const QString text = QString::fromLocal8Bit(p.peek(p.bytesAvailable()));
    p.setReadChannel(QProcess::StandardOutput);
    return text;
}

#define DUMP(r) qPrintable(QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg((r).exitCode).arg((r).out, (r).err))

static bool oneLine(const QString &s)
{
    return s.endsWith(QLatin1Char('\n')) && s.count(QLatin1Char('\n')) == 1;
}

void tst_QuarnelClient::frameNeedsNoNetwork()
{
    Run r;
    QVERIFY(run(QStringLiteral("frame clear readwrite 2").split(' '), &r));
    QVERIFY2(r.exitCode == 0, DUMP(r));
    QCOMPARE(r.out, QStringLiteral("54 41 4c 56 00 00 00 00 09 00 40 01  clear\n"
                                   "54 41 4c 56 02 00 00 00 06 00 02 00 41 01  readwrite 2\n"));
}

void tst_QuarnelClient::usageErrors_data()
{
    QTest::addColumn<QString>("args");
    QTest::addColumn<QString>("mention");
    QTest::newRow("no subcommand") << "" << "Usage: quarnelclient SUBCOMMAND";
    QTest::newRow("unknown subcommand") << "listen" << "unknown subcommand 'listen'";
    QTest::newRow("command without commands") << "command 127.0.0.1" << "at least one command";
    QTest::newRow("command bad value") << "command 127.0.0.1 read 99999" << "99999";
    QTest::newRow("record two hosts") << "record a b" << "exactly one host";
    QTest::newRow("record zero bytes") << "record 127.0.0.1 --bytes 0" << "--bytes";
    QTest::newRow("record bad setup") << "record 127.0.0.1 --setup clock" << "--setup";
    QTest::newRow("record bad port") << "record 127.0.0.1 --data-port 70000" << "--data-port";
    QTest::newRow("discover bad timeout") << "discover --timeout soon" << "--timeout";
    // Read as numbers, they would never end the run.
    QTest::newRow("record seconds nan") << "record 127.0.0.1 --seconds nan" << "--seconds";
    QTest::newRow("record seconds inf") << "record 127.0.0.1 --seconds inf" << "--seconds";
    QTest::newRow("discover timeout nan") << "discover --timeout nan" << "--timeout";
    QTest::newRow("unknown option") << "discover --loud" << "loud";
}

void tst_QuarnelClient::usageErrors()
{
    QFETCH(QString, args);
    QFETCH(QString, mention);
    Run r;
    QVERIFY(run(args.split(' ', Qt::SkipEmptyParts), &r));
    QVERIFY2(r.exitCode == 2, DUMP(r));
    QVERIFY2(r.err.contains(mention), DUMP(r));
    QVERIFY(r.out.isEmpty());
}

void tst_QuarnelClient::commandGetsOkForEachFrame()
{
    FakeTerminal t;
    QVERIFY(t.listen(Loopback));   // the default ports 2000 and 2001
    Run r;
    QVERIFY(run(QStringLiteral("command 127.0.0.1 clock 1000 layout 2 4 8 1 4 4 0 0 readwrite 2 sync on").split(' '), &r));
    QVERIFY2(r.exitCode == 0, DUMP(r));
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines[0].startsWith(QLatin1String("ok  clock 1000  (")));
    QVERIFY(lines[1].startsWith(QLatin1String("ok  layout 2 4 8 1 4 4 0 0  (")));
    QVERIFY(lines[2].startsWith(QLatin1String("ok  readwrite 2  (")));
    QVERIFY(lines[3].startsWith(QLatin1String("ok  sync on  (")));
    QVERIFY(r.err.isEmpty());

    QCOMPARE(t.badChecksums, 0);
    QCOMPARE(t.frames.size(), 4);
    QCOMPARE(t.frames[0].code, 1);
    QCOMPARE(t.frames[0].params.toHex(), QByteArray("e803"));
    QCOMPARE(t.frames[1].code, 3);
    QCOMPARE(t.frames[1].params.toHex(), QByteArray("02000400080001000400040000000000"));
    QCOMPARE(t.frames[2].code, 6);
    QCOMPARE(t.frames[3].code, 7);
    QVERIFY(t.headboxBytes.isEmpty());
    QTRY_VERIFY(!t.hasDataClient());   // it disconnected
}

void tst_QuarnelClient::commandRoundTripStatistics()
{
    FakeTerminal t;
    QVERIFY(t.listen(Loopback));
    Run r;
    QVERIFY(run(QStringLiteral("command 127.0.0.1 --repeat 200 read 1 delay 0").split(' '), &r));
    QVERIFY2(r.exitCode == 0, DUMP(r));
    QCOMPARE(t.frames.size(), 400);
    QCOMPARE(t.dataConnections, 1);
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral(
        "^400 \"ok\" round trips: p50 ([0-9.]+) ms, p99 ([0-9.]+) ms, max ([0-9.]+) ms\n$")).match(r.out);
    QVERIFY2(m.hasMatch(), DUMP(r));
    const double p50 = m.captured(1).toDouble(), p99 = m.captured(2).toDouble(), max = m.captured(3).toDouble();
    QVERIFY(p50 > 0 && p50 <= p99 && p99 <= max);
}

void tst_QuarnelClient::commandWithoutOkTimesOut()
{
    FakeTerminal t;
    t.answerOk = false;
    QVERIFY(t.listen(Loopback));
    Run r;
    QVERIFY(run(QStringLiteral("command 127.0.0.1 --answer-timeout 300 clock 5 sync on").split(' '), &r));
    QVERIFY2(r.exitCode == 6, DUMP(r));
    QVERIFY2(oneLine(r.err), DUMP(r));
    QVERIFY2(r.err.contains(QLatin1String("no \"ok\" for 'clock 5' within 300 ms")), DUMP(r));
    QVERIFY(r.ms >= 300);
    QCOMPARE(t.frames.size(), 1);   // nothing sent after the unanswered frame
}

void tst_QuarnelClient::delayExtendsTheWait()
{
    // The terminal answers a delay only after sleeping it. This one answers
    // a minute's pause after 700 ms: past the client's answer time-out, and
    // long before the client, if it waits for the pause, gives up.
    FakeTerminal t;
    t.maxDelayMs = 700;
    QVERIFY(t.listen(Loopback));
    Run r;
    QVERIFY(run(QStringLiteral("command 127.0.0.1 --answer-timeout 300 delay 60000 clear").split(' '), &r));
    QVERIFY2(r.exitCode == 0, DUMP(r));
    QVERIFY(r.ms >= 700);
    QCOMPARE(t.frames.size(), 2);
    QCOMPARE(t.frames[0].code, 8);
    QCOMPARE(t.frames[1].code, 9);
}

void tst_QuarnelClient::refused()
{
    Run r;
    QVERIFY(run(QStringLiteral("command 127.0.0.1 clear").split(' '), &r));
    QVERIFY2(r.exitCode == 4, DUMP(r));
    QVERIFY2(oneLine(r.err) && r.err.contains(QLatin1String("refused")), DUMP(r));
    QVERIFY(r.out.isEmpty());
}

void tst_QuarnelClient::busyWithAnotherPc()
{
    FakeTerminal t;
    QVERIFY(t.listen(Loopback));
    QTcpSocket firstPc;
    firstPc.connectToHost(Loopback, 2000);
    QTRY_VERIFY(t.hasDataClient());

    Run r;
    QVERIFY(run(QStringLiteral("command 127.0.0.1 clear").split(' '), &r));
    QVERIFY2(r.exitCode == 5, DUMP(r));
    QVERIFY2(oneLine(r.err) && r.err.contains(QLatin1String("busy with another PC")), DUMP(r));
    QCOMPARE(t.refusedClients, 1);
    QVERIFY(t.frames.isEmpty());

    QProcess rec;
    QVERIFY(start(rec, QStringLiteral("record 127.0.0.1 --bytes 1000 --quiet").split(' ')));
    QVERIFY(finish(rec, &r));
    QVERIFY2(r.exitCode == 5, DUMP(r));
}

void tst_QuarnelClient::commandLosesTheAnswerPort()
{
    FakeTerminal t;
    QVERIFY(t.listen(Loopback));
    QProcess p;
    // Lost while the client waits for the pause's answer, after a first "ok":
    // the client cannot take it for a busy terminal's refusal, whenever it
    // comes. A client that waited on regardless would end with a time-out
    // (6), at the earliest after the pause.
    QVERIFY(start(p, QStringLiteral("command 127.0.0.1 clear delay 60000 clear").split(' ')));
    QTRY_COMPARE_WITH_TIMEOUT(t.frames.size(), 2, 20000);
    t.dropAnswerClient();
    Run r;
    QVERIFY(finish(p, &r));
    QVERIFY2(r.exitCode == 7, DUMP(r));
    QVERIFY2(r.out.startsWith(QLatin1String("ok  clear  (")), DUMP(r));
    QVERIFY2(oneLine(r.err) && r.err.contains(QLatin1String("127.0.0.1:2001: the terminal closed the answer connection")), DUMP(r));
}

void tst_QuarnelClient::answerPortBreaksTheProtocol_data()
{
    QTest::addColumn<bool>("twice");
    QTest::addColumn<bool>("flood");
    QTest::addColumn<QString>("args");
    // A second "ok" read with the first would be taken for the next
    // command's answer; a flood from the connection on, parsed two bytes at
    // a time, starved the client's event loop (no time limit fired) and grew
    // without bound while it connected.
    QTest::newRow("answers twice") << true << false << "command 127.0.0.1 clear";
    QTest::newRow("floods with oks") << false << true << "record 127.0.0.1 --seconds 1 --quiet";
}

void tst_QuarnelClient::answerPortBreaksTheProtocol()
{
    QFETCH(bool, twice);
    QFETCH(bool, flood);
    QFETCH(QString, args);
    FakeTerminal t;
    t.answerTwice = twice;
    t.floodOks = flood;
    QVERIFY(t.listen(Loopback));
    Run r;
    QVERIFY(run(args.split(' '), &r, false, 20000));
    QVERIFY2(r.exitCode == 9, DUMP(r));
    QVERIFY2(oneLine(r.err) && r.err.contains(QLatin1String("127.0.0.1:2001: "))
             && r.err.contains(QLatin1String("\"ok\" with no command waiting")), DUMP(r));
}

void tst_QuarnelClient::answerPortTakenWhileConnecting()
{
    // A third host takes the answer port each time this PC has connected
    // to it; nobody holds the data port, so the terminal is not busy.
    FakeTerminal t;
    t.closeAnswerClients = true;
    QVERIFY(t.listen(Loopback));
    Run r;
    QVERIFY(run(QStringLiteral("command 127.0.0.1 clear").split(' '), &r, false, 20000));
    QVERIFY2(r.exitCode == 7, DUMP(r));
    QVERIFY2(oneLine(r.err) && r.err.contains(QLatin1String("127.0.0.1:2001: the terminal closed the answer connection")), DUMP(r));
    QVERIFY(t.answerConnections <= 2);
    QCOMPARE(t.refusedClients, 0);
}

void tst_QuarnelClient::commandAcrossTheLan()
{
    FakeTerminal t;
    QVERIFY(t.listen(QHostAddress(harness::panelIp())));
    Run r;
    QVERIFY(run({ QStringLiteral("command"), harness::panelIp(), QStringLiteral("clear") }, &r, true));
    QVERIFY2(r.exitCode == 0, DUMP(r));
    QCOMPARE(t.frames.size(), 1);
    QCOMPARE(t.frames[0].code, 9);
}

void tst_QuarnelClient::noRouteToTheTerminal()
{
    // The PC's cable out: its end of the LAN goes down and takes the route along.
    QCOMPARE(QProcess::execute(QStringLiteral(QUARNEL_SOURCE_DIR "/scripts/pc.sh"),
                               { QStringLiteral("ip"), QStringLiteral("link"), QStringLiteral("set"),
                                 QStringLiteral("pc0"), QStringLiteral("down") }), 0);
    Run r;
    const bool ran = run({ QStringLiteral("command"), harness::panelIp(), QStringLiteral("clear") }, &r, true);
    QProcess::execute(QStringLiteral(QUARNEL_SOURCE_DIR "/scripts/pc.sh"),
                      { QStringLiteral("ip"), QStringLiteral("link"), QStringLiteral("set"),
                        QStringLiteral("pc0"), QStringLiteral("up") });
    QVERIFY(ran);
    QVERIFY2(r.exitCode == 3, DUMP(r));
    QVERIFY2(oneLine(r.err) && r.err.contains(QLatin1String("no route")), DUMP(r));
}

void tst_QuarnelClient::recordStoresAndChecksBytes()
{
    FakeTerminal t;
    QVERIFY(t.listen(Loopback));
    const QString file = tmp.filePath(QStringLiteral("exam.bin"));
    Run r;
    QVERIFY(run({ QStringLiteral("record"), QStringLiteral("127.0.0.1"), QStringLiteral("--bytes"),
                  QStringLiteral("3M"), QStringLiteral("--out"), file, QStringLiteral("--check"),
                  QStringLiteral("--setup"), QStringLiteral("clock 1000 readwrite 1") }, &r));
    QVERIFY2(r.exitCode == 0, DUMP(r));
    QVERIFY2(r.out.contains(QLatin1String("recorded 3000000 bytes")), DUMP(r));
    QVERIFY2(r.out.contains(QLatin1String("0 lost, 0 duplicated, 0 corrupted: good")), DUMP(r));

    // Setup first, then sync on; sync off at the end.
    QCOMPARE(t.frames.size(), 4);
    QCOMPARE(t.frames[0].code, 1);
    QCOMPARE(t.frames[1].code, 6);
    QCOMPARE(t.frames[2].code, 7);
    QCOMPARE(t.frames[2].params.toHex(), QByteArray("0100"));
    QCOMPARE(t.frames[3].code, 7);
    QCOMPARE(t.frames[3].params.toHex(), QByteArray("0000"));
    QTRY_VERIFY(!t.hasDataClient());

    // The file holds exactly the stream's first 3 MB.
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray got = f.readAll();
    QCOMPARE(got.size(), 3000000);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(got.constData());
    for (quint64 seq = 0; seq < 3000000 / 8; ++seq) {
        const quint64 w = StreamPattern::loadWord(p + seq * 8);
        const quint64 want = StreamPattern::word(1, seq, w);   // time bits taken as sent
        if (w != want)
            QFAIL(qPrintable(QStringLiteral("word %1 differs").arg(seq)));
    }
}

void tst_QuarnelClient::recordReportsFaults_data()
{
    QTest::addColumn<qint64>("corruptAt");
    QTest::addColumn<qint64>("dropWord");
    QTest::addColumn<quint64>("firstWord");
    QTest::addColumn<QString>("report");
    QTest::newRow("corrupted byte") << qint64(300001) << qint64(-1) << quint64(0) << "1 corrupted";
    QTest::newRow("lost word") << qint64(-1) << qint64(50000) << quint64(0) << "1 lost";
    QTest::newRow("lost start") << qint64(-1) << qint64(-1) << quint64(1000) << "no stream start";
}

void tst_QuarnelClient::recordReportsFaults()
{
    QFETCH(qint64, corruptAt);
    QFETCH(qint64, dropWord);
    QFETCH(quint64, firstWord);
    QFETCH(QString, report);
    FakeTerminal t;
    t.corruptAt = corruptAt;
    t.dropWordAt = dropWord;
    t.firstWord = firstWord;
    QVERIFY(t.listen(Loopback));
    const QString file = tmp.filePath(QStringLiteral("faulty.bin"));
    Run r;
    QVERIFY(run({ QStringLiteral("record"), QStringLiteral("127.0.0.1"), QStringLiteral("--bytes"),
                  QStringLiteral("1M"), QStringLiteral("--check"), QStringLiteral("--out"), file }, &r));
    QVERIFY2(r.exitCode == 8, DUMP(r));
    QVERIFY2(r.out.contains(report) && r.out.contains(QLatin1String("FAILED")), DUMP(r));
    QVERIFY2(oneLine(r.err.mid(r.err.lastIndexOf('\n', -2) + 1)), DUMP(r));
    // What arrived is stored as it arrived.
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray got = f.readAll();
    QCOMPARE(got.size(), 1000000);
    if (corruptAt >= 0)
        QCOMPARE(got.at(int(corruptAt)), t.corruptedValue);
}

void tst_QuarnelClient::recordForSeconds()
{
    FakeTerminal t;
    QVERIFY(t.listen(Loopback));
    Run r;
    QVERIFY(run(QStringLiteral("record 127.0.0.1 --seconds 1.5 --check").split(' '), &r));
    QVERIFY2(r.exitCode == 0, DUMP(r));
    QVERIFY(r.ms >= 1500);
    QVERIFY2(r.out.contains(QLatin1String(": good")), DUMP(r));
    // Not a terminal: one progress line a second, bytes, rate and time; the
    // last one at the end, with the recording's whole time.
    const QStringList progress = r.err.split('\n', Qt::SkipEmptyParts);
    QVERIFY2(!progress.isEmpty(), DUMP(r));
    const QRegularExpressionMatch last = QRegularExpression(QStringLiteral("^recording +[0-9.]+ MB +[0-9.]+ MB/s +([0-9]+\\.[0-9]) s$")).match(progress.last());
    QVERIFY2(last.hasMatch(), DUMP(r));
    QRegularExpressionMatch m = QRegularExpression(QStringLiteral("recorded ([0-9]+) bytes in ([0-9.]+) s")).match(r.out);
    QVERIFY(m.hasMatch());
    QVERIFY(m.captured(1).toLongLong() > 0);
    QVERIFY(m.captured(2).toDouble() >= 1.5);
    QVERIFY2(last.captured(1).toDouble() >= 1.5, DUMP(r));
}

void tst_QuarnelClient::recordConnectionLost()
{
    FakeTerminal t;
    t.closeAfter = 2 * 1024 * 1024;
    QVERIFY(t.listen(Loopback));
    Run r;
    QVERIFY(run(QStringLiteral("record 127.0.0.1 --seconds 600 --check --quiet").split(' '), &r));
    QVERIFY2(r.exitCode == 7, DUMP(r));
    QVERIFY2(oneLine(r.err) && r.err.contains(QLatin1String("closed the connection")), DUMP(r));
    QVERIFY2(r.out.contains(QStringLiteral("recorded %1 bytes").arg(2 * 1024 * 1024)), DUMP(r));
    QVERIFY2(r.out.contains(QLatin1String(": good")), DUMP(r));
}

void tst_QuarnelClient::recordWithoutData()
{
    FakeTerminal t;
    t.streamOnSync = false;
    QVERIFY(t.listen(Loopback));
    Run r;
    // A client that waited out the recording time would not end before
    // finish() gives up on it.
    QVERIFY(run(QStringLiteral("record 127.0.0.1 --seconds 600 --idle-timeout 300 --quiet --check").split(' '), &r));
    QVERIFY2(r.exitCode == 6, DUMP(r));
    QVERIFY2(oneLine(r.err) && r.err.contains(QLatin1String("no data within 300 ms")), DUMP(r));
    QVERIFY2(!r.out.contains(QLatin1String("good")), DUMP(r));
    // Sync still goes off before the disconnection.
    QTRY_COMPARE(t.frames.size(), 2);
    QCOMPARE(t.frames[1].params.toHex(), QByteArray("0000"));
}

void tst_QuarnelClient::recordWithoutStreamFails()
{
    // Nothing starts the stream: no bytes is a failure, with or without
    // --check, never a recording that succeeded.
    FakeTerminal t;
    QVERIFY(t.listen(Loopback));
    Run r;
    QVERIFY(run(QStringLiteral("record 127.0.0.1 --no-sync --seconds 0.3 --quiet --check").split(' '), &r));
    QVERIFY2(r.exitCode == 10, DUMP(r));
    QVERIFY2(oneLine(r.err) && r.err.contains(QLatin1String("no bytes recorded")), DUMP(r));
    QVERIFY2(r.out.contains(QLatin1String("recorded 0 bytes")), DUMP(r));
}

void tst_QuarnelClient::recordSurvivesLossOfTheAnswerPort()
{
    FakeTerminal t;
    QVERIFY(t.listen(Loopback));
    QProcess p;
    // A client that waited for the "ok" of sync off after the loss would not
    // end before finish() gives up on it.
    QVERIFY(start(p, QStringLiteral("record 127.0.0.1 --check --answer-timeout 600000").split(' ')));
    const QString warning = QStringLiteral("warning: 127.0.0.1:2001: the terminal closed the answer connection; recording goes on");
    // Recording once its first progress line is out; still recording when
    // one follows the warning.
    QTRY_VERIFY_WITH_TIMEOUT(written(p, QProcess::StandardError).startsWith(QLatin1String("recording ")), 20000);
    t.dropAnswerClient();
    const auto progressAfterWarning = [&] {
        const QString err = written(p, QProcess::StandardError);
        const int at = err.indexOf(warning);
        return at >= 0 && err.indexOf(QLatin1String("\nrecording "), at) >= 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(progressAfterWarning(), 20000);
    QVERIFY(childprocess::signal(p, SIGTERM));
    Run r;
    QVERIFY(finish(p, &r));
    QVERIFY2(r.exitCode == 0, DUMP(r));
    QVERIFY2(r.err.contains(warning), DUMP(r));
    QVERIFY2(r.out.contains(QLatin1String(": good")), DUMP(r));
    QTRY_VERIFY(!t.hasDataClient());
    QCOMPARE(t.frames.size(), 2);
    QCOMPARE(t.frames[1].params.toHex(), QByteArray("0000"));
}

void tst_QuarnelClient::recordEndsCleanlyOnInterrupt()
{
    FakeTerminal t;
    QVERIFY(t.listen(Loopback));
    QProcess p;
    QVERIFY(start(p, QStringLiteral("record 127.0.0.1 --check --quiet").split(' ')));
    QTRY_VERIFY_WITH_TIMEOUT(t.streamed > 4 * 1024 * 1024, 20000);
    QVERIFY(childprocess::signal(p, SIGTERM));
    Run r;
    QVERIFY(finish(p, &r));
    QVERIFY2(r.exitCode == 0, DUMP(r));
    QVERIFY2(r.out.contains(QLatin1String(": good")), DUMP(r));
    QTRY_VERIFY(!t.hasDataClient());
    QCOMPARE(t.frames.size(), 2);
    QCOMPARE(t.frames[1].params.toHex(), QByteArray("0000"));
}

void tst_QuarnelClient::discoverAcrossTheLan()
{
    QProcess p;
    QVERIFY(start(p, QStringLiteral("discover --count 3 --timeout 20").split(' '), true));
    QTRY_VERIFY_WITH_TIMEOUT(p.canReadLine(), 20000);
    QVERIFY(p.readLine().startsWith("listening on UDP 8192"));

    // As the terminal sends: from its own address to the limited broadcast.
    QUdpSocket panel;
    QVERIFY(panel.bind(QHostAddress(harness::panelIp()), 0));
    const QByteArray json("{\n    \"connected_to\": \"cable\",\n    \"name\": \"SN01\",\n"
                          "    \"num_devices\": 1,\n    \"remote_terminal_port\": 2000\n}\n");
    StatusRecord connected;
    connected.headboxSerial = QStringLiteral("SN01");
    connected.pc = QHostAddress(harness::pcIp());
    connected.terminal = QHostAddress(harness::panelIp());
    StatusRecord gone = connected;
    gone.pc = QHostAddress();
    // Two ports: the next datagram goes once the client has shown the first.
    QCOMPARE(panel.writeDatagram(json, QHostAddress::Broadcast, 8192), qint64(json.size()));
    QTRY_VERIFY_WITH_TIMEOUT(written(p, QProcess::StandardOutput).contains(QLatin1String("discovery from")), 20000);
    QCOMPARE(panel.writeDatagram(connected.encode(), QHostAddress::Broadcast, 8193), qint64(24));
    QCOMPARE(panel.writeDatagram(gone.encode(), QHostAddress::Broadcast, 8193), qint64(24));

    Run r;
    QVERIFY(finish(p, &r));
    QVERIFY2(r.exitCode == 0, DUMP(r));
    const QString from = QStringLiteral(" from %1:%2  ").arg(harness::panelIp()).arg(panel.localPort());
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines[0].contains(QStringLiteral("discovery") + from
                               + QStringLiteral("{\"connected_to\":\"cable\",\"name\":\"SN01\",\"num_devices\":1,\"remote_terminal_port\":2000}")), DUMP(r));
    QVERIFY2(lines[1].contains(QStringLiteral("status") + from
                               + QStringLiteral("serial \"SN01\" pc %1 terminal %2").arg(harness::pcIp(), harness::panelIp())), DUMP(r));
    QVERIFY2(lines[2].endsWith(QStringLiteral("serial \"SN01\" pc none terminal %1").arg(harness::panelIp())), DUMP(r));
}

void tst_QuarnelClient::discoverHearsNothing()
{
    Run r;
    QVERIFY(run(QStringLiteral("discover --timeout 0.3").split(' '), &r));
    QVERIFY2(r.exitCode == 6, DUMP(r));
    QVERIFY2(oneLine(r.err) && r.err.contains(QLatin1String("no terminal heard")), DUMP(r));
}

void tst_QuarnelClient::discoverShowsInvalidDatagrams()
{
    QProcess p;
    QVERIFY(start(p, QStringLiteral("discover --count 2 --timeout 20").split(' ')));
    QTRY_VERIFY_WITH_TIMEOUT(p.canReadLine(), 20000);
    QUdpSocket s;
    s.writeDatagram(QByteArray(20, '\x07'), Loopback, 8193);
    s.writeDatagram(QByteArray("{\"name\": 1}"), Loopback, 8192);
    Run r;
    QVERIFY(finish(p, &r));
    QVERIFY2(r.exitCode == 0, DUMP(r));
    QVERIFY2(r.out.contains(QLatin1String("status from 127.0.0.1:")) && r.out.contains(QLatin1String("INVALID (status record of 20 bytes")), DUMP(r));
    QVERIFY2(r.out.contains(QLatin1String("discovery from 127.0.0.1:")) && r.out.contains(QLatin1String("INVALID (\"connected_to\"")), DUMP(r));
}

void tst_QuarnelClient::discoverEscapesNetworkText()
{
    QProcess p;
    QVERIFY(start(p, QStringLiteral("discover --count 2 --timeout 20").split(' ')));
    QTRY_VERIFY_WITH_TIMEOUT(p.canReadLine(), 20000);
    // Escape sequences (one clears the user's screen), a C1 control and a
    // bidirectional override, in a discovery name and a status serial.
    QUdpSocket s;
    const QByteArray json("{\"connected_to\": \"cable\", \"name\": \"\\u001b[2J\\u009b31m\\u202e\", "
                          "\"num_devices\": 1, \"remote_terminal_port\": 2000}");
    QCOMPARE(s.writeDatagram(json, Loopback, 8192), qint64(json.size()));
    QByteArray record(24, '\0');
    record.replace(0, 5, "\x1b]0;\x07");
    QCOMPARE(s.writeDatagram(record, Loopback, 8193), qint64(24));
    Run r;
    QVERIFY(finish(p, &r));
    QVERIFY2(r.exitCode == 0, DUMP(r));
    QCOMPARE(r.out.count(QLatin1String("\\u001b")), 3);   // JSON, its summary and the serial
    for (const QChar c : qAsConst(r.out)) {
        const bool control = (c < QChar(0x20) && c != QLatin1Char('\n')) || (c >= QChar(0x7f) && c <= QChar(0x9f))
            || c == QChar(0x202e);
        QVERIFY2(!control, qPrintable(QStringLiteral("U+%1 printed raw").arg(c.unicode(), 4, 16, QLatin1Char('0'))));
    }
}

QTEST_GUILESS_MAIN(tst_QuarnelClient)
#include "tst_quarnelclient.moc"
