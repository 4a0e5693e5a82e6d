#include "system.h"

#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTextStream>

namespace {
const QString InterfacesFile = QStringLiteral("/etc/network/interfaces");
const char *const FirstTimeKey = "firstTime";
const int ShellTimeLimitMs = 30000;
}

bool System::IsFirstTime()
{
    QSettings settings;
    return !settings.contains(QLatin1String(FirstTimeKey));
}

void System::ChangeIp(QHostAddress ip)
{
    RunShell(QByteArrayLiteral("ifdown eth0"));

    QFile file(InterfacesFile);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        QTextStream out(&file);
        out << "auto eth0\n"
            << "iface eth0 inet static\n"
            << "    address " << ip.toString() << "\n"
            << "    netmask 255.255.255.0\n";
        out.flush();
        file.close();
    }

    RunShell(QByteArrayLiteral("ifup eth0"));

    QSettings settings;
    settings.setValue(QLatin1String(FirstTimeKey), QStringLiteral("no"));
    settings.sync();
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
