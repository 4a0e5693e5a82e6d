#include "commandsession.h"

#include "exitcodes.h"

#include <QTextStream>

#include <algorithm>
#include <cmath>

using QuarnelPc::Terminal;

CommandSession::CommandSession(const Options &options, QTextStream *stream, QObject *parent)
    : QObject(parent), opts(options), out(stream)
{
    _terminal = new Terminal(this);
    _terminal->setConnectTimeout(opts.connectTimeoutMs);
    _terminal->setAnswerTimeout(opts.answerTimeoutMs);
    connect(_terminal, &Terminal::connected, this, &CommandSession::opened);
    connect(_terminal, &Terminal::errorOccurred, this, &CommandSession::clientFailed);
    connect(_terminal, &Terminal::disconnected, this, &CommandSession::clientClosed);
    connect(_terminal, &Terminal::unexpectedAnswer, this, &CommandSession::unexpectedAnswer);
    connect(_terminal, &Terminal::answerConnectionLost, this, &CommandSession::answerLost);
    connect(_terminal, &Terminal::commandAnswered, this, &CommandSession::answered);
    connect(_terminal, &Terminal::allCommandsAnswered, this, &CommandSession::allAnswered);
    connect(_terminal, &Terminal::commandTimedOut, this, &CommandSession::answerTimedOut);
}

CommandSession::~CommandSession()
{
    delete _terminal;
}

void CommandSession::start()
{
    _terminal->connectToTerminal(opts.host, opts.dataPort, opts.answerPort);
}

void CommandSession::opened()
{
    sendAll();
}

void CommandSession::sendAll()
{
    for (const FrameCommandParser::Command &c : qAsConst(opts.commands))
        _terminal->sendCommand(c);
}

void CommandSession::answered(const QuarnelPc::Command &command, double elapsedMs)
{
    if (opts.repeat > 1) {
        roundTrips.append(elapsedMs);
        return;
    }
    *out << "ok  " << command.text() << "  (" << QString::number(elapsedMs, 'f', 1) << " ms)\n";
    out->flush();
}

void CommandSession::allAnswered()
{
    if (++rounds < opts.repeat) {
        sendAll();
        return;
    }
    if (opts.repeat > 1)
        printStatistics();
    _terminal->disconnectFromTerminal();
}

void CommandSession::printStatistics()
{
    QVector<double> v = roundTrips;
    std::sort(v.begin(), v.end());
    // Nearest rank.
    auto rank = [&v](double p) { return v.at(qBound(0, int(std::ceil(p * v.size())) - 1, v.size() - 1)); };
    *out << v.size() << " \"ok\" round trips: p50 " << QString::number(rank(0.50), 'f', 3)
         << " ms, p99 " << QString::number(rank(0.99), 'f', 3) << " ms, max "
         << QString::number(v.last(), 'f', 3) << " ms\n";
    out->flush();
}

void CommandSession::answerTimedOut(const QuarnelPc::Command &command, int waitedMs)
{
    result = ExitCode::TimedOut;
    resultError = QStringLiteral("%1: no \"ok\" for '%2' within %3 ms (bad frame, or the answer port is taken by another client)")
                      .arg(_terminal->peerText(), command.text()).arg(waitedMs);
    _terminal->disconnectFromTerminal();
}

void CommandSession::unexpectedAnswer(const QByteArray &bytes)
{
    *out << "warning: unexpected bytes on the answer port: " << bytes.left(32).toHex(' ') << "\n";
    out->flush();
}

void CommandSession::answerLost(const QString &message)
{
    _terminal->cancelCommands();
    result = ExitCode::ConnectionLost;
    resultError = message;
    _terminal->disconnectFromTerminal();
}

void CommandSession::clientFailed(QuarnelPc::Error error, const QString &message)
{
    finish(int(error), message);
}

void CommandSession::clientClosed()
{
    finish(result, resultError);
}

void CommandSession::finish(int code, const QString &error)
{
    if (done)
        return;
    done = true;
    emit finished(code, error);
}
