#ifndef QUARNELPC_BLOCKINGTERMINAL_H
#define QUARNELPC_BLOCKINGTERMINAL_H

#include <QByteArray>
#include <QQueue>
#include <QString>

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "networkthread.h"
#include "quarnelpc/command.h"
#include "quarnelpc/quarnelpc_c.h"

namespace QuarnelPc {

class Terminal;

// One terminal for the C interface: a Terminal on a network thread of its
// own, with calls that wait for its signals. Results are quarnelpc_error
// values; *message says why one is not QUARNELPC_OK.
class BlockingTerminal
{
public:
    // Unread stream bytes: from HoldAt on, no more is read from the
    // terminal (TCP holds it back) until read() has brought them below
    // ResumeAt, so memory stays bounded and the terminal knows the PC lags.
    // A headbox streams at its own pace: once the terminal's and the FPGA's
    // buffers are full it loses words, so the PC keeps minutes of stream first.
    static constexpr size_t HoldAt = size_t(64) << 20;
    static constexpr size_t ResumeAt = size_t(32) << 20;

    BlockingTerminal();
    ~BlockingTerminal();

    int open(const QString &host, quint16 dataPort, quint16 answerPort, int timeoutMs, QString *message);
    int command(const Command &command, int timeoutMs, double *roundTripMs, QString *message);
    int read(char *buffer, size_t size, size_t *got, int timeoutMs, QString *message);
    int setCallback(quarnelpc_stream_callback callback, void *user, QString *message);
    int close(int timeoutMs, QString *message);

private:
    enum class Link { Connecting, Open, Ended };

    void createTerminal();
    void streamArrived(const QByteArray &bytes);
    void ended(int error, const QString &message);
    void commandDone(int error, const QString &message, double roundTripMs);
    bool refusedOnNetworkThread(QString *message) const;
    size_t takeBuffered(char *buffer, size_t size);

    NetworkThread net;
    Terminal *terminal = nullptr;   // lives on net

    std::mutex lock;                // guards everything below
    std::condition_variable changed;
    Link link = Link::Connecting;
    int endError = QUARNELPC_OK;
    QString endMessage;
    bool answersGone = false;
    bool commandWaiting = false;
    int commandError = QUARNELPC_OK;
    QString commandMessage;
    double commandRoundTripMs = 0;
    // Qt's container: std's templates would be exported from the library.
    QQueue<QByteArray> stream;
    size_t streamOffset = 0;        // into stream.front()
    size_t streamBytes = 0;
    bool streamHeld = false;
    quarnelpc_stream_callback callback = nullptr;
    void *callbackUser = nullptr;

    std::mutex commandLock;         // one command at a time
    std::mutex readLock;            // one read at a time
};

} // namespace QuarnelPc

#endif
