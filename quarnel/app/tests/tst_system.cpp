#include <QtTest>

#include <QFile>
#include <QNetworkInterface>
#include <QProcess>

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

class tst_System : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void changeIpRewritesFileRestartsInterfaceAndClearsFirstTime();
    void changeIpReplacesOtherEntries();
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
