#ifndef COMMANDSESSION_H
#define COMMANDSESSION_H

#include "framecommandparser.h"

#include <quarnelpc/terminal.h>

#include <QObject>
#include <QVector>

class QTextStream;

// The `command` job: connect, send each frame and wait for its "ok", disconnect.
class CommandSession : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QString host;
        quint16 dataPort = QuarnelPc::Terminal::defaultDataPort();
        quint16 answerPort = QuarnelPc::Terminal::defaultAnswerPort();
        int connectTimeoutMs = 5000;
        int answerTimeoutMs = 3000;
        QVector<FrameCommandParser::Command> commands;
        int repeat = 1;   // more than 1: print round-trip statistics instead of each "ok"
    };

    CommandSession(const Options &options, QTextStream *out, QObject *parent = nullptr);
    ~CommandSession() override;

    void start();

signals:
    void finished(int exitCode, const QString &error);

private slots:
    void opened();
    void answered(const QuarnelPc::Command &command, double elapsedMs);
    void allAnswered();
    void answerTimedOut(const QuarnelPc::Command &command, int waitedMs);
    void clientFailed(QuarnelPc::Error error, const QString &message);
    void clientClosed();
    void unexpectedAnswer(const QByteArray &bytes);
    void answerLost(const QString &message);

private:
    void sendAll();
    void finish(int code, const QString &error);
    void printStatistics();

    Options opts;
    QTextStream *out;
    QuarnelPc::Terminal *_terminal;
    QVector<double> roundTrips;
    int rounds = 0;
    int result = 0;
    QString resultError;
    bool done = false;
};

#endif
