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

#include "runlock.h"

namespace {
const QString InterfacesFile = QStringLiteral("/etc/network/interfaces");
const char *const FirstTimeKey = "firstTime";
const int ShellTimeLimitMs = 30000;
const mode_t NewFileMode = 0644;
const mode_t RuntimeFolderMode = 0700;
const mode_t ChangeMarkMode = 0600;
const char *const ChangeMarkName = "address-change";

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

// "creating /etc/network/.interfaces.1a2B3c: Read-only file system", from errno.
QString failedStep(const char *step, const QByteArray &path)
{
    return QStringLiteral("%1 %2: %3")
        .arg(QLatin1String(step), QFile::decodeName(path), QString::fromLocal8Bit(strerror(errno)));
}

// Closes fd and keeps the errno of what failed before.
bool closeAfterFailure(int fd)
{
    const int failedErrno = errno;
    ::close(fd);
    errno = failedErrno;
    return false;
}

// Flushes to disk and closes; on failure errno tells why.
bool syncAndClose(int fd)
{
    if (::fsync(fd) != 0)
        return closeAfterFailure(fd);
    return ::close(fd) == 0;
}

// Writes, flushes to disk and closes; on failure the file is closed and errno
// tells why.
bool writeSynced(int fd, const QByteArray &text)
{
    if (!writeAll(fd, text))
        return closeAfterFailure(fd);
    return syncAndClose(fd);
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

// A folder that takes no new file: read-only (a read-only root) or not ours
// to write. The file in it may still be writable.
bool folderRefusesNewFile(int error)
{
    return error == EROFS || error == EACCES || error == EPERM;
}

// Rewrites the file where it is. The space is taken before the first byte
// changes, so a full disk leaves the old text whole.
bool rewriteInPlace(const QByteArray &path, const QByteArray &text)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const int reserved = ::posix_fallocate(fd, 0, text.size());
    if (reserved != 0 && reserved != EOPNOTSUPP) {
        errno = reserved;
        return closeAfterFailure(fd);
    }
    if (!writeAll(fd, text) || ::ftruncate(fd, text.size()) != 0)
        return closeAfterFailure(fd);
    return syncAndClose(fd);
}

// done: the debug line that says why the file was not replaced atomically.
bool replaceInPlace(const QByteArray &path, const QByteArray &text, const QString &done, QString *reason)
{
    if (!rewriteInPlace(path, text)) {
        *reason = failedStep("rewriting", path);
        return false;
    }
    qDebug().noquote() << done;
    return true;
}

// The runtime folder of the run lock: a tmpfs on the panel, so a reboot
// (which brings eth0 up from the file anyway) clears the mark.
QByteArray changeMarkPath()
{
    QByteArray folder = RunLock::Path();
    folder.truncate(qMax(0, folder.lastIndexOf('/')));
    ::mkdir(folder.constData(), RuntimeFolderMode);
    return folder + '/' + ChangeMarkName;
}

void markChangeUnderWay()
{
    const QByteArray mark = changeMarkPath();
    const int fd = ::open(mark.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, ChangeMarkMode);
    if (fd < 0) {
        qDebug().noquote() << QStringLiteral("Address change not recorded: ") + failedStep("creating", mark);
        return;
    }
    ::close(fd);
}
} // namespace

bool System::IsFirstTime()
{
    QSettings settings;
    return !settings.contains(QLatin1String(FirstTimeKey));
}

bool System::ChangeIp(QHostAddress ip, QString *failure)
{
    // From here until ifup has returned, a kill (service stop, out of
    // memory) would leave eth0 down; the mark lets the next start bring it
    // back.
    markChangeUnderWay();
    RunShell(QByteArrayLiteral("ifdown eth0"));

    QString reason;
    const bool saved = SaveInterfaces(QByteArrayLiteral("auto eth0\n"
                                                        "iface eth0 inet static\n"
                                                        "    address ")
                                          + ip.toString().toLatin1()
                                          + QByteArrayLiteral("\n"
                                                              "    netmask 255.255.255.0\n"),
                                      &reason);

    // Also after a failed save: eth0 comes back with the address it had.
    RunShell(QByteArrayLiteral("ifup eth0"));
    ::unlink(changeMarkPath().constData());

    // An address that did not reach the disk is not set: the dialog may ask again.
    if (!saved) {
        const QString line = QStringLiteral("Address %1 not saved: %2").arg(ip.toString(), reason);
        qDebug().noquote() << line;
        if (failure)
            *failure = line;
        return false;
    }
    QSettings settings;
    settings.setValue(QLatin1String(FirstTimeKey), QStringLiteral("no"));
    settings.sync();
    return true;
}

bool System::ResumeInterruptedChange()
{
    const QByteArray mark = changeMarkPath();
    if (::access(mark.constData(), F_OK) != 0)
        return false;
    qDebug().noquote() << QStringLiteral("An address change was cut short: eth0 restarted from %1")
                              .arg(InterfacesFile);
    // ifupdown records eth0 as configured before it configures it: after an
    // ifup killed early, a plain ifup would find it "already configured"
    // and leave it without an address.
    RunShell(QByteArrayLiteral("ifdown --force eth0"));
    RunShell(QByteArrayLiteral("ifup eth0"));
    ::unlink(mark.constData());
    return true;
}

bool System::SaveInterfaces(const QByteArray &text, QString *reason)
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
    if (fd < 0 && folderRefusesNewFile(errno)) {
        // A read-only root with the file bind-mounted from a writable place.
        return replaceInPlace(path, text,
                              QStringLiteral("%1 takes no new file (%2): %3 rewritten in place")
                                  .arg(QFile::decodeName(folder), QString::fromLocal8Bit(strerror(errno)),
                                       QFile::decodeName(path)),
                              reason);
    }
    if (fd < 0) {
        *reason = failedStep("creating", temp);
        return false;
    }
    const bool written = ::fchmod(fd, mode) == 0 ? writeSynced(fd, text) : closeAfterFailure(fd);
    if (!written) {
        *reason = failedStep("writing", temp);
        ::unlink(temp.constData());
        return false;
    }
    if (::rename(temp.constData(), path.constData()) != 0) {
        const int renameErrno = errno;
        ::unlink(temp.constData());
        errno = renameErrno;
        if (renameErrno != EBUSY) {
            *reason = failedStep("renaming over", path);
            return false;
        }
        // A file that is itself a mount point cannot be renamed over; it can
        // only be rewritten where it is.
        return replaceInPlace(path, text,
                              QStringLiteral("%1 is a mount point: rewritten in place").arg(QFile::decodeName(path)),
                              reason);
    }
    // The new file is in place; only the folder's record of the rename may
    // still be in memory.
    if (!syncFolder(folder))
        qDebug().noquote() << QStringLiteral("Address saved, folder not synced: ") + failedStep("syncing", folder);
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
