#include <QTest>
#include <QSignalSpy>
#include <QFileSystemWatcher>

#include "e2esupport.h"

using namespace e2e;

// The real program on the simulated FPGA with two headboxes, and a PC on the
// other end of the harness's cable: exams as the acquisition program runs
// them, and the ways a LAN and a PC misbehave.
class tst_E2eExam : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void discoveryWhileIdle();
    void wholeExamBothDirections();
    void secondPcRefusedWhileFirstStreams();
    void reconnectAtOnceAccepted();
    void stalledPcBoundedMemoryThenRecovers();
    void pulledCableEndsExam();
    void killedThenRestarted();

private:
    void startStream(Pc &pc);
    void streamAfterAbruptEnd(Pc &pc, quint64 bytes);
    void expectStatus(const QHostAddress &pcAddress);
    bool panelHasDataConnection();

    // The simulated headboxes stream as fast as the terminal reads: a
    // stream then shows every word the terminal loses, however busy the test
    // machine is (at a fixed rate, a reader held up longer than its FIFO
    // lasts loses words in the simulated FPGA instead).
    static const quint64 rate = 0;
    std::unique_ptr<Quarnel> _quarnel;
    std::unique_ptr<Broadcasts> _broadcasts;
};

void tst_E2eExam::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
    markAddressSet();
    _broadcasts.reset(new Broadcasts);
    QVERIFY2(_broadcasts->ok(), "the PC cannot bind UDP 8192/8193");
    _quarnel.reset(new Quarnel(2, rate));
    QVERIFY(_quarnel->start());
    QTRY_VERIFY_WITH_TIMEOUT(_broadcasts->discoveryCount() > 0, 60000);
}

void tst_E2eExam::cleanupTestCase()
{
    if (_quarnel)
        QCOMPARE(_quarnel->terminate(), 0);
}

// Connects and switches headbox 1's stream on; every command answered.
void tst_E2eExam::startStream(Pc &pc)
{
    QVERIFY(pc.connectTo());
    QVERIFY(pc.command(layout2()));
    QVERIFY(pc.command(TerminalFrame::headboxRead(1)));
    QVERIFY(pc.command(TerminalFrame::sync(1)));
}

// The exam before ended without "sync off" (closed, cable, crash of the PC).
void tst_E2eExam::streamAfterAbruptEnd(Pc &pc, quint64 bytes)
{
    startStream(pc);
    StreamChecker first(1, true);
    pc.readStream(first, 100000, 60000);
    // The terminal switched sync off when the last exam ended, so this
    // PC's "sync on" starts the stream at once.
    QVERIFY2(first.bytes() >= 100000, qPrintable(QString::number(first.bytes())));
    QVERIFY2(first.ok(), qPrintable(first.firstError()));

    // Switching sync off and on again restarts it cleanly.
    QVERIFY(pc.command(TerminalFrame::sync(0)));
    QVERIFY(pc.command(TerminalFrame::sync(1)));
    pc.received.clear();
    StreamChecker checker(1, true);
    pc.readStream(checker, bytes, 60000);
    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
    QVERIFY2(checker.bytes() >= bytes, qPrintable(QStringLiteral("%1 bytes, then the connection %2")
        .arg(checker.bytes()).arg(pc.connected() ? "stayed silent" : "ended")));
    QVERIFY(pc.command(TerminalFrame::sync(0)));
}

void tst_E2eExam::expectStatus(const QHostAddress &pcAddress)
{
    QTRY_VERIFY_WITH_TIMEOUT(_broadcasts->statusCount() > 0, 30000);
    const StatusRecord r = _broadcasts->status.last();
    QCOMPARE(r.pc, pcAddress);
    QCOMPARE(r.terminal, panel());
    QCOMPARE(r.headboxSerial, QStringLiteral("SIM-0000/00-1"));
}

bool tst_E2eExam::panelHasDataConnection()
{
    // The test runs in the panel's namespace: the kernel's view of port 2000.
    QProcess ss;
    ss.start(QStringLiteral("ss"), {"-Htn", "state", "established", "sport", "=", ":2000"});
    ss.waitForFinished(5000);
    return !ss.readAllStandardOutput().trimmed().isEmpty();
}

void tst_E2eExam::discoveryWhileIdle()
{
    _broadcasts->clear();
    QTRY_VERIFY_WITH_TIMEOUT(_broadcasts->discoveryCount() >= 2, 30000);
    for (const Broadcasts::Discovery &d : qAsConst(_broadcasts->discovery)) {
        QCOMPARE(QHostAddress(d.sender.toIPv4Address()), panel());
        QCOMPARE(d.json.value("name").toString(), QStringLiteral("SIM-0000/00-1"));
        QCOMPARE(d.json.value("num_devices").toInt(), 2);
        QCOMPARE(d.json.value("remote_terminal_port").toInt(), 2000);
    }
    QVERIFY(_broadcasts->badStatus.isEmpty());
}

void tst_E2eExam::wholeExamBothDirections()
{
    _broadcasts->clear();
    Pc pc;
    QVERIFY(pc.connectTo());
    expectStatus(QHostAddress(harness::pcIp()));

    QVERIFY(pc.command(TerminalFrame::clock(1000)));
    QVERIFY(pc.command(TerminalFrame::headboxReadWrite(1)));

    // PC -> headbox 1 -> PC: the emulated headbox sends back what it hears.
    // Bytes that could begin a terminal or headbox frame are left out. The
    // link takes a fifth of a millisecond a byte: a few of the relay's
    // 2 KiB blocks are enough.
    QByteArray payload;
    quint32 x = 12345;
    while (payload.size() < 7000) {
        x = x * 1103515245u + 12345u;
        const char c = char(x >> 24);
        if (c != 'T' && c != '\r')
            payload.append(c);
    }
    pc.data->write(payload.left(3000));
    pc.data->write(payload.mid(3000));
    QTRY_VERIFY_WITH_TIMEOUT((pc.keepData(), pc.received.size() >= payload.size()), 30000);
    QVERIFY(pc.received == payload);
    pc.received.clear();

    // Headbox 1's stream, every byte checked. An echo byte arriving late
    // would come before the stream's first word: none may be skipped.
    QVERIFY(pc.command(layout2()));
    QVERIFY(pc.command(TerminalFrame::headboxRead(1)));
    QVERIFY(pc.command(TerminalFrame::sync(1)));
    StreamChecker checker(1, true);
    pc.readStream(checker, 4000000, 60000);
    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
    QVERIFY(checker.bytes() >= 4000000);
    QCOMPARE(checker.skippedBytes(), quint64(0));
    QCOMPARE(checker.lostWords(), quint64(0));
    QVERIFY(pc.command(TerminalFrame::sync(0)));

    // Exactly one "ok" per executed command, nothing else on the answer port:
    // answers come in order, so whatever an earlier command caused arrives
    // before the answer to a last, empty pause.
    QVERIFY(pc.command(TerminalFrame::delay(0)));
    QCOMPARE(pc.answerBytes, QByteArray("ok").repeated(7));

    QCOMPARE(_broadcasts->statusCount(), 1);
    pc.close();
    QTRY_COMPARE_WITH_TIMEOUT(_broadcasts->statusCount(), 2, 30000);
    expectStatus(QHostAddress());
}

void tst_E2eExam::secondPcRefusedWhileFirstStreams()
{
    Pc first;
    startStream(first);
    StreamChecker checker(1, true);
    first.readStream(checker, 1000000, 30000);

    std::unique_ptr<QTcpSocket> second(pcside::tcpConnect(panel(), dataPort));
    QVERIFY(second);
    // The first PC keeps reading meanwhile: its stream must not suffer.
    QElapsedTimer t;
    t.start();
    while (second->state() == QAbstractSocket::ConnectedState && t.elapsed() < 30000) {
        if (first.data->waitForReadyRead(20))
            checker.feed(first.data->readAll());
        QCoreApplication::processEvents();
    }
    QCOMPARE(second->state(), QAbstractSocket::UnconnectedState);

    first.readStream(checker, 2000000, 30000);
    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
    QVERIFY(first.connected());
    QVERIFY(first.command(TerminalFrame::sync(0)));
    first.close();
    QTRY_VERIFY_WITH_TIMEOUT(!panelHasDataConnection(), 30000);
}

void tst_E2eExam::reconnectAtOnceAccepted()
{
    Pc first;
    startStream(first);
    StreamChecker checker(1, true);
    first.readStream(checker, 500000, 30000);
    QVERIFY(checker.ok());
    first.close();

    // No pause: the terminal's end of the first exam and this start overlap.
    Pc next;
    streamAfterAbruptEnd(next, 2000000);
    next.close();
    QTRY_VERIFY_WITH_TIMEOUT(!panelHasDataConnection(), 30000);
}

void tst_E2eExam::stalledPcBoundedMemoryThenRecovers()
{
    Pc pc;
    startStream(pc);
    StreamChecker checker(1, true);
    pc.readStream(checker, 1000000, 30000);
    QVERIFY(checker.ok());
    const qint64 before = rssKb(_quarnel->pid());

    // The PC stops reading: its socket keeps at most 64 KiB, then the TCP
    // window closes, the terminal's socket and relay queue fill, and the
    // relay stops taking from the FIFO. It says so once a second while the
    // queue stays full: the stall lasts until it has said so twice.
    const qint64 logAt = Quarnel::logSize();
    const auto fullReports = [&] { return Quarnel::logSince(logAt).count("CODA PIENA"); };
    pc.data->setReadBufferSize(64 * 1024);
    QFileSystemWatcher log({Quarnel::logFile()});
    QSignalSpy written(&log, &QFileSystemWatcher::fileChanged);
    qint64 peak = before;
    QElapsedTimer t;
    t.start();
    const qint64 limitKb = 32 * 1024;
    while (fullReports() < 2 && peak - before < limitKb && _quarnel->running() && t.elapsed() < 180000) {
        // Wakes whenever the program writes to its log (the queue reports
        // among it) and samples its memory; the bound is only a safety net.
        written.wait(1000);
        peak = qMax(peak, rssKb(_quarnel->pid()));
    }
    QVERIFY2(_quarnel->running(), qPrintable(_quarnel->endText()));
    peak = qMax(peak, rssKb(_quarnel->pid()));
    qInfo("quarnel VmRSS %lld kB before, %lld kB at most while the PC stalled (%.1f s)",
          before, peak, t.elapsed() / 1000.0);
    // Socket and relay queue hold about 8 MB; a terminal that went on taking
    // from the FIFO meanwhile would grow for as long as the stall lasts.
    QVERIFY2(peak - before < limitKb, "memory grows with a stalled PC");
    QVERIFY2(fullReports() >= 2, "the relay queue never filled");

    // The PC reads again and restarts the stream: a clean exam.
    pc.data->setReadBufferSize(0);
    pc.collect = true;
    QVERIFY(pc.connected());
    QVERIFY(pc.command(TerminalFrame::sync(0)));
    QVERIFY(pc.command(TerminalFrame::clearReceivePath()));
    QVERIFY(pc.command(TerminalFrame::sync(1)));
    pc.received.clear();
    StreamChecker fresh(1, true);
    pc.readStream(fresh, 2000000, 30000);
    QVERIFY2(fresh.ok(), qPrintable(fresh.firstError()));
    QVERIFY(fresh.bytes() >= 2000000);
    QVERIFY(pc.command(TerminalFrame::sync(0)));
    pc.close();
    QTRY_VERIFY_WITH_TIMEOUT(!panelHasDataConnection(), 30000);
}

void tst_E2eExam::pulledCableEndsExam()
{
    Pc pc;
    startStream(pc);
    StreamChecker checker(1, true);
    pc.readStream(checker, 1000000, 30000);
    QVERIFY(checker.ok());
    QVERIFY(panelHasDataConnection());

    QVERIFY(pcside::pullCable());
    QTRY_VERIFY_WITH_TIMEOUT(!panelHasDataConnection(), 30000);
    QVERIFY(pcside::plugCable());

    // Ready again: broadcasting while idle, and a new exam runs clean.
    _broadcasts->clear();
    QTRY_VERIFY_WITH_TIMEOUT(_broadcasts->discoveryCount() > 0, 60000);
    pc.close();
    Pc next;
    streamAfterAbruptEnd(next, 2000000);
    next.close();
    QTRY_VERIFY_WITH_TIMEOUT(!panelHasDataConnection(), 30000);
}

void tst_E2eExam::killedThenRestarted()
{
    Pc pc;
    startStream(pc);
    StreamChecker checker(1, true);
    pc.readStream(checker, 500000, 30000);
    QVERIFY(checker.ok());

    QVERIFY(_quarnel->signal(SIGKILL));
    QVERIFY(_quarnel->process()->waitForFinished(20000));
    QCOMPARE(_quarnel->process()->exitStatus(), QProcess::CrashExit);
    pc.close();

    _broadcasts->clear();
    QVERIFY(_quarnel->start());
    QTRY_VERIFY_WITH_TIMEOUT(_broadcasts->discoveryCount() > 0, 60000);
    Pc next;
    startStream(next);
    StreamChecker again(1, true);
    next.readStream(again, 2000000, 60000);
    QVERIFY2(again.ok(), qPrintable(again.firstError()));
    QVERIFY(again.bytes() >= 2000000);
    next.close();
}

QTEST_GUILESS_MAIN(tst_E2eExam)
#include "tst_e2e_exam.moc"
