#include <QTest>
#include <QRegularExpression>
#include <QSettings>

#include <QDir>
#include <QFile>
#include <QNetworkInterface>
#include <QProcess>

#include <sys/mount.h>

#include "harness.h"
#include "system.h"

static const char *const ChildMode = "--report-first-time";

static QList<QHostAddress> eth0Ipv4()
{
    QList<QHostAddress> out;
    for (const QNetworkAddressEntry &e : QNetworkInterface::interfaceFromName("eth0").addressEntries())
        if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
            out << e.ip();
    return out;
}

static QByteArray interfacesFile()
{
    QFile f("/etc/network/interfaces");
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return f.readAll();
}

static QByteArray fourLines(const char *address)
{
    return QByteArray("auto eth0\n"
                      "iface eth0 inet static\n"
                      "    address ")
        + address + "\n    netmask 255.255.255.0\n";
}

// What a freshly started program would read.
static QByteArray firstTimeInNewProcess()
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(ChildMode)});
    if (!child.waitForFinished(10000))
        return "<no answer>";
    return child.readAllStandardOutput().trimmed();
}

static QStringList debugMessages;
static void keepMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    debugMessages << text;
}

enum class Folder { Writable, FileIsMountPoint, Full, ReadOnly, ReadOnlyWithWritableFile };
Q_DECLARE_METATYPE(Folder)

// The interfaces file as a writable copy bound over itself.
static bool bindFile(const QString &boundFile)
{
    return QFile::copy("/etc/network/interfaces", boundFile)
           && mount(QFile::encodeName(boundFile).constData(), "/etc/network/interfaces", nullptr, MS_BIND, nullptr) == 0;
}

// /etc/network as a small tmpfs of this harness's own mount namespace,
// holding what the interfaces file held and ifupdown's (empty) hook folders.
static bool networkFolderMounted = false;
static bool mountNetworkFolder(Folder kind, const QByteArray &old, const QString &boundFile)
{
    if (mount("quarnel-test", "/etc/network", "tmpfs", 0, "size=16k,mode=755") != 0)
        return false;
    networkFolderMounted = true;
    for (const char *hooks : {"if-pre-up.d", "if-up.d", "if-down.d", "if-post-down.d"})
        if (!QDir("/etc/network").mkdir(hooks))
            return false;
    QFile file("/etc/network/interfaces");
    if (!file.open(QIODevice::WriteOnly) || file.write(old) != old.size())
        return false;
    file.close();
    switch (kind) {
    case Folder::Writable:
        return true;
    case Folder::FileIsMountPoint:
        return bindFile(boundFile);
    case Folder::ReadOnlyWithWritableFile:
        return bindFile(boundFile) && mount(nullptr, "/etc/network", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    case Folder::Full: {
        QFile filler("/etc/network/filler");
        if (!filler.open(QIODevice::WriteOnly))
            return false;
        const QByteArray block(1024, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        return true;
    }
    case Folder::ReadOnly:
        return mount(nullptr, "/etc/network", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    return false;
}

class tst_System : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void changeIpRewritesFileRestartsInterfaceAndClearsFirstTime();
    void changeIpReplacesOtherEntries();
    void changeIpKeepsTheOldFileUnlessTheNewOneIsSaved_data();
    void changeIpKeepsTheOldFileUnlessTheNewOneIsSaved();
    void cleanup();
};

void tst_System::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
}

void tst_System::changeIpRewritesFileRestartsInterfaceAndClearsFirstTime()
{
    System system;
    QVERIFY(system.IsFirstTime());
    QCOMPARE(firstTimeInNewProcess(), QByteArray("true"));
    QVERIFY(eth0Ipv4().contains(QHostAddress(harness::panelIp())));

    system.ChangeIp(QHostAddress("10.0.0.7"));

    QCOMPARE(interfacesFile(), fourLines("10.0.0.7"));
    // ifdown took the old address away, ifup put the new one on.
    QCOMPARE(eth0Ipv4(), QList<QHostAddress>{QHostAddress("10.0.0.7")});
    QVERIFY(!system.IsFirstTime());
    QCOMPARE(firstTimeInNewProcess(), QByteArray("false"));
}

void tst_System::changeIpReplacesOtherEntries()
{
    QFile f("/etc/network/interfaces");
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("# written by hand\n"
            "auto lo\n"
            "iface lo inet loopback\n\n"
            "auto eth0\n"
            "iface eth0 inet static\n"
            "    address 10.0.0.7\n"
            "    netmask 255.255.255.0\n"
            "    gateway 10.0.0.1\n\n"
            "allow-hotplug wlan0\n"
            "iface wlan0 inet dhcp\n");
    f.close();

    System system;
    system.ChangeIp(QHostAddress(harness::panelIp()));

    QCOMPARE(interfacesFile(), fourLines(qPrintable(harness::panelIp())));
    QCOMPARE(eth0Ipv4(), QList<QHostAddress>{QHostAddress(harness::panelIp())});
    QVERIFY(!system.IsFirstTime());
}

void tst_System::changeIpKeepsTheOldFileUnlessTheNewOneIsSaved_data()
{
    QTest::addColumn<Folder>("folder");
    QTest::addColumn<bool>("saved");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QStringList>("files");

    // Failures first: they leave eth0 on the harness's address.
    QTest::newRow("disk full") << Folder::Full << false
                               << "Address 10.0.0.7 not saved: writing /etc/network/.interfaces.*: No space left on device"
                               << QStringList{"filler", "interfaces"};
    QTest::newRow("read-only") << Folder::ReadOnly << false
                               << "Address 10.0.0.7 not saved: rewriting /etc/network/interfaces: Read-only file system"
                               << QStringList{"interfaces"};
    QTest::newRow("replaced") << Folder::Writable << true << QString() << QStringList{"interfaces"};
    QTest::newRow("file is a mount point") << Folder::FileIsMountPoint << true
                                           << "/etc/network/interfaces is a mount point: rewritten in place"
                                           << QStringList{"interfaces"};
    QTest::newRow("read-only folder, writable file")
        << Folder::ReadOnlyWithWritableFile << true
        << "/etc/network takes no new file \\(Read-only file system\\): /etc/network/interfaces rewritten in place"
        << QStringList{"interfaces"};
}

void tst_System::changeIpKeepsTheOldFileUnlessTheNewOneIsSaved()
{
    QFETCH(Folder, folder);
    QFETCH(bool, saved);
    QFETCH(QString, message);
    QFETCH(QStringList, files);

    QSettings().remove("firstTime");
    const QByteArray old = interfacesFile();
    QVERIFY(old.contains(harness::panelIp().toLatin1()));
    QTemporaryDir dir;
    QVERIFY(mountNetworkFolder(folder, old, dir.filePath("bound")));

    debugMessages.clear();
    qInstallMessageHandler(keepMessage);
    System system;
    system.ChangeIp(QHostAddress("10.0.0.7"));
    qInstallMessageHandler(nullptr);

    QCOMPARE(interfacesFile(), saved ? fourLines("10.0.0.7") : old);
    QCOMPARE(system.IsFirstTime(), !saved);
    QCOMPARE(firstTimeInNewProcess(), QByteArray(saved ? "false" : "true"));
    if (!saved)
        QCOMPARE(eth0Ipv4(), QList<QHostAddress>{QHostAddress(harness::panelIp())});
    // No temporary file stays behind.
    QCOMPARE(QDir("/etc/network").entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot), files);
    if (message.isEmpty())
        QCOMPARE(debugMessages, QStringList());
    else
        QVERIFY2(debugMessages.size() == 1
                     && QRegularExpression(QRegularExpression::anchoredPattern(message)).match(debugMessages[0]).hasMatch(),
                 qPrintable(debugMessages.join('\n')));
}

void tst_System::cleanup()
{
    // Only the tmpfs above; it takes the file's bind mount with it.
    if (networkFolderMounted && umount2("/etc/network", MNT_DETACH) == 0)
        networkFolderMounted = false;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName("talvenor");
    QCoreApplication::setApplicationName("quarnel");
    if (argc > 1 && qstrcmp(argv[1], ChildMode) == 0) {
        printf("%s\n", System().IsFirstTime() ? "true" : "false");
        return 0;
    }
    tst_System test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_system.moc"
