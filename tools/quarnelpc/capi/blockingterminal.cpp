#include "blockingterminal.h"

#include <QObject>

#include <chrono>
#include <cstring>

#include "quarnelpc/terminal.h"
#include "waitbound.h"

namespace QuarnelPc {

BlockingTerminal::BlockingTerminal() = default;

BlockingTerminal::~BlockingTerminal()
{
    // Deleting the Terminal aborts its sockets without a signal.
    net.call([this] {
        delete terminal;
        terminal = nullptr;
    });
}

void BlockingTerminal::createTerminal()
{
    terminal = new Terminal;
    QObject::connect(terminal, &Terminal::connected, terminal, [this] {
        std::lock_guard<std::mutex> l(lock);
        if (link == Link::Connecting)
            link = Link::Open;
        changed.notify_all();
    });
    QObject::connect(terminal, &Terminal::errorOccurred, terminal,
                     [this](Error error, const QString &message) { ended(int(error), message); });
    QObject::connect(terminal, &Terminal::disconnected, terminal, [this] {
        ended(QUARNELPC_E_CONNECTION_LOST, QStringLiteral("%1: the connection was closed").arg(terminal->peerText()));
    });
    QObject::connect(terminal, &Terminal::commandAnswered, terminal,
                     [this](const Command &, double ms) { commandDone(QUARNELPC_OK, QString(), ms); });
    QObject::connect(terminal, &Terminal::commandTimedOut, terminal, [this](const Command &c, int waitedMs) {
        commandDone(QUARNELPC_E_TIMED_OUT,
                    QStringLiteral("no \"ok\" for '%1' within %2 ms").arg(c.text()).arg(waitedMs), 0);
    });
    QObject::connect(terminal, &Terminal::answerConnectionLost, terminal, [this](const QString &message) {
        {
            std::lock_guard<std::mutex> l(lock);
            answersGone = true;
        }
        commandDone(QUARNELPC_E_CONNECTION_LOST, message, 0);
    });
    QObject::connect(terminal, &Terminal::dataReceived, terminal,
                     [this](const QByteArray &bytes) { streamArrived(bytes); });
}

int BlockingTerminal::open(const QString &host, quint16 dataPort, quint16 answerPort, int timeoutMs,
                           QString *message)
{
    net.call([&] {
        createTerminal();
        terminal->setConnectTimeout(timeoutMs);
        terminal->connectToTerminal(host, dataPort, answerPort);
    });
    std::unique_lock<std::mutex> l(lock);
    // The Terminal's own time-out decides; this bound only guards a stuck thread.
    if (!changed.wait_for(l, waitBound(timeoutMs), [this] { return link != Link::Connecting; })) {
        *message = QStringLiteral("%1: no connection within %2 ms").arg(host).arg(timeoutMs);
        return QUARNELPC_E_TIMED_OUT;
    }
    if (link == Link::Open)
        return QUARNELPC_OK;
    *message = endMessage;
    return endError;
}

int BlockingTerminal::command(const Command &command, int timeoutMs, double *roundTripMs, QString *message)
{
    if (refusedOnNetworkThread(message))
        return QUARNELPC_E_USAGE;
    std::lock_guard<std::mutex> one(commandLock);
    std::unique_lock<std::mutex> l(lock);
    if (link == Link::Ended) {
        *message = endMessage;
        return endError;
    }
    if (answersGone) {
        *message = QStringLiteral("the terminal closed the answer connection: no command can be answered");
        return QUARNELPC_E_CONNECTION_LOST;
    }
    commandWaiting = true;
    net.post([this, command, timeoutMs] {
        terminal->setAnswerTimeout(timeoutMs);
        terminal->sendCommand(command);
    });
    // The Terminal's answer time-out decides; this bound only guards a stuck thread.
    if (!changed.wait_for(l, waitBound(timeoutMs + qint64(command.pauseMs())), [this] { return !commandWaiting; })) {
        // A late answer could not be told from the next command's: this
        // connection is done.
        commandWaiting = false;
        link = Link::Ended;
        endError = QUARNELPC_E_TIMED_OUT;
        endMessage = QStringLiteral("the terminal's network thread did not answer within %1 ms").arg(timeoutMs);
        net.post([this] { terminal->disconnectFromTerminal(); });
        *message = endMessage;
        return endError;
    }
    if (roundTripMs)
        *roundTripMs = commandRoundTripMs;
    *message = commandMessage;
    return commandError;
}

int BlockingTerminal::read(char *buffer, size_t size, size_t *got, int timeoutMs, QString *message)
{
    *got = 0;
    if (refusedOnNetworkThread(message))
        return QUARNELPC_E_USAGE;
    std::lock_guard<std::mutex> one(readLock);
    std::unique_lock<std::mutex> l(lock);
    if (callback) {
        *message = QStringLiteral("the stream goes to the callback");
        return QUARNELPC_E_USAGE;
    }
    changed.wait_for(l, std::chrono::milliseconds(timeoutMs),
                     [this] { return streamBytes > 0 || link == Link::Ended || callback; });
    *got = takeBuffered(buffer, size);
    if (streamHeld && streamBytes < ResumeAt) {
        streamHeld = false;
        net.post([this] { terminal->holdStream(false); });
    }
    if (*got > 0)
        return QUARNELPC_OK;
    if (link == Link::Ended) {
        *message = endMessage;
        return endError;
    }
    *message = callback ? QStringLiteral("the stream goes to the callback")
                        : QStringLiteral("no stream bytes within %1 ms").arg(timeoutMs);
    return callback ? QUARNELPC_E_USAGE : QUARNELPC_E_TIMED_OUT;
}

size_t BlockingTerminal::takeBuffered(char *buffer, size_t size)
{
    size_t taken = 0;
    while (taken < size && !stream.isEmpty()) {
        const QByteArray &front = stream.head();
        const size_t n = std::min(size - taken, size_t(front.size()) - streamOffset);
        std::memcpy(buffer + taken, front.constData() + streamOffset, n);
        taken += n;
        streamOffset += n;
        if (streamOffset == size_t(front.size())) {
            stream.dequeue();
            streamOffset = 0;
        }
    }
    streamBytes -= taken;
    return taken;
}

int BlockingTerminal::setCallback(quarnelpc_stream_callback newCallback, void *user, QString *message)
{
    Q_UNUSED(message)
    // On the network thread, so that no call of the old callback is under way
    // once this returns.
    net.call([&] {
        std::lock_guard<std::mutex> l(lock);
        callback = newCallback;
        callbackUser = user;
        // The callback takes the stream as it comes: nothing to hold for.
        if (callback && streamHeld) {
            streamHeld = false;
            terminal->holdStream(false);
        }
        changed.notify_all();
    });
    return QUARNELPC_OK;
}

int BlockingTerminal::close(int timeoutMs, QString *message)
{
    if (refusedOnNetworkThread(message))
        return QUARNELPC_E_USAGE;
    net.call([this] { terminal->disconnectFromTerminal(); });
    std::unique_lock<std::mutex> l(lock);
    if (changed.wait_for(l, std::chrono::milliseconds(timeoutMs), [this] { return link == Link::Ended; }))
        return QUARNELPC_OK;
    *message = QStringLiteral("the connection did not close within %1 ms").arg(timeoutMs);
    return QUARNELPC_E_TIMED_OUT;
}

void BlockingTerminal::streamArrived(const QByteArray &bytes)
{
    quarnelpc_stream_callback deliver = nullptr;
    void *user = nullptr;
    bool hold = false;
    {
        std::lock_guard<std::mutex> l(lock);
        deliver = callback;
        user = callbackUser;
        if (!deliver) {
            stream.enqueue(bytes);
            streamBytes += size_t(bytes.size());
            hold = !streamHeld && streamBytes >= HoldAt;
            streamHeld = streamHeld || hold;
            changed.notify_all();
        }
    }
    if (deliver)
        deliver(user, bytes.constData(), size_t(bytes.size()));
    else if (hold)
        terminal->holdStream(true);
}

void BlockingTerminal::ended(int error, const QString &message)
{
    std::lock_guard<std::mutex> l(lock);
    if (link == Link::Ended)
        return;
    link = Link::Ended;
    endError = error;
    endMessage = message;
    if (commandWaiting) {
        commandWaiting = false;
        commandError = error;
        commandMessage = message;
    }
    changed.notify_all();
}

void BlockingTerminal::commandDone(int error, const QString &message, double roundTripMs)
{
    std::lock_guard<std::mutex> l(lock);
    if (!commandWaiting)
        return;
    commandWaiting = false;
    commandError = error;
    commandMessage = message;
    commandRoundTripMs = roundTripMs;
    changed.notify_all();
}

bool BlockingTerminal::refusedOnNetworkThread(QString *message) const
{
    if (!net.isCurrent())
        return false;
    *message = QStringLiteral("called from the terminal's own callback, where it would wait for itself");
    return true;
}

} // namespace QuarnelPc
