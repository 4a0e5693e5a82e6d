#ifndef TESTSUPPORT_CHILDPROCESS_H
#define TESTSUPPORT_CHILDPROCESS_H

// Signals for a test's own child processes only. QProcess::processId() is 0
// once the child is gone or before it has started, and kill(0, ...) would hit
// the whole process group (the test runner and CI included), kill(-1, ...)
// every process we may signal.

#include <QProcess>

#include <csignal>
#include <sys/types.h>

namespace childprocess {

// A started child that QProcess has not reaped yet: its pid cannot have been
// reused by another process.
inline bool alive(const QProcess &p)
{
    return p.state() == QProcess::Running && p.processId() > 0;
}

// Sends sig to the child alone; false when there is no live child to signal.
inline bool signal(QProcess &p, int sig)
{
    if (!alive(p))
        return false;
    return ::kill(pid_t(p.processId()), sig) == 0;
}

// Ends the child at once (if any) and reaps it.
inline void stop(QProcess &p, int ms = 10000)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.kill();
    p.waitForFinished(ms);
}

} // namespace childprocess

#endif
