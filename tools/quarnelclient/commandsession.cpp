#include "commandsession.h"

#include "commandsequencer.h"
#include "exitcodes.h"
#include "terminalclient.h"

#include <QTextStream>

#include <algorithm>
#include <cmath>

CommandSession::CommandSession(const Options &options, QTextStream *stream, QObject *parent)
    : QObject(parent), opts(options), out(stream)
{
    _client = new TerminalClient(this);
    _client->setConnectTimeout(opts.connectTimeoutMs);
    _sequencer = new CommandSequencer(_client, opts.answerTimeoutMs, this);
    connect(_client, SIGNAL(opened()), this, SLOT(opened()));
    connect(_client, SIGNAL(failed(int,QString)), this, SLOT(clientFailed(int,QString)));
    connect(_client, SIGNAL(closed()), this, SLOT(clientClosed()));
    connect(_client, SIGNAL(unexpectedAnswer(QByteArray)), this, SLOT(unexpectedAnswer(QByteArray)));
    connect(_client, SIGNAL(answerLost(QString)), this, SLOT(answerLost(QString)));
    connect(_sequencer, SIGNAL(answered(QString,double)), this, SLOT(answered(QString,double)));
    connect(_sequencer, SIGNAL(finished()), this, SLOT(allAnswered()));
    connect(_sequencer, SIGNAL(timedOut(QString,int)), this, SLOT(answerTimedOut(QString,int)));
}

CommandSession::~CommandSession()
{
    delete _sequencer;
    delete _client;
}

void CommandSession::start()
{
    _client->open(opts.host, opts.dataPort, opts.answerPort);
}

void CommandSession::opened()
{
    _sequencer->run(opts.commands);
}

void CommandSession::answered(const QString &command, double elapsedMs)
{
    if (opts.repeat > 1) {
        roundTrips.append(elapsedMs);
        return;
    }
    *out << "ok  " << command << "  (" << QString::number(elapsedMs, 'f', 1) << " ms)\n";
    out->flush();
}

void CommandSession::allAnswered()
{
    if (++rounds < opts.repeat) {
        _sequencer->run(opts.commands);
        return;
    }
    if (opts.repeat > 1)
        printStatistics();
    _client->close();
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

void CommandSession::answerTimedOut(const QString &command, int waitedMs)
{
    result = ExitCode::TimedOut;
    resultError = QStringLiteral("%1: no \"ok\" for '%2' within %3 ms (bad frame, or the answer port is taken by another client)")
                      .arg(_client->peerText(), command).arg(waitedMs);
    _client->close();
}

void CommandSession::unexpectedAnswer(const QByteArray &bytes)
{
    *out << "warning: unexpected bytes on the answer port: " << bytes.left(32).toHex(' ') << "\n";
    out->flush();
}

void CommandSession::answerLost(const QString &message)
{
    _sequencer->cancel();
    result = ExitCode::ConnectionLost;
    resultError = message;
    _client->close();
}

void CommandSession::clientFailed(int kind, const QString &message)
{
    _sequencer->cancel();
    finish(kind, message);
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
