#include <QtTest>
#include <QNetworkInterface>

#include "harness.h"

// The harness is what keeps broadcasts, ifupdown and reboots away from the
// machine running the tests; these cases prove each of its walls.
class tst_Harness : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void onlyPrivateInterfacesAreVisible();
    void interfacesFileIsTheTemporaryOne();
    void networkNamespaceIsNotTheMachines();
    void sudoIsRecordedNotRun();
    void pcSideIsAnotherHostOnTheLan();
};

static QString readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

void tst_Harness::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
}

void tst_Harness::onlyPrivateInterfacesAreVisible()
{
    QStringList names;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
        names << i.name();
    names.sort();
    QCOMPARE(names, (QStringList{"eth0", "lo"}));

    const QNetworkInterface eth0 = QNetworkInterface::interfaceFromName("eth0");
    QStringList addresses;
    for (const QNetworkAddressEntry &e : eth0.addressEntries()) {
        if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
            addresses << e.ip().toString();
    }
    QCOMPARE(addresses, QStringList{harness::panelIp()});
}

void tst_Harness::interfacesFileIsTheTemporaryOne()
{
    const QString temporary = QString::fromLocal8Bit(qgetenv("QUARNEL_INTERFACES"));
    QVERIFY(temporary.startsWith(harness::dir()));
    QVERIFY(readAll("/etc/network/interfaces").startsWith("# quarnel harness"));

    // Same file, not a copy: a write through the system path lands in ours.
    QFile system("/etc/network/interfaces");
    QVERIFY(system.open(QIODevice::Append));
    system.write("# touched by tst_harness\n");
    system.close();
    QVERIFY(readAll(temporary).endsWith("# touched by tst_harness\n"));
}

void tst_Harness::networkNamespaceIsNotTheMachines()
{
    const QString mine = QFile::symLinkTarget("/proc/self/ns/net");
    const QString init = QFile::symLinkTarget("/proc/1/ns/net");
    QVERIFY(!mine.isEmpty());
    if (init.isEmpty())
        QSKIP("cannot read the init process's namespace here");
    QVERIFY2(mine != init, qPrintable(mine));
    QVERIFY(QFile::symLinkTarget("/proc/self/ns/ipc") != QFile::symLinkTarget("/proc/1/ns/ipc"));
    QVERIFY(QFile::symLinkTarget("/proc/self/ns/mnt") != QFile::symLinkTarget("/proc/1/ns/mnt"));
}

void tst_Harness::sudoIsRecordedNotRun()
{
    QCOMPARE(QProcess::execute("sudo", {"reboot"}), 0);
    QVERIFY(readAll(harness::sudoLog()).split('\n').contains("reboot"));
}

void tst_Harness::pcSideIsAnotherHostOnTheLan()
{
    QProcess pc;
    pc.start(QStringLiteral(QUARNEL_SCRIPTS_DIR "/pc.sh"), {"ip", "-4", "-o", "addr", "show"});
    QVERIFY(pc.waitForFinished(10000));
    const QString out = QString::fromUtf8(pc.readAllStandardOutput());
    QVERIFY2(out.contains("pc0") && out.contains(harness::pcIp() + "/24"), qPrintable(out));
    QVERIFY(!out.contains("eth0"));
}

QTEST_GUILESS_MAIN(tst_Harness)
#include "tst_harness.moc"
