#ifndef RUNLOCK_H
#define RUNLOCK_H

#include <QByteArray>

// Whoever drives the FPGA holds this lock: quarnel for as long as it runs,
// zelkreg while it writes registers. It is an advisory lock on one fixed
// file under /run, which every process on the panel sees alike, whatever
// its TMPDIR or IPC namespace (the single-instance guard's keys depend on
// both). The kernel drops it when the holder ends, also on a crash.
class RunLock
{
public:
    enum Result {
        Taken,      // this process holds the lock now
        Held,       // another process holds it
        Unavailable, // the lock file cannot be opened; nobody can be told apart
        NotAFile     // something else (a FIFO, a folder) sits at the path
    };

    RunLock();
    ~RunLock();
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    // Never waits, whatever sits at the path.
    Result Acquire();

    // /run/quarnel/quarnel.lock; QUARNEL_LOCK_FILE replaces it for the test
    // harness, whose /run is the machine's.
    static QByteArray Path();

private:
    static bool IsOtherKind(const QByteArray &path);
    static void ReportNotAFile(const QByteArray &path);
    static void Report(const QByteArray &path, int error);

    int _fd;
};

#endif
