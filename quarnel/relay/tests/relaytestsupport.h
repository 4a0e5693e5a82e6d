#ifndef RELAYTESTSUPPORT_H
#define RELAYTESTSUPPORT_H

// Helpers shared by the relay's socket tests and its benchmark: the stream
// model and frames (streammodel.h), reading a socket, and a probe into the
// relay's queues, servers and command 8's pause.

#include <QByteArray>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QVector>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "interfacereader.h"
#include "streammodel.h"

namespace relaytest {

// Reads what arrives on s until it has n bytes or the time is up; the
// relay's queued signals need this thread's event loop meanwhile.
inline QByteArray receive(QTcpSocket *s, int n, int timeoutMs = 5000)
{
    QByteArray got = s->readAll();
    QDeadlineTimer bound(timeoutMs);
    while (got.size() < n && !bound.hasExpired()) {
        // Woken by the next bytes; the bound is only a safety net.
        QEventLoop loop;
        QObject::connect(s, &QIODevice::readyRead, &loop, &QEventLoop::quit);
        QTimer::singleShot(int(bound.remainingTime()), &loop, &QEventLoop::quit);
        loop.exec();
        got += s->readAll();
    }
    return got;
}

} // namespace relaytest

// Reaches into the relay's queues and servers. Command 8's pauses are
// recorded instead of slept when asked to; while the test holds them, the
// relay thread stays inside each one until the test releases it or the relay
// is paused or ended. Standard locks: ThreadSanitizer sees their hand-over,
// not the inside of Qt's.
class InterfaceReaderProbe : public InterfaceReader
{
public:
    using InterfaceReader::InterfaceReader;
    using InterfaceReader::StopRequested;

    // The loop waits for a resume: it reads nothing until then.
    bool parked() const { return !passing; }

    std::atomic<bool> recordSleeps{false};

    QVector<unsigned long> sleeps() const
    {
        std::unique_lock<std::mutex> lock(sleepMutex);
        // A copy of its own: a shared one's reference count lives in Qt.
        return QVector<unsigned long>(sleepsTaken.begin(), sleepsTaken.end());
    }
    void holdSleeps(bool hold)
    {
        std::unique_lock<std::mutex> lock(sleepMutex);
        holding = hold;
        sleepReleased.notify_all();
    }
    // Lets the pauses recorded so far end; later ones are held again.
    void releaseSleeps()
    {
        std::unique_lock<std::mutex> lock(sleepMutex);
        released = int(sleepsTaken.size());
        sleepReleased.notify_all();
    }
    long towardsHeadboxQueued() { return bufTcpToOrv1->NumData(); }
    long towardsPcQueued() { return bufOrvToTcp->NumData(); }
    bool queueTowardsPc(QByteArray bytes)
    {
        return bufOrvToTcp->Write(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size()) == 0;
    }
    bool queueTowardsHeadbox(QByteArray bytes)
    {
        return bufTcpToOrv1->Write(bytes.data(), bytes.size()) == 0;
    }
    // Serves a waiting connection at once, before the event loop has served
    // anything else (the end of an earlier connection, for instance).
    bool acceptDataNow(int ms = 5000) { return _tcpServer->waitForNewConnection(ms); }
    bool acceptAnswerNow(int ms = 5000) { return tcpServerAnswer->waitForNewConnection(ms); }
    // Accepted sockets still alive (they are children of their servers).
    int liveSockets() const
    {
        return _tcpServer->findChildren<QTcpSocket *>().size()
            + tcpServerAnswer->findChildren<QTcpSocket *>().size();
    }

protected:
    bool CommandSleep(unsigned long ms) override
    {
        if (!recordSleeps.load())
            return InterfaceReader::CommandSleep(ms);
        std::unique_lock<std::mutex> lock(sleepMutex);
        sleepsTaken.push_back(ms);
        const int index = int(sleepsTaken.size()) - 1;
        sleepReleased.wait(lock, [&] { return !holding || index < released || StopRequested(); });
        return !StopRequested();
    }
    void WakeCommandSleep() override
    {
        InterfaceReader::WakeCommandSleep();
        std::unique_lock<std::mutex> lock(sleepMutex);
        sleepReleased.notify_all();
    }

private:
    mutable std::mutex sleepMutex;
    std::condition_variable sleepReleased;
    bool holding = false;
    int released = 0;
    std::vector<unsigned long> sleepsTaken;
};

#endif
