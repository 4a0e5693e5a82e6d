#ifndef TESTSUPPORT_CHILDPROCESS_H
#define TESTSUPPORT_CHILDPROCESS_H

// Signals for a test's own child processes only. QProcess::processId() is 0
// once the child is gone or before it has started, and kill(0, ...) would hit
// the whole process group (the test runner and CI included), kill(-1, ...)
// every process we may signal.

#include <QDir>
#include <QProcess>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

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

// For a child started as the leader of a session of its own (through
// setsid): SIGKILL to every process of that session, the child and whatever
// it started, as a service manager's stop or an out-of-memory kill ends a
// unit's whole cgroup. A process group would not do: ifupdown puts what it
// runs into groups of their own, inside the session. The child is stopped
// first, so that it neither goes on with its work nor starts anything while
// its members die, and killed last: until it is reaped its pid, the
// session's id, names no other session. False when there is no live child.
inline bool killSession(QProcess &p)
{
    if (!alive(p))
        return false;
    const pid_t session = pid_t(p.processId());
    if (::kill(session, SIGSTOP) != 0)
        return false;
    const int maxSweeps = 100;
    for (int sweep = 0; sweep < maxSweeps; ++sweep) {
        bool found = false;
        for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            bool number = false;
            const pid_t pid = pid_t(entry.toInt(&number));
            if (number && pid != session && ::getsid(pid) == session)
                found = ::kill(pid, SIGKILL) == 0 || found;
        }
        if (!found)
            break;
    }
    return ::kill(session, SIGKILL) == 0;
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
