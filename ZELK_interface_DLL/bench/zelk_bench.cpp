// Throughput of the receive path: simulated FPGA FIFO -> reader thread ->
// word ring -> read_data, at full speed, with the CPU time it costs.
//
//   zelk_bench [seconds per row]
#include "ZELK_interface_DLL.h"
#include "fpgasim.h"
#include "streampattern.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

double cpuSeconds(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

struct Row
{
    const char *name;
    uint64_t rate;     // bytes/s, 0 = as fast as read
    uint32_t chunk;    // bytes asked per read_data
    bool check;        // run the stream checker too
    bool stream;       // sync on
};

void run(const Row &row, double seconds)
{
    FpgaSimConfig config;
    config.byteRate = row.rate;
    FpgaSim::instance()->reset(config);
    ZELK_interface_DLL zelk;
    zelk.interface_open();
    zelk.set_timer(200);
    QThread::msleep(20);   // the reader's start-up pause
    if (row.stream)
        zelk.sync_start();

    std::vector<uint64_t> buffer(row.chunk / 8 + 1);
    StreamChecker checker(1);
    uint64_t bytes = 0;
    const double process0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double consumer0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    QElapsedTimer timer;
    timer.start();
    while (timer.nsecsElapsed() < qint64(seconds * 1e9)) {
        uint32_t n = 0;
        zelk.read_data(buffer.data(), row.chunk, &n);
        if (row.check)
            checker.feed(buffer.data(), n);
        bytes += n;
    }
    const double wall = timer.nsecsElapsed() / 1e9;
    const double process = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - process0;
    const double consumer = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - consumer0;
    zelk.write_on_register(15, 0x80);
    zelk.interface_close();

    const double mbps = bytes / wall / 1e6;
    const double cpuPerMB = bytes ? process / (bytes / 1e6) * 1e3 : 0.0;
    printf("%-34s %9.2f %11.1f %9.0f%% %9.0f%% %9.0f%% %10.2f",
           row.name, mbps, bytes / 8 / wall / 1e3, process / wall * 100, (process - consumer) / wall * 100,
           consumer / wall * 100, cpuPerMB);
    if (row.check)
        printf("   %s, latency mean %.0f us max %.0f us", checker.ok() ? "intact" : "FAULTY",
               checker.latencyMeanNs() / 1e3, checker.latencyMaxNs() / 1e3);
    printf("\n");
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("ZELK_FPGA", "sim");   // never the real device from a benchmark
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? QByteArray(argv[1]).toDouble() : 3.0;

    const Row rows[] = {
        {"full speed, read 4096 B", 0, 4096, false, true},
        {"full speed, read 512 B", 0, 512, false, true},
        {"full speed, read 65536 B", 0, 65536, false, true},
        {"full speed, read 4096 B, checked", 0, 4096, true, true},
        {"paced 1 MB/s, read 4096 B, checked", 1000000, 4096, true, true},
        {"idle link (no stream), read 4096 B", 0, 4096, false, false},
    };
    printf("%-34s %9s %11s %10s %10s %10s %10s\n", "case", "MB/s", "kwords/s", "CPU", "reader+",
           "consumer", "ms CPU/MB");
    for (const Row &row : rows)
        run(row, seconds);
    printf("\nCPU: share of one core over the run; reader+ = process minus the consumer thread.\n");
    return 0;
}
