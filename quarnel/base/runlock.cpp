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
    // starts must not keep the lock alive after it ends. Non-blocking: a
    // FIFO at the path would otherwise hold the start in open() forever.
    const int fd = ::open(path.constData(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0 && IsOtherKind(path)) {
        ReportNotAFile(path);
        return NotAFile;
    }
    if (fd < 0) {
        Report(path, errno);
        return Unavailable;
    }
    // Any other kind of file lets every process "hold" it (a directory
    // cannot even be created over): two instances would drive the FPGA.
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        ReportNotAFile(path);
        return NotAFile;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        _fd = fd;
        return Taken;
    }
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK)
        return Held;
    Report(path, error);
    return Unavailable;
}

bool RunLock::IsOtherKind(const QByteArray &path)
{
    struct stat st;
    return ::stat(path.constData(), &st) == 0 && !S_ISREG(st.st_mode);
}

void RunLock::ReportNotAFile(const QByteArray &path)
{
    qCritical().noquote() << QStringLiteral("Run lock %1 is not a regular file: remove it")
                                 .arg(QString::fromLocal8Bit(path));
}

void RunLock::Report(const QByteArray &path, int error)
{
    qDebug().noquote() << QStringLiteral("Run lock %1: %2")
                              .arg(QString::fromLocal8Bit(path), QString::fromLocal8Bit(strerror(error)));
}
