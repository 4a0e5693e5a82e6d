#ifndef SIMULATEDPANEL_H
#define SIMULATEDPANEL_H

// Helpers for the headbox tests that run on the simulated FPGA through the
// real library: a fresh simulated chip per test, the link opened on it, and
// a capture of debug messages.

// Their locks are std::mutex: ThreadSanitizer follows those, not the inside
// of Qt's.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QPair>
#include <QStringList>
#include <QVector>
#include <QtGlobal>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "fpgasim.h"
#include "headboxtexts.h"
#include "orvinterfacezelk.h"

namespace simpanel {

// Must run before the first interface_open(): the register window of the
// real panel is never mapped by a test.
inline void useSimulatedFpga()
{
    qputenv("ZELK_FPGA", "sim");
}

inline FpgaSim *freshChip(int headboxes = 1, const QList<QByteArray> &serials = {},
                          bool verifyFails = false)
{
    FpgaSimConfig config;
    config.headboxes = headboxes;
    config.serials = serials;
    config.verifyFails = verifyFails;
    FpgaSim *sim = FpgaSim::instance();
    sim->reset(config);
    return sim;
}

inline QByteArray identifyFrame()
{
    return QByteArray("\r\nRDJW002002\r\n");
}

// The panel's link on the simulated FPGA, which takes effect as it is
// written: the link's pauses are recorded, each with the number of register
// writes the FPGA had seen by then, instead of slept (the real pause has a
// test of its own). afterWrite, when set, runs after each Write, on the
// writing thread: a test plays the headboxes or acts during a check there.
// With settleReads, each Write and each pause ends only once the library's
// reader has moved into its ring every word waiting on the read channel:
// the headbox protocol's answer waits are real time, and on a loaded
// machine the reader may not get the core within them.
class SimLink : public OrvInterfaceZelk
{
public:
    explicit SimLink(FpgaSim *sim, QuarnelLog *log = nullptr) : OrvInterfaceZelk(log), m_sim(sim) {}
    using OrvInterfaceZelk::_log;

    int Write(BYTE *command, int length) override
    {
        const int n = OrvInterfaceZelk::Write(command, length);
        if (afterWrite && command && length > 0)
            afterWrite(QByteArray(reinterpret_cast<const char *>(command), length));
        settle();
        return n;
    }
    QVector<QPair<int, unsigned long>> pauses() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_pauses;
    }
    void clearPauses()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pauses.clear();
    }

    std::function<void(const QByteArray &)> afterWrite;
    std::atomic<bool> settleReads{false};

protected:
    void Pause(unsigned long ms) override
    {
        const int writes = m_sim->writes().size();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pauses.append(qMakePair(writes, ms));
        }
        settle();
    }

private:
    void settle() const
    {
        if (!settleReads)
            return;
        const int channel = m_sim->readChannel();
        if (!spinUntil([&] { return m_sim->fifoWords(channel) == 0; }))
            return;
        // A batch the reader took before the FIFO emptied is in the ring
        // before its next pass reads the count again.
        const uint64_t counted = m_sim->readCount(RegisterMap::fifoCount);
        spinUntil([&] { return m_sim->readCount(RegisterMap::fifoCount) > counted; });
    }
    // Not QTest::qWaitFor: this runs on whichever thread uses the link.
    template <typename Done> static bool spinUntil(Done done)
    {
        const QDeadlineTimer safetyNet(30000);
        while (!done()) {
            if (safetyNet.hasExpired())
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    FpgaSim *m_sim;
    mutable std::mutex m_mutex;
    QVector<QPair<int, unsigned long>> m_pauses;
};

// Collects debug messages from every thread while alive.
class MessageCapture
{
public:
    MessageCapture()
    {
        current() = this;
        m_previous = qInstallMessageHandler(&MessageCapture::handler);
    }
    ~MessageCapture()
    {
        qInstallMessageHandler(m_previous);
        current() = nullptr;
    }
    QStringList messages() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }
    int count(const QString &text) const { return messages().count(text); }

private:
    static std::atomic<MessageCapture *> &current()
    {
        static std::atomic<MessageCapture *> capture{nullptr};
        return capture;
    }
    static void handler(QtMsgType, const QMessageLogContext &, const QString &text)
    {
        MessageCapture *c = current();
        if (!c)
            return;
        std::lock_guard<std::mutex> lock(c->m_mutex);
        c->m_messages.append(text);
    }

    mutable std::mutex m_mutex;
    QStringList m_messages;
    QtMessageHandler m_previous;
};

} // namespace simpanel

#endif
