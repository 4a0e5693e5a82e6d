#ifndef COMMANDSEQUENCER_H
#define COMMANDSEQUENCER_H

#include "framecommandparser.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVector>

class TerminalClient;

// Sends terminal frames one at a time over an open TerminalClient, each only
// after the "ok" of the one before, so a missing answer names its command.
class CommandSequencer : public QObject
{
    Q_OBJECT
public:
    CommandSequencer(TerminalClient *client, int answerTimeoutMs, QObject *parent = nullptr);

    void run(const QVector<FrameCommandParser::Command> &commands);
    void cancel();
    bool isRunning() const { return running; }

    // The wait for an "ok": the time-out, plus the pause a delay frame asks for.
    static int answerWaitMs(const QByteArray &frame, int answerTimeoutMs);

signals:
    void answered(const QString &command, double elapsedMs);
    void finished();
    void timedOut(const QString &command, int waitedMs);

private slots:
    void okReceived();
    void answerTimedOut();

private:
    void sendNext();

    TerminalClient *_client;
    int answerTimeoutMs;
    QVector<FrameCommandParser::Command> pending;
    int next = 0;
    bool running = false;
    qint64 oksBefore = 0;
    QTimer answerTimer;
    QElapsedTimer sentAt;
};

#endif
