#ifndef QUARNELPC_COMMANDQUEUE_H
#define QUARNELPC_COMMANDQUEUE_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QQueue>
#include <QTimer>

#include "quarnelpc/command.h"

namespace QuarnelPc {

class TerminalConnection;

// The PC's side of the stream order: commands and headbox bytes leave in
// the order given, each command only after the "ok" of the one before, so a
// missing answer names its command.
class CommandQueue : public QObject
{
    Q_OBJECT
public:
    CommandQueue(TerminalConnection *connection, QObject *parent = nullptr);

    void setAnswerTimeout(int ms) { answerTimeoutMs = ms; }
    int answerTimeout() const { return answerTimeoutMs; }
    void addCommand(const Command &command);
    void addBytes(const QByteArray &bytes);
    // Writes what may go now; called once the connection is open.
    void flush();
    void cancel();
    // As cancel(), and no answer of an earlier connection is owed any more.
    void reset();
    int pendingCommands() const { return commands + (waiting ? 1 : 0); }

    // The wait for an "ok": the time-out, plus the pause the command asks
    // for, plus the time the terminal takes to pass on the headbox bytes
    // written ahead of it.
    static int answerWaitMs(const Command &command, int answerTimeoutMs, qint64 bytesAhead = 0);

    // The terminal writes a headbox byte every 200 us or more (295 us
    // measured under load); the wait allows for 500.
    static constexpr qint64 HeadboxByteAllowanceUs = 500;

signals:
    void answered(const QuarnelPc::Command &command, double elapsedMs);
    void allAnswered();
    void timedOut(const QuarnelPc::Command &command, int waitedMs);

private slots:
    void oksReceived(qint64 count);
    void answerTimedOut();

private:
    struct Item
    {
        bool isCommand;
        Command command;
        QByteArray bytes;
    };

    TerminalConnection *_connection;
    int answerTimeoutMs = 3000;
    QQueue<Item> queue;
    int commands = 0;       // queued, not yet written
    bool waiting = false;   // for the "ok" of current
    Command current;
    qint64 bytesAhead = 0;  // headbox bytes written since the last command
    qint64 late = 0;        // "ok"s still owed for commands given up on
    QTimer answerTimer;
    QElapsedTimer sentAt;
};

} // namespace QuarnelPc

#endif
