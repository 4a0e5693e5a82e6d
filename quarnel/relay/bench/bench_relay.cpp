// Relay figures on the simulated FPGA, printed as a table:
//   headbox -> PC throughput and latency through the whole chain (library
//   reader, word ring, relay thread, queue, socket), and the round trip of a
//   terminal command frame (PC sends it, "ok" comes back).
// Opens the panel's TCP ports: run it through scripts/harness.sh.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "fpgasim.h"
#include "orv.h"
#include "orvinterfacezelk.h"
#include "quarnellog.h"
#include "relaytestsupport.h"
#include "streampattern.h"

using namespace relaytest;

namespace {

QByteArray receive(QTcpSocket *s, int n, int timeoutMs)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (got.size() < n && t.elapsed() < timeoutMs) {
        got += s->readAll();
        if (got.size() < n)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return got;
}

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

    QTcpSocket pc;
    QTcpSocket answer;
    pc.connectToHost(QHostAddress::LocalHost, InterfaceReader::dataPort);
    answer.connectToHost(QHostAddress::LocalHost, InterfaceReader::answerPort);
    if (!pc.waitForConnected(5000) || !answer.waitForConnected(5000))
        return 1;
    QTest::qWait(100);

    // Command round trips, before the stream starts.
    std::vector<double> rtt;
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

    pc.write(frame(7, le16(1)));
    pc.flush();
    receive(&answer, 2, 5000);

    StreamChecker checker(1);
    const quint64 want = megabytes * 1000 * 1000;
    quint64 got = 0;
    QElapsedTimer t;
    t.start();
    while (got < want && checker.ok()) {
        const QByteArray chunk = pc.readAll();
        if (chunk.isEmpty()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            continue;
        }
        checker.feed(chunk);
        got += quint64(chunk.size());
    }
    const double seconds = double(t.nsecsElapsed()) / 1e9;

    printf("%-44s %14s\n", "figure", "value");
    printf("%-44s %14.1f\n", "headbox -> PC bytes (MB)", double(got) / 1e6);
    printf("%-44s %14.1f\n", "headbox -> PC throughput (MB/s)", double(got) / 1e6 / seconds);
    printf("%-44s %14s\n", "stream byte-exact", checker.ok() ? "yes" : qPrintable(checker.firstError()));
    printf("%-44s %14.1f\n", "stream latency FPGA -> PC, mean (us)", checker.latencyMeanNs() / 1000.0);
    printf("%-44s %14.1f\n", "stream latency FPGA -> PC, max (us)", double(checker.latencyMaxNs()) / 1000.0);
    printf("%-44s %14.1f\n", "command frame -> \"ok\", median (us)", rtt[rtt.size() / 2]);
    printf("%-44s %14.1f\n", "command frame -> \"ok\", 99th percentile (us)", rtt[rtt.size() * 99 / 100]);

    pc.disconnectFromHost();
    QTest::qWait(200);
    relay->Resume();
    relay->Terminate();
    relay->wait();
    delete relay;
    delete orv;
    link->Close();
    delete link;
    return checker.ok() ? 0 : 1;
}
