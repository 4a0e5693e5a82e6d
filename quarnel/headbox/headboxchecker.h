#ifndef HEADBOXCHECKER_H
#define HEADBOXCHECKER_H

#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>
#include <atomic>

class Orv;

// Asks the headboxes to identify themselves about twice a second while no
// exam runs, and reports every answer (or its absence).
class HeadboxChecker : public QThread
{
    Q_OBJECT
public:
    explicit HeadboxChecker(Orv *orv);
    // Only once the thread has ended (wait()).
    ~HeadboxChecker() override;

    void run() override;
    // Ends the loop at the end of the cycle under way; a paused thread must
    // be resumed first.
    void Terminate();
    // Resume, Terminate, then waits for the thread: a paused loop runs one
    // more check before it ends.
    void Stop();

signals:
    void ConnectionFound(bool found, QString serialNumber, short numDevices);

public slots:
    void Resume();
    // Returns once no check is under way: the caller then has the link to
    // itself (a check left running would switch channels under an exam).
    // A check that hangs is waited for 3 s at most, with a debug line.
    void Pause();

protected:
    // The rest between two checks (a test may drive it).
    virtual void Rest(unsigned long ms);
    // How long Pause waits for a check under way before it gives up.
    virtual int PauseWaitLimitMs() const;

private:
    QMutex sync;
    QWaitCondition pauseCond;
    QWaitCondition idleCond;
    // Written under sync; atomic because the waits release sync inside Qt,
    // where ThreadSanitizer cannot follow the hand-over.
    std::atomic<bool> checking{false};
    // Written under sync, also read without it after a failed check.
    std::atomic<bool> pause;
    std::atomic<bool> end;
    Orv *_orv;
    char serialNum[17];
};

#endif
