#ifndef RECORDER_H
#define RECORDER_H

#include "framecommandparser.h"

#include <quarnelpc/terminal.h>

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTimer>
#include <QVector>

class QTextStream;
class StreamChecker;

// The `record` job: connect, configure, switch sync on, store what the
// headboxes send for a time or a byte count, switch sync off, disconnect.
class Recorder : public QObject
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
        int idleTimeoutMs = 5000;
        QVector<FrameCommandParser::Command> setup;
        bool sync = true;
        qint64 maxBytes = 0;    // 0: no byte limit
        double seconds = 0;     // 0: no time limit
        QString outPath;        // empty: count and check only
        bool check = false;
        bool progress = true;
        bool progressInPlace = false;   // rewrite one line (a terminal) or print lines
    };

    Recorder(const Options &options, QTextStream *out, QTextStream *err, QObject *parent = nullptr);
    ~Recorder() override;

    void start();
    qint64 recordedBytes() const { return recorded; }

public slots:
    // Ends the recording early and cleanly (Ctrl-C).
    void stop();

signals:
    void finished(int exitCode, const QString &error);

private slots:
    void opened();
    void answered(const QuarnelPc::Command &command, double elapsedMs);
    void sequenceFinished();
    void sequenceTimedOut(const QuarnelPc::Command &command, int waitedMs);
    void dataReceived(const QByteArray &bytes);
    void clientFailed(QuarnelPc::Error error, const QString &message);
    void answerLost(const QString &message);
    void clientClosed();
    void timeLimitReached();
    void idleTimedOut();
    void printProgress();

private:
    enum State { Idle, Connecting, Configuring, Recording, Stopping, Done };

    void beginRecording();
    void startClock();
    bool pastTimeLimit() const;
    void stopRecording(int code, const QString &error);
    void setResult(int code, const QString &error);
    void summarize();
    void finish();
    double elapsedSeconds() const;

    Options opts;
    QTextStream *out;
    QTextStream *err;
    QuarnelPc::Terminal *_terminal;
    StreamChecker *_checker;
    QFile file;
    QTimer timeLimit;
    QTimer idleTimer;
    QTimer progressTimer;
    QElapsedTimer recordingSince;
    State state = Idle;
    bool connected = false;
    bool syncSent = false;
    bool progressShown = false;
    qint64 recorded = 0;
    qint64 stoppedAfterNs = -1;
    int result = 0;
    QString resultError;
};

#endif
