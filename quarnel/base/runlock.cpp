#include "runlock.h"

#include <QDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

RunLock::RunLock() : _fd(-1)
{
}

RunLock::~RunLock()
{
    if (_fd >= 0)
        ::close(_fd);
}

QByteArray RunLock::Path()
{
    const QByteArray path = qgetenv("QUARNEL_LOCK_FILE");
    return path.isEmpty() ? QByteArrayLiteral("/run/quarnel/quarnel.lock") : path;
}

RunLock::Result RunLock::Acquire()
{
    if (_fd >= 0)
        return Taken;
    const QByteArray path = Path();
    // The service's runtime folder; a program started by hand makes it.
    const int slash = path.lastIndexOf('/');
    if (slash > 0)
        ::mkdir(path.left(slash).constData(), 0700);
    // Read-only is enough for a lock, and works where the file already
    // exists on a read-only /run. Close-on-exec: the shells the program
    // starts must not keep the lock alive after it ends.
    const int fd = ::open(path.constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        qDebug().noquote() << QStringLiteral("Run lock %1: %2")
                                  .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(strerror(errno)));
        return Unavailable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        _fd = fd;
        return Taken;
    }
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK)
        return Held;
    qDebug().noquote() << QStringLiteral("Run lock %1: %2")
                              .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(strerror(error)));
    return Unavailable;
}
