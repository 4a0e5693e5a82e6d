#include "system.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString InterfacesFile = QStringLiteral("/etc/network/interfaces");
const char *const FirstTimeKey = "firstTime";
const int ShellTimeLimitMs = 30000;
const mode_t NewFileMode = 0644;

bool writeAll(int fd, const QByteArray &data)
{
    const char *p = data.constData();
    qint64 left = data.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

void report(const char *step, const QByteArray &path)
{
    const QString reason = QString::fromLocal8Bit(strerror(errno));
    qDebug().noquote() << QStringLiteral("Address not saved: %1 %2: %3")
                              .arg(QLatin1String(step), QFile::decodeName(path), reason);
}

// Writes, flushes to disk and closes; on failure the file is closed and errno
// tells why.
bool writeSynced(int fd, const QByteArray &text)
{
    const bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    const int writeErrno = errno;
    const bool closed = ::close(fd) == 0;
    if (!ok)
        errno = writeErrno;
    return ok && closed;
}

bool syncFolder(const QByteArray &folder)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// A file that is itself a mount point cannot be renamed over; it can only be
// rewritten where it is.
bool replaceInPlace(const QByteArray &path, const QByteArray &text)
{
    qDebug().noquote() << QStringLiteral("%1 is a mount point: rewritten in place").arg(QFile::decodeName(path));
    const int fd = ::open(path.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0 || !writeSynced(fd, text)) {
        report("rewriting", path);
        return false;
    }
    return true;
}
} // namespace

bool System::IsFirstTime()
{
    QSettings settings;
    return !settings.contains(QLatin1String(FirstTimeKey));
}

void System::ChangeIp(QHostAddress ip)
{
    RunShell(QByteArrayLiteral("ifdown eth0"));

    const bool saved = SaveInterfaces(QByteArrayLiteral("auto eth0\n"
                                                        "iface eth0 inet static\n"
                                                        "    address ")
                                      + ip.toString().toLatin1()
                                      + QByteArrayLiteral("\n"
                                                          "    netmask 255.255.255.0\n"));

    // Also after a failed save: eth0 comes back with the address it had.
    RunShell(QByteArrayLiteral("ifup eth0"));

    // An address that did not reach the disk is not set: the dialog may ask again.
    if (!saved)
        return;
    QSettings settings;
    settings.setValue(QLatin1String(FirstTimeKey), QStringLiteral("no"));
    settings.sync();
}

bool System::SaveInterfaces(const QByteArray &text)
{
    // A power cut must leave either the old file or the new one, never a
    // truncated one: the panel would come up without an address and nobody
    // could reach it. So the text goes to a temporary file beside the old one,
    // reaches the disk, and replaces the old file in one rename.
    const QFileInfo info(InterfacesFile);
    // A symbolic link (say, to a writable partition) keeps pointing at the
    // file it names.
    const QString target = info.exists() ? info.canonicalFilePath() : InterfacesFile;
    const QByteArray path = QFile::encodeName(target);
    const QByteArray folder = QFile::encodeName(QFileInfo(target).absolutePath());

    struct stat old;
    const mode_t mode = ::stat(path.constData(), &old) == 0 ? (old.st_mode & 07777) : NewFileMode;

    QByteArray temp = folder + "/.interfaces.XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        report("creating", temp);
        return false;
    }
    if (::fchmod(fd, mode) != 0 || !writeSynced(fd, text)) {
        report("writing", temp);
        ::unlink(temp.constData());
        return false;
    }
    if (::rename(temp.constData(), path.constData()) != 0) {
        const int renameErrno = errno;
        ::unlink(temp.constData());
        errno = renameErrno;
        if (renameErrno == EBUSY)
            return replaceInPlace(path, text);
        report("renaming over", path);
        return false;
    }
    // The new file is in place; only the folder's record of the rename may
    // still be in memory.
    if (!syncFolder(folder))
        report("syncing", folder);
    return true;
}

void System::RunShell(const QByteArray &command)
{
    QProcess shell;
    shell.start(QStringLiteral("sh"), QStringList(), QIODevice::ReadWrite);
    shell.write(command);
    shell.closeWriteChannel();
    shell.waitForFinished(ShellTimeLimitMs);
    // Closing kills a shell that is still hanging.
    shell.close();
}
