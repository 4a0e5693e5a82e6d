#include "commandqueue.h"

#include "terminalconnection.h"

#include <limits>

namespace QuarnelPc {

CommandQueue::CommandQueue(TerminalConnection *connection, QObject *parent)
    : QObject(parent), _connection(connection)
{
    answerTimer.setSingleShot(true);
    // Coarse timers may fire 5 % early: a time-out must never be shorter than asked.
    answerTimer.setTimerType(Qt::PreciseTimer);
    connect(&answerTimer, &QTimer::timeout, this, &CommandQueue::answerTimedOut);
    connect(_connection, &TerminalConnection::okReceived, this, &CommandQueue::okReceived);
}

int CommandQueue::answerWaitMs(const Command &command, int timeoutMs)
{
    // The terminal answers a delay only after it has paused.
    const qint64 ms = qint64(command.pauseMs()) + timeoutMs;
    return int(qMin<qint64>(ms, std::numeric_limits<int>::max()));
}

void CommandQueue::addCommand(const Command &command)
{
    queue.enqueue({ true, command, QByteArray() });
    ++commands;
    flush();
}

void CommandQueue::addBytes(const QByteArray &bytes)
{
    queue.enqueue({ false, Command(), bytes });
    flush();
}

void CommandQueue::flush()
{
    while (!waiting && !queue.isEmpty() && _connection->isOpen()) {
        const Item item = queue.dequeue();
        if (!item.isCommand) {
            _connection->send(item.bytes);
            continue;
        }
        --commands;
        current = item.command;
        waiting = true;
        oksBefore = _connection->okCount();
        sentAt.start();
        answerTimer.start(answerWaitMs(current, answerTimeoutMs));
        _connection->send(current.frame());
    }
}

void CommandQueue::cancel()
{
    waiting = false;
    answerTimer.stop();
    queue.clear();
    commands = 0;
}

void CommandQueue::okReceived()
{
    if (!waiting || _connection->okCount() <= oksBefore)
        return;
    answerTimer.stop();
    waiting = false;
    const double ms = double(sentAt.nsecsElapsed()) / 1e6;
    const Command done = current;
    emit answered(done, ms);
    // A receiver may have cancelled, queued more or closed meanwhile.
    if (waiting)
        return;
    flush();
    if (!waiting && commands == 0)
        emit allAnswered();
}

void CommandQueue::answerTimedOut()
{
    if (!waiting)
        return;
    const Command late = current;
    const int waited = answerTimer.interval();
    cancel();
    emit timedOut(late, waited);
}

} // namespace QuarnelPc
