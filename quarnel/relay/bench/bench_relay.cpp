// Relay figures on the simulated FPGA at full speed, printed as a table:
//   headbox -> PC throughput and latency through the whole chain (library
//   reader, word ring, relay thread, queue, socket over loopback), the CPU
//   time each thread spent meanwhile, and the round trip of a terminal
//   command frame (PC sends it, "ok" comes back).
// The PC reads in a thread of its own, so the GUI thread serves only the
// relay's sockets, as on the panel.
// Opens the panel's TCP ports: run it through scripts/harness.sh.
//
//   scripts/harness.sh bench_relay [MEGABYTES]     (default 200)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QMap>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include "fpgasim.h"
#include "orv.h"
#include "orvinterfacezelk.h"
#include "quarnellog.h"
#include "quarnelprotocol.h"
#include "relaytestsupport.h"
#include "streampattern.h"

using namespace relaytest;

namespace {

// CPU seconds (user + system) of every thread of this process, by name;
// threads of the same name are added up.
QMap<QString, double> threadCpu()
{
    QMap<QString, double> out;
    const double tick = double(sysconf(_SC_CLK_TCK));
    const QStringList tasks = QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &tid : tasks) {
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // The name is in parentheses and may hold spaces; fields follow it.
        const int open = line.indexOf('(');
        const int close = line.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() < 13)
            continue;
        // utime and stime: fields 14 and 15 of the whole line.
        const double seconds = (fields.at(11).toDouble() + fields.at(12).toDouble()) / tick;
        out[QString::fromLatin1(line.mid(open + 1, close - open - 1))] += seconds;
    }
    return out;
}

double processCpu()
{
    rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The acquisition program's side: reads the data port as fast as it can and
// checks every byte against the simulator's pattern.
class PcReader : public QThread
{
public:
    PcReader(quint64 want) : want(want) { setObjectName(QStringLiteral("pc-reader")); }

    quint64 want;
    std::atomic<bool> connected{false};
    std::atomic<bool> go{false};
    std::atomic<bool> streaming{false};
    quint64 got = 0;
    double seconds = 0;
    bool ok = false;
    QString error;
    double cpuSeconds = 0; // while it streamed
    double cpuAtStart = 0;
    double latencyMeanUs = 0;
    double latencyMaxUs = 0;

protected:
    void run() override
    {
        QTcpSocket pc;
        pc.connectToHost(QHostAddress::LocalHost, QuarnelProtocol::DataPort);
        if (!pc.waitForConnected(5000)) {
            error = QStringLiteral("no connection");
            return;
        }
        connected = true;
        while (!go.load())
            QThread::msleep(1);
        // The PC starts the acquisition with a sync frame, as the exam does.
        pc.write(frame(7, le16(1)));
        pc.waitForBytesWritten(5000);
        StreamChecker checker(1);
        QElapsedTimer t;
        while (got < want && checker.ok()) {
            if (pc.bytesAvailable() == 0 && !pc.waitForReadyRead(10000))
                break;
            // Timed from the first byte: the sync command itself waits 600 ms.
            if (!t.isValid()) {
                t.start();
                timespec cpu {};
                clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
                cpuAtStart = double(cpu.tv_sec) + double(cpu.tv_nsec) / 1e9;
                streaming = true;
            }
            const QByteArray chunk = pc.readAll();
            checker.feed(chunk);
            got += quint64(chunk.size());
        }
        seconds = t.isValid() ? double(t.nsecsElapsed()) / 1e9 : 0.0;
        timespec cpu {};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        cpuSeconds = double(cpu.tv_sec) + double(cpu.tv_nsec) / 1e9 - cpuAtStart;
        streaming = true;
        ok = checker.ok() && got >= want;
        error = checker.ok() ? QString() : checker.firstError();
        latencyMeanUs = checker.latencyMeanNs() / 1000.0;
        latencyMaxUs = double(checker.latencyMaxNs()) / 1000.0;
        pc.disconnectFromHost();
    }
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (qgetenv("QUARNEL_HARNESS") != "1") {
        fprintf(stderr, "bench_relay opens ports 2000/2001: run it through scripts/harness.sh\n");
        return 2;
    }
    qputenv("ZELK_FPGA", "sim");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const quint64 megabytes = argc > 1 ? QByteArray(argv[1]).toULongLong() : 200;

    FpgaSimConfig config;
    config.headboxes = 1;
    config.byteRate = 0; // as fast as the chain reads
    FpgaSim::instance()->reset(config);
    QuarnelLog log;
    auto *link = new OrvInterfaceZelk(&log);
    link->Open();
    if (link->SetInterface() != 0) {
        fprintf(stderr, "link set-up failed\n");
        return 1;
    }
    auto *orv = new Orv(link, &log);
    auto *relay = new InterfaceReader(orv, &log);
    relay->start();

    // Command round trips, before the stream starts.
    QTcpSocket answer;
    std::vector<double> rtt;
    {
        QTcpSocket pc;
        pc.connectToHost(QHostAddress::LocalHost, QuarnelProtocol::DataPort);
        answer.connectToHost(QHostAddress::LocalHost, QuarnelProtocol::AnswerPort);
        if (!pc.waitForConnected(5000) || !answer.waitForConnected(5000))
            return 1;
        QTest::qWait(100);
        for (int i = 0; i < 200; ++i) {
            QElapsedTimer t;
            t.start();
            pc.write(frame(0));
            pc.flush();
            if (receive(&answer, 2, 5000) != "ok")
                return 1;
            rtt.push_back(double(t.nsecsElapsed()) / 1000.0);
        }
        std::sort(rtt.begin(), rtt.end());
        pc.disconnectFromHost();
        QTest::qWait(200);
    }

    PcReader reader(megabytes * 1000 * 1000);
    reader.start();
    QElapsedTimer wait;
    wait.start();
    while (!reader.connected.load() && wait.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    QTest::qWait(100);

    reader.go = true;
    while (!reader.streaming.load())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    const QMap<QString, double> cpuBefore = threadCpu();
    const double processBefore = processCpu();
    QElapsedTimer t;
    t.start();
    while (!reader.isFinished())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double wall = double(t.nsecsElapsed()) / 1e9;
    const QMap<QString, double> cpuAfter = threadCpu();
    const double processAfter = processCpu();
    reader.wait();

    printf("%-46s %14s\n", "figure", "value");
    printf("%-46s %14.1f\n", "headbox -> PC bytes (MB)", double(reader.got) / 1e6);
    printf("%-46s %14.1f\n", "headbox -> PC throughput (MB/s)", double(reader.got) / 1e6 / reader.seconds);
    printf("%-46s %14s\n", "stream byte-exact", reader.ok ? "yes" : qPrintable(reader.error));
    printf("%-46s %14.1f\n", "stream latency FPGA -> PC, mean (us)", reader.latencyMeanUs);
    printf("%-46s %14.1f\n", "stream latency FPGA -> PC, max (us)", reader.latencyMaxUs);
    printf("%-46s %14.1f\n", "command frame -> \"ok\", median (us)", rtt[rtt.size() / 2]);
    printf("%-46s %14.1f\n", "command frame -> \"ok\", 99th percentile (us)", rtt[rtt.size() * 99 / 100]);
    printf("%-46s %14.2f\n", "stream wall time (s)", wall);
    printf("%-46s %14.2f\n", "process CPU time during the stream (s)", processAfter - processBefore);
    printf("%-46s %14.2f\n", "  per MB (ms)", 1000.0 * (processAfter - processBefore) / (double(reader.got) / 1e6));
    for (auto it = cpuAfter.cbegin(); it != cpuAfter.cend(); ++it) {
        const double used = it.value() - cpuBefore.value(it.key());
        if (used < 0.005)
            continue;
        const QByteArray label = QStringLiteral("  thread %1 (s, share of a core)").arg(it.key()).toLatin1();
        printf("%-46s %7.2f %5.0f%%\n", label.constData(), used, 100.0 * used / wall);
    }
    printf("%-46s %7.2f %5.0f%%\n", "  thread pc-reader (s, share of a core)", reader.cpuSeconds,
           100.0 * reader.cpuSeconds / wall);
    fflush(stdout);

    relay->Stop();
    delete relay;
    delete orv;
    link->Close();
    delete link;
    return reader.ok ? 0 : 1;
}
