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
    connect(_connection, &TerminalConnection::oksReceived, this, &CommandQueue::oksReceived);
}

int CommandQueue::answerWaitMs(const Command &command, int timeoutMs, qint64 bytesAhead)
{
    // The terminal answers a delay only after it has paused, and any frame
    // only after the headbox bytes before it have gone out on the link.
    const qint64 ms = qint64(command.pauseMs()) + timeoutMs
        + (bytesAhead * HeadboxByteAllowanceUs + 999) / 1000;
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
            bytesAhead += item.bytes.size();
            continue;
        }
        --commands;
        current = item.command;
        waiting = true;
        sentAt.start();
        answerTimer.start(answerWaitMs(current, answerTimeoutMs, bytesAhead));
        bytesAhead = 0;
        _connection->send(current.frame());
    }
}

void CommandQueue::cancel()
{
    // The terminal may still answer the command given up on.
    if (waiting)
        ++late;
    waiting = false;
    answerTimer.stop();
    queue.clear();
    commands = 0;
}

void CommandQueue::reset()
{
    cancel();
    late = 0;
    bytesAhead = 0;
}

// The terminal answers each executed frame once, in order, and this side
// has one frame at a time waiting: any other "ok" is not an answer to
// anything, and crediting it to the next command would report a frame as
// done that the terminal has not executed.
void CommandQueue::oksReceived(qint64 count)
{
    const qint64 forLate = qMin(count, late);
    late -= forLate;
    count -= forLate;
    if (count == 0)
        return;
    if (!waiting || count > 1) {
        const qint64 extra = waiting ? count - 1 : count;
        _connection->protocolError(QStringLiteral("%1 \"ok\" with no command waiting for it").arg(extra));
        return;
    }
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
