#include "commandsequencer.h"

#include "terminalclient.h"
#include "terminalframe.h"

#include <QtEndian>

#include <limits>

CommandSequencer::CommandSequencer(TerminalClient *client, int timeoutMs, QObject *parent)
    : QObject(parent), _client(client), answerTimeoutMs(timeoutMs)
{
    answerTimer.setSingleShot(true);
    // Coarse timers may fire 5 % early: a time-out must never be shorter than asked.
    answerTimer.setTimerType(Qt::PreciseTimer);
    connect(&answerTimer, SIGNAL(timeout()), this, SLOT(answerTimedOut()));
    connect(_client, SIGNAL(okReceived()), this, SLOT(okReceived()));
}

int CommandSequencer::answerWaitMs(const QByteArray &frame, int timeoutMs)
{
    TerminalFrame::Parsed p;
    if (!TerminalFrame::parse(frame, &p) || p.code != TerminalFrame::Delay || p.params.size() < 4)
        return timeoutMs;
    // The terminal answers a delay frame only after it has slept.
    const qint64 ms = qFromLittleEndian<quint32>(p.params.constData());
    return int(qMin<qint64>(ms + timeoutMs, std::numeric_limits<int>::max()));
}

void CommandSequencer::run(const QVector<FrameCommandParser::Command> &commands)
{
    pending = commands;
    next = 0;
    running = true;
    sendNext();
}

void CommandSequencer::cancel()
{
    running = false;
    answerTimer.stop();
}

void CommandSequencer::sendNext()
{
    if (next >= pending.size()) {
        running = false;
        emit finished();
        return;
    }
    const QByteArray &frame = pending.at(next).frame;
    oksBefore = _client->okCount();
    sentAt.start();
    answerTimer.start(answerWaitMs(frame, answerTimeoutMs));
    _client->send(frame);
}

void CommandSequencer::okReceived()
{
    if (!running || _client->okCount() <= oksBefore)
        return;
    answerTimer.stop();
    const double ms = double(sentAt.nsecsElapsed()) / 1e6;
    emit answered(pending.at(next).text, ms);
    ++next;
    sendNext();
}

void CommandSequencer::answerTimedOut()
{
    if (!running)
        return;
    running = false;
    emit timedOut(pending.at(next).text, answerTimer.interval());
}
