#include <QTest>
#include <QSignalSpy>

#include <QFile>
#include <QPointer>
#include <QSettings>
#include <QTcpSocket>

#include "harness.h"
#include "headboxchecker.h"
#include "interfacereader.h"
#include "pcside.h"
#include "testhub.h"

static QByteArray interfacesFile()
{
    QFile f("/etc/network/interfaces");
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

static QByteArray staticFile(const QString &address)
{
    return "auto eth0\niface eth0 inet static\n    address " + address.toLatin1() + "\n    netmask 255.255.255.0\n";
}

static void setFirstTime(bool first)
{
    QSettings settings;
    if (first)
        settings.remove("firstTime");
    else
        settings.setValue("firstTime", "no");
    settings.sync();
}

static QByteArray sudoLog()
{
    QFile f(harness::sudoLog());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

class tst_QuarnelNetwork : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void failingSetUpRetriedAtNextTickThenWorkersOnce();
    void headboxReportsReachPanelAndSerialField();
    void lossAndRecoveryKeepWorkersAndOneResumeConnection();
    void displayPowerForwardedOnce();
    void userChangeIpToCurrentAddressAppliedOnlyTheFirstTime();
    void userChangeIpRefusesUnreachableAddresses_data();
    void userChangeIpRefusesUnreachableAddresses();
    void userChangeIpWithoutRelay();
    void userChangeIpWithoutPcLeavesLinkToChecker();
    void userChangeIpDisconnectsPcFirstThenRebinds();
    void destroyWithPcConnectedAndCheckerPausedEndsThreads();

private:
    void startHub(HeadboxLink *link);

    TestHub *hub = nullptr;
};

void tst_QuarnelNetwork::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
    qRegisterMetaType<QHostAddress>();
}

void tst_QuarnelNetwork::cleanup()
{
    delete hub;
    hub = nullptr;
    restorePanelAddress();
}

void tst_QuarnelNetwork::startHub(HeadboxLink *link)
{
    hub = new TestHub(link);
    hub->driveTicks();
    hub->tick();
    QVERIFY(hub->_interfaceReader != nullptr);
}

void tst_QuarnelNetwork::failingSetUpRetriedAtNextTickThenWorkersOnce()
{
    DebugLines debug;
    HeadboxLink *link = new HeadboxLink;
    link->setUpFailures = 2;
    hub = new TestHub(link);
    hub->driveTicks();
    QSignalSpy log(hub, &QuarnelNetwork::AddLogItem);

    // One set-up per tick of the detector, none in between.
    for (int attempt = 1; attempt <= 2; ++attempt) {
        hub->tick();
        QCoreApplication::processEvents();
        QCOMPARE(link->calls("TestInterface").size(), attempt);
        QVERIFY2(hub->_checkHeadboxConnected == nullptr && hub->_orv == nullptr
                     && hub->_interfaceReader == nullptr,
                 "workers before a successful set-up");
    }
    hub->tick();
    QCOMPARE(link->calls("TestInterface").size(), 3);
    QCOMPARE(DebugLines::count("RIPROVAAAAAAAAAAAAAAA"), 2);
    QCOMPARE(link->calls("Close").size(), 2);
    QCOMPARE(link->calls("Open").size(), 3);

    HeadboxChecker *checker = hub->_checkHeadboxConnected;
    InterfaceReader *relay = hub->_interfaceReader;
    Orv *orv = hub->_orv;
    QVERIFY(checker && checker->isRunning());
    QVERIFY(relay && relay->isRunning());

    // Nothing is set up or created again while the link stays present, over
    // further ticks and a check of the running checker.
    QSignalSpy reports(hub, &QuarnelNetwork::headboxPluggedState);
    hub->tick();
    QTRY_VERIFY_WITH_TIMEOUT(!reports.isEmpty(), 10000);
    hub->tick();
    QCOMPARE(link->calls("TestInterface").size(), 3);
    QCOMPARE(hub->_checkHeadboxConnected, checker);
    QCOMPARE(hub->_interfaceReader, relay);
    QCOMPARE(hub->_orv, orv);
    QCOMPARE(DebugLines::count("RIPROVAAAAAAAAAAAAAAA"), 2);

    QStringList texts;
    for (const QVariantList &l : log)
        if (!l.at(0).toString().startsWith("Send Broadcast"))
            texts << l.at(0).toString();
    QCOMPARE(texts.count("interface present"), 3);
    QCOMPARE(texts.count("quarnel Status: OK"), 1);
    QVERIFY(texts.indexOf("quarnel Status: OK") > texts.lastIndexOf("interface present"));
}

void tst_QuarnelNetwork::headboxReportsReachPanelAndSerialField()
{
    HeadboxLink *link = new HeadboxLink;
    link->setSerial("ABC-1234/56-7");
    startHub(link);
    QSignalSpy plugged(hub, &QuarnelNetwork::headboxPluggedState);

    QTRY_VERIFY_WITH_TIMEOUT(plugged.size() >= 2, 10000);
    // The broadcast slot reports first, then the state slot: twice per report.
    QCOMPARE(plugged.at(0), QVariantList({true, "ABC-1234/56-7", 1}));
    QCOMPARE(plugged.at(1), QVariantList({true, "ABC-1234/56-7", 1}));
    QCOMPARE(QByteArray(hub->deviceSN, 16), QByteArray("ABC-1234/56-7").leftJustified(16, '\0'));

    link->setSerial(QByteArray());
    QTRY_VERIFY_WITH_TIMEOUT(plugged.last().at(0).toBool() == false, 10000);
    QCOMPARE(plugged.last(), QVariantList({false, QString(), 0}));
    QCOMPARE(QByteArray(hub->deviceSN, 16), QByteArray(16, '\0'));
}

void tst_QuarnelNetwork::lossAndRecoveryKeepWorkersAndOneResumeConnection()
{
    DebugLines debug;
    HeadboxLink *link = new HeadboxLink;
    startHub(link);
    HeadboxChecker *checker = hub->_checkHeadboxConnected;
    InterfaceReader *relay = hub->_interfaceReader;
    QSignalSpy log(hub, &QuarnelNetwork::AddLogItem);

    link->presence = -1;
    hub->tick();
    QCOMPARE(link->calls("ResetInterface").size(), 1);
    QCOMPARE(DebugLines::count("check headbox pause"), 1);
    QVERIFY(log.contains(QVariantList{"Error: interface NOT present!"}));

    // While the link is lost, the end of an exam does not wake the checker.
    emit relay->EndExamOrDisconnection();
    QCOMPARE(DebugLines::count("check headbox resume"), 0);

    link->presence = 0;
    hub->tick();
    QCOMPARE(DebugLines::count("check headbox resume"), 1);
    QCOMPARE(link->calls("TestInterface").size(), 2);
    QCOMPARE(hub->_checkHeadboxConnected, checker);
    QCOMPARE(hub->_interfaceReader, relay);

    emit relay->EndExamOrDisconnection();
    QCOMPARE(DebugLines::count("check headbox resume"), 2);

    // A repeated report of a link that is up neither sets it up again under
    // the running checker nor doubles the connection.
    hub->UsbPresence(true);
    hub->UsbPresence(true);
    QCOMPARE(link->calls("TestInterface").size(), 2);
    const int before = DebugLines::count("check headbox resume");
    emit relay->EndExamOrDisconnection();
    QCOMPARE(DebugLines::count("check headbox resume"), before + 1);

    QCOMPARE(link->calls("ResetInterface").size(), 1);
    QCOMPARE(sudoLog(), QByteArray());
}

void tst_QuarnelNetwork::displayPowerForwardedOnce()
{
    HeadboxLink *link = new HeadboxLink;
    hub = new TestHub(link);
    hub->TurnOffDisplay();
    hub->TurnOnDisplay();
    const QList<RecordingOrvInterface::Call> calls = link->calls("DisplayPower");
    QCOMPARE(calls.size(), 2);
    QCOMPARE(calls.at(0).args, QVariantList{false});
    QCOMPARE(calls.at(1).args, QVariantList{true});
}

void tst_QuarnelNetwork::userChangeIpToCurrentAddressAppliedOnlyTheFirstTime()
{
    setFirstTime(true);
    startHub(new HeadboxLink);
    const QHostAddress panel(harness::panelIp());
    QCOMPARE(hub->ipAddr, panel);
    QVERIFY(interfacesFile() != staticFile(harness::panelIp()));
    QSignalSpy address(hub, &QuarnelNetwork::IpAddress);

    // Kept in the dialog opened at the first start: made static and noted.
    hub->UserChangeIp(panel);

    QCOMPARE(interfacesFile(), staticFile(harness::panelIp()));
    QVERIFY(!System().IsFirstTime());
    QCOMPARE(address.size(), 1);
    QCOMPARE(address.at(0).at(0).value<QHostAddress>(), panel);
    QCOMPARE(address.at(0).at(1).toBool(), false);
    QCOMPARE(hub->_udpSocket->localAddress(), panel);

    // The next report of the address no longer asks for the dialog.
    hub->IpAddr(panel);
    QCOMPARE(address.size(), 2);
    QCOMPARE(address.at(1).at(1).toBool(), false);

    // From then on the current address, like a null one, changes nothing.
    address.clear();
    const QByteArray file = interfacesFile();
    QUdpSocket *socket = hub->_udpSocket;
    QSignalSpy connection(hub, &QuarnelNetwork::ClientConnectionState);
    hub->UserChangeIp(panel);
    hub->UserChangeIp(QHostAddress());
    QCOMPARE(address.size(), 0);
    QCOMPARE(connection.size(), 0);
    QCOMPARE(interfacesFile(), file);
    QCOMPARE(hub->_udpSocket, socket);
}

void tst_QuarnelNetwork::userChangeIpRefusesUnreachableAddresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("firstTime");
    QTest::addColumn<bool>("usable");

    QTest::newRow("unspecified, offered before any address") << "0.0.0.0" << true << false;
    QTest::newRow("this network") << "0.1.2.3" << false << false;
    QTest::newRow("limited broadcast") << "255.255.255.255" << true << false;
    QTest::newRow("multicast, lowest") << "224.0.0.1" << false << false;
    QTest::newRow("multicast, highest") << "239.255.255.254" << false << false;
    QTest::newRow("reserved") << "240.0.0.1" << false << false;
    QTest::newRow("loopback") << "127.0.0.1" << true << false;
    QTest::newRow("loopback, other") << "127.198.51.10" << false << false;
    QTest::newRow("link-local") << "169.254.17.3" << true << false;
    QTest::newRow("network of the /24") << "198.51.100.0" << false << false;
    QTest::newRow("broadcast of the /24") << "198.51.100.255" << true << false;
    QTest::newRow("IPv6") << "2001:db8::10" << false << false;
    QTest::newRow("IPv6 loopback") << "::1" << true << false;
    QTest::newRow("IPv4-mapped IPv6") << "::ffff:198.51.100.30" << false << false;
    QTest::newRow("highest host of the /24") << "198.51.100.254" << true << true;
}

void tst_QuarnelNetwork::userChangeIpRefusesUnreachableAddresses()
{
    QFETCH(QString, text);
    QFETCH(bool, firstTime);
    QFETCH(bool, usable);
    const QHostAddress newIp(text);
    QVERIFY(!newIp.isNull());

    setFirstTime(firstTime);
    HeadboxLink *link = new HeadboxLink;
    startHub(link);
    QSignalSpy connection(hub, &QuarnelNetwork::ClientConnectionState);
    QTcpSocket *pc = pcside::tcpConnect(QHostAddress(harness::panelIp()), 2000);
    QVERIFY(pc);
    QTRY_COMPARE(connection.size(), 1);
    const QByteArray file = interfacesFile();
    QUdpSocket *socket = hub->_udpSocket;
    QSignalSpy address(hub, &QuarnelNetwork::IpAddress);
    QSignalSpy log(hub, &QuarnelNetwork::AddLogItem);

    hub->UserChangeIp(newIp);

    const QVariantList refusal{"Address refused: " + newIp.toString()};
    if (usable) {
        QVERIFY(!log.contains(refusal));
        QCOMPARE(interfacesFile(), staticFile(text));
        QCOMPARE(address.size(), 1);
        QCOMPARE(hub->_udpSocket->localAddress(), newIp);
        QVERIFY(!System().IsFirstTime());
        QCOMPARE(connection.last().at(0).toBool(), false);
        delete pc;
        return;
    }
    QVERIFY2(log.contains(refusal), qPrintable(text));
    QCOMPARE(interfacesFile(), file);
    QCOMPARE(address.size(), 0);
    QCOMPARE(hub->ipAddr, QHostAddress(harness::panelIp()));
    QCOMPARE(hub->_udpSocket, socket);
    QCOMPARE(System().IsFirstTime(), firstTime);
    // The exam goes on: what the PC sends still reaches the headbox.
    pc->write("\r\nexam goes on\r\n");
    QTRY_VERIFY(link->written().contains("exam goes on"));
    QCOMPARE(connection.size(), 1);
    QCOMPARE(pc->state(), QAbstractSocket::ConnectedState);
    delete pc;
}

void tst_QuarnelNetwork::userChangeIpWithoutRelay()
{
    HeadboxLink *link = new HeadboxLink;
    link->setUpFailures = 1000;
    hub = new TestHub(link);
    hub->driveTicks();
    hub->tick();
    QVERIFY(hub->_udpSocket != nullptr);
    QSignalSpy address(hub, &QuarnelNetwork::IpAddress);

    hub->UserChangeIp(QHostAddress("198.51.100.30"));

    QVERIFY(hub->_interfaceReader == nullptr);
    QCOMPARE(address.size(), 1);
    QCOMPARE(address.at(0).at(0).value<QHostAddress>(), QHostAddress("198.51.100.30"));
    QCOMPARE(address.at(0).at(1).toBool(), false);
    QCOMPARE(hub->_udpSocket->localAddress(), QHostAddress("198.51.100.30"));

    hub->UserChangeIp(QHostAddress(harness::panelIp()));
    QCOMPARE(hub->_udpSocket->localAddress(), QHostAddress(harness::panelIp()));
}

void tst_QuarnelNetwork::userChangeIpWithoutPcLeavesLinkToChecker()
{
    HeadboxLink *link = new HeadboxLink;
    startHub(link);
    QSignalSpy connection(hub, &QuarnelNetwork::ClientConnectionState);
    link->clear();

    hub->UserChangeIp(QHostAddress("198.51.100.22"));

    QCOMPARE(hub->_udpSocket->localAddress(), QHostAddress("198.51.100.22"));
    QCOMPARE(connection.size(), 0);
    QVERIFY(!link->written().contains("RDJW008000"));
    QVERIFY(link->calls("SetMultiHeadInfo").isEmpty());
}

// Notes what the configuration file said when the PC was let go.
class FileAtDisconnection : public QObject
{
    Q_OBJECT
public:
    QList<QByteArray> files;
public slots:
    void Seen(bool connected)
    {
        if (!connected)
            files << interfacesFile();
    }
};

void tst_QuarnelNetwork::userChangeIpDisconnectsPcFirstThenRebinds()
{
    HeadboxLink *link = new HeadboxLink;
    link->setSerial("ABC-1234/56-7");
    startHub(link);
    QSignalSpy connection(hub, &QuarnelNetwork::ClientConnectionState);
    QTcpSocket *pc = pcside::tcpConnect(QHostAddress(harness::panelIp()), 2000);
    QVERIFY(pc);
    QTRY_COMPARE(connection.size(), 1);
    QCOMPARE(connection.at(0).at(0).toBool(), true);

    const QByteArray oldFile = interfacesFile();
    FileAtDisconnection seen;
    connect(hub, &QuarnelNetwork::ClientConnectionState, &seen, &FileAtDisconnection::Seen);
    QSignalSpy address(hub, &QuarnelNetwork::IpAddress);
    QSignalSpy pcClosed(pc, &QTcpSocket::disconnected);
    const QHostAddress newIp("198.51.100.21");

    hub->UserChangeIp(newIp);

    QVERIFY(!seen.files.isEmpty());
    QCOMPARE(seen.files.first(), oldFile);
    QCOMPARE(interfacesFile(), QByteArray("auto eth0\niface eth0 inet static\n"
                                          "    address 198.51.100.21\n    netmask 255.255.255.0\n"));
    QCOMPARE(address.size(), 1);
    QCOMPARE(address.at(0).at(0).value<QHostAddress>(), newIp);
    QCOMPARE(address.at(0).at(1).toBool(), false);
    QCOMPARE(hub->ipAddr, newIp);
    QCOMPARE(hub->_udpSocket->localAddress(), newIp);
    QTRY_COMPARE(pcClosed.size(), 1);
    delete pc;

    hub->UserChangeIp(QHostAddress(harness::panelIp()));
    QCOMPARE(hub->_udpSocket->localAddress(), QHostAddress(harness::panelIp()));
}

// Counts threads that ended, from the ending thread itself.
class FinishedThreads : public QObject
{
    Q_OBJECT
public:
    std::atomic<int> count{0};
public slots:
    void Finished() { ++count; }
};

void tst_QuarnelNetwork::destroyWithPcConnectedAndCheckerPausedEndsThreads()
{
    DebugLines debug;
    startHub(new HeadboxLink);
    QPointer<HeadboxChecker> checker = hub->_checkHeadboxConnected;
    QPointer<InterfaceReader> relay = hub->_interfaceReader;
    FinishedThreads finished;
    // By name: ThreadSanitizer cannot see Qt's locks around a pointer connection's slot object called in the ending thread.
    connect(checker, SIGNAL(finished()), &finished, SLOT(Finished()), Qt::DirectConnection);
    connect(relay, SIGNAL(finished()), &finished, SLOT(Finished()), Qt::DirectConnection);
    QSignalSpy log(hub, &QuarnelNetwork::AddLogItem);

    QTcpSocket *pc = pcside::tcpConnect(QHostAddress(harness::panelIp()), 2000);
    QVERIFY(pc);
    QTRY_COMPARE(DebugLines::count("check headbox pause"), 1);

    QElapsedTimer clock;
    clock.start();
    delete hub;
    hub = nullptr;
    // Far beyond a cycle of either thread, far below the relay's longest
    // command pause: a shutdown that waits one out is caught.
    QVERIFY2(clock.elapsed() < 20000, "shutdown took too long");
    QCOMPARE(finished.count.load(), 2);
    QVERIFY(checker.isNull() && relay.isNull());
    QVERIFY(!log.isEmpty());
    QCOMPARE(log.last().at(0).toString(), QString("End program"));
    delete pc;
}

QTEST_GUILESS_MAIN(tst_QuarnelNetwork)
#include "tst_quarnelnetwork.moc"
