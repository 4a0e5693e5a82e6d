#include <QTest>
#include <QSignalSpy>

#include <QFile>
#include <QSettings>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QTextCodec>

#include <memory>

#include "harness.h"
#include "headboxchecker.h"
#include "pcside.h"
#include "testhub.h"

#include <sys/mount.h>

static const QByteArray PanelOctets("\xC6\x33\x64\x0A", 4); // 198.51.100.10
static const QByteArray PcOctets("\xC6\x33\x64\x01", 4);    // 198.51.100.1
static const QByteArray NoAddress(4, '\0');

class tst_Broadcasts : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void firstStatusRecordWhenRelayIsCreated();
    void discoveryDatagramText_data();
    void discoveryDatagramText();
    void checkerReportWithoutHeadboxSendsNothing();
    void lateReportWhilePcConnectedSendsNothing();
    void statusRecord_data();
    void statusRecord();
    void longSerialCutInsideField_data();
    void longSerialCutInsideField();
    void noUdpPortOpenForReading();
    void datagramsLeaveFromNewAddressAfterUserChange();
    void failedSaveKeepsBroadcastsOnOldAddress();

private:
    // A hub whose first tick has come: socket bound, workers running.
    void startHub();

    HeadboxLink *link = nullptr;
    TestHub *hub = nullptr;
    QUdpSocket *discovery = nullptr;
    QUdpSocket *status = nullptr;
};

void tst_Broadcasts::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
}

void tst_Broadcasts::init()
{
    discovery = pcside::udpSocket(8192);
    status = pcside::udpSocket(8193);
    QVERIFY(discovery && status);
}

void tst_Broadcasts::cleanup()
{
    delete hub;
    hub = nullptr;
    link = nullptr;
    delete discovery;
    delete status;
    restorePanelAddress();
}

void tst_Broadcasts::startHub()
{
    link = new HeadboxLink;
    hub = new TestHub(link);
    hub->driveTicks();
    hub->tick();
    QVERIFY(hub->_interfaceReader != nullptr);
    QVERIFY(hub->_udpSocket != nullptr);
}

void tst_Broadcasts::firstStatusRecordWhenRelayIsCreated()
{
    startHub();
    QTRY_VERIFY(status->hasPendingDatagrams());
    const QList<QNetworkDatagram> got = drain(status);
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.at(0).data(), expectedStatus("", NoAddress, PanelOctets));
    QCOMPARE(got.at(0).senderAddress(), QHostAddress(harness::panelIp()));
    QCOMPARE(got.at(0).destinationPort(), 8193);
}

void tst_Broadcasts::discoveryDatagramText_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<int>("devices");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("SN01") << "SN01" << 1
                          << QByteArray("{\n"
                                        "    \"connected_to\": \"cable\",\n"
                                        "    \"name\": \"SN01\",\n"
                                        "    \"num_devices\": 1,\n"
                                        "    \"remote_terminal_port\": 2000\n"
                                        "}\n");
    QTest::newRow("quote and backslash") << "AB\"C\\D-1234" << 3
                                         << QByteArray("{\n"
                                                       "    \"connected_to\": \"cable\",\n"
                                                       "    \"name\": \"AB\\\"C\\\\D-1234\",\n"
                                                       "    \"num_devices\": 3,\n"
                                                       "    \"remote_terminal_port\": 2000\n"
                                                       "}\n");
}

void tst_Broadcasts::discoveryDatagramText()
{
    QFETCH(QString, serial);
    QFETCH(int, devices);
    QFETCH(QByteArray, text);

    startHub();
    QSignalSpy plugged(hub, &QuarnelNetwork::headboxPluggedState);
    QSignalSpy log(hub, &QuarnelNetwork::AddLogItem);
    hub->SendBroadcastRequest(true, serial, short(devices));

    QTRY_VERIFY(discovery->hasPendingDatagrams());
    const QList<QNetworkDatagram> got = drain(discovery);
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.at(0).data(), text);
    QCOMPARE(got.at(0).senderAddress(), QHostAddress(harness::panelIp()));
    QCOMPARE(got.at(0).destinationAddress(), QHostAddress(QHostAddress::Broadcast));

    QCOMPARE(plugged.size(), 1);
    QCOMPARE(plugged.at(0), QVariantList({true, serial, devices}));
    QTRY_VERIFY(!log.isEmpty());
    QCOMPARE(log.at(0).at(0).toString(),
             "Send Broadcast Request " + serial + "  devices=" + QString::number(devices));
}

void tst_Broadcasts::checkerReportWithoutHeadboxSendsNothing()
{
    startHub();
    // The checker of this hub finds no headbox and says so every cycle.
    QSignalSpy plugged(hub, &QuarnelNetwork::headboxPluggedState);
    QTRY_VERIFY_WITH_TIMEOUT(plugged.size() >= 2, 10000);
    for (const QVariantList &report : plugged)
        QCOMPARE(report, QVariantList({false, QString(), 0}));

    // A request for a present headbox sent afterwards arrives alone.
    hub->SendBroadcastRequest(false, "ABC-1234/56-7", 1);
    for (const QVariantList &report : plugged)
        QCOMPARE(report.at(0).toBool(), false);
    hub->SendBroadcastRequest(true, "SN01", 1);
    QTRY_VERIFY(discovery->hasPendingDatagrams());
    const QList<QNetworkDatagram> got = drain(discovery);
    QCOMPARE(got.size(), 1);
    QVERIFY2(got.at(0).data().contains("\"name\": \"SN01\""), got.at(0).data().constData());
}

void tst_Broadcasts::lateReportWhilePcConnectedSendsNothing()
{
    startHub();
    QSignalSpy connection(hub, &QuarnelNetwork::ClientConnectionState);
    QSignalSpy log(hub, &QuarnelNetwork::AddLogItem);
    std::unique_ptr<QTcpSocket> pc(pcside::tcpConnect(QHostAddress(harness::panelIp()), 2000));
    QVERIFY(pc);
    QTRY_VERIFY(!connection.isEmpty());
    QCOMPARE(connection.last().at(0).toBool(), true);

    // A check that ended after the relay paused the checker reports late.
    emit hub->_checkHeadboxConnected->ConnectionFound(true, "LATE-0000/00-1", 1);
    for (const QVariantList &line : log)
        QVERIFY2(!line.at(0).toString().startsWith("Send Broadcast Request"), qPrintable(line.at(0).toString()));

    // After the exam a report goes out again, and it is the first one.
    pc->abort();
    QTRY_COMPARE(connection.last().at(0).toBool(), false);
    emit hub->_checkHeadboxConnected->ConnectionFound(true, "NEXT-0000/00-1", 1);
    QTRY_VERIFY(discovery->hasPendingDatagrams());
    const QList<QNetworkDatagram> got = drain(discovery);
    QCOMPARE(got.size(), 1);
    QVERIFY2(got.at(0).data().contains("NEXT-0000/00-1"), got.at(0).data().constData());
}

void tst_Broadcasts::statusRecord_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("pc");
    QTest::addColumn<QByteArray>("record");

    QTest::newRow("PC connected") << "ABC-1234/56-7" << "198.51.100.1"
                                  << expectedStatus("ABC-1234/56-7", PcOctets, PanelOctets);
    QTest::newRow("PC seen by a dual-stack server") << "ABC-1234/56-7" << "::ffff:198.51.100.1"
                                                    << expectedStatus("ABC-1234/56-7", PcOctets, PanelOctets);
    QTest::newRow("PC gone") << "ABC-1234/56-7" << QString()
                             << expectedStatus("ABC-1234/56-7", NoAddress, PanelOctets);
    QTest::newRow("IPv6 PC is sent as 0") << "ABC-1234/56-7" << "2001:db8::1"
                                          << expectedStatus("ABC-1234/56-7", NoAddress, PanelOctets);
    QTest::newRow("no headbox") << QString() << "198.51.100.1" << expectedStatus("", PcOctets, PanelOctets);
}

void tst_Broadcasts::statusRecord()
{
    QFETCH(QString, serial);
    QFETCH(QString, pc);
    QFETCH(QByteArray, record);

    startHub();
    QTRY_VERIFY(status->hasPendingDatagrams());
    drain(status);
    hub->HeadboxPlugged(!serial.isEmpty(), serial, serial.isEmpty() ? 0 : 1);

    QSignalSpy connection(hub, &QuarnelNetwork::ClientConnectionState);
    if (pc.isEmpty())
        hub->ClientDisconnected();
    else
        hub->SendBroadcastStatusConnected(QHostAddress(pc));

    QTRY_VERIFY(status->hasPendingDatagrams());
    const QList<QNetworkDatagram> got = drain(status);
    QCOMPARE(got.size(), 1);
    QCOMPARE(got.at(0).data(), record);
    QCOMPARE(connection.size(), pc.isEmpty() ? 1 : 0);
    if (pc.isEmpty())
        QCOMPARE(connection.at(0).at(0).toBool(), false);
}

void tst_Broadcasts::longSerialCutInsideField_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QByteArray>("field");

    QTest::newRow("15 bytes fit") << "ABC-1234/56-789" << QByteArray("ABC-1234/56-789");
    QTest::newRow("16 bytes") << "ABC-1234/56-7890" << QByteArray("ABC-1234/56-789");
    QTest::newRow("40 bytes") << QString(40, 'X') << QByteArray(15, 'X');
    QTest::newRow("no half character") << QString::fromUtf8("ABC-1234/56-78\xC3\xA8")
                                       << QByteArray("ABC-1234/56-78");
}

void tst_Broadcasts::longSerialCutInsideField()
{
    QFETCH(QString, serial);
    QFETCH(QByteArray, field);

    QTextCodec *previous = QTextCodec::codecForLocale();
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
    startHub();
    QTRY_VERIFY(status->hasPendingDatagrams());
    drain(status);

    hub->HeadboxPlugged(true, serial, 1);
    QTextCodec::setCodecForLocale(previous);
    QCOMPARE(QByteArray(hub->deviceSN, 16), field.leftJustified(16, '\0'));

    hub->SendBroadcastStatusConnected(QHostAddress(harness::pcIp()));
    QTRY_VERIFY(status->hasPendingDatagrams());
    QCOMPARE(drain(status).at(0).data(), expectedStatus(field, PcOctets, PanelOctets));

    // An unplugged report clears the whole field.
    hub->HeadboxPlugged(false, QString(), 0);
    QCOMPARE(QByteArray(hub->deviceSN, 16), QByteArray(16, '\0'));
}

void tst_Broadcasts::noUdpPortOpenForReading()
{
    startHub();
    hub->SendBroadcastRequest(true, "ABC-1234/56-7", 1);
    QTRY_VERIFY(discovery->hasPendingDatagrams());

    QVERIFY(hub->_udpSocket->localPort() != 8192 && hub->_udpSocket->localPort() != 8193);
    for (quint16 port : {quint16(8192), quint16(8193)}) {
        QUdpSocket probe;
        QVERIFY2(probe.bind(QHostAddress::AnyIPv4, port, QUdpSocket::DontShareAddress),
                 qPrintable(QString("port %1 is taken on the terminal").arg(port)));
    }

    // A datagram to the terminal's sending port gets no answer either.
    QUdpSocket *asker = pcside::udpSocket(0, QHostAddress(harness::pcIp()));
    QVERIFY(asker);
    drain(discovery);
    asker->writeDatagram("hello?", QHostAddress(harness::panelIp()), hub->_udpSocket->localPort());
    // It arrives, and once the event loop has turned it is still unread.
    QTRY_VERIFY(hub->_udpSocket->hasPendingDatagrams());
    QCoreApplication::processEvents();
    QVERIFY(hub->_udpSocket->hasPendingDatagrams());
    QVERIFY(!asker->hasPendingDatagrams());
    delete asker;
}

void tst_Broadcasts::datagramsLeaveFromNewAddressAfterUserChange()
{
    startHub();
    QTRY_VERIFY(status->hasPendingDatagrams());
    drain(status);

    const QHostAddress newIp("198.51.100.20");
    hub->UserChangeIp(newIp);
    QCOMPARE(hub->_udpSocket->localAddress(), newIp);

    hub->SendBroadcastRequest(true, "ABC-1234/56-7", 1);
    hub->SendBroadcastStatusConnected(QHostAddress(harness::pcIp()));
    QTRY_VERIFY(discovery->hasPendingDatagrams());
    QTRY_VERIFY(status->hasPendingDatagrams());
    const QList<QNetworkDatagram> d = drain(discovery);
    QList<QNetworkDatagram> s = drain(status);
    QCOMPARE(d.last().senderAddress(), newIp);
    QCOMPARE(s.last().senderAddress(), newIp);
    QCOMPARE(s.last().data(), expectedStatus("", PcOctets, QByteArray("\xC6\x33\x64\x14", 4)));

    // Back to the harness's address for the rest of the run.
    hub->UserChangeIp(QHostAddress(harness::panelIp()));
    QCOMPARE(hub->_udpSocket->localAddress(), QHostAddress(harness::panelIp()));
}

void tst_Broadcasts::failedSaveKeepsBroadcastsOnOldAddress()
{
    QSettings().remove(QStringLiteral("firstTime"));
    startHub();
    QTRY_VERIFY(status->hasPendingDatagrams());
    drain(status);
    // The harness's /etc/network, read-only as on a panel whose disk was
    // remounted so after an error.
    QCOMPARE(mount("/etc/network", "/etc/network", nullptr, MS_BIND, nullptr), 0);
    const bool readOnly = mount(nullptr, "/etc/network", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    qRegisterMetaType<QHostAddress>();
    QSignalSpy address(hub, &QuarnelNetwork::IpAddress);
    QSignalSpy log(hub, &QuarnelNetwork::AddLogItem);
    DebugLines debug;
    if (readOnly)
        hub->UserChangeIp(QHostAddress("198.51.100.20"));
    QCOMPARE(umount2("/etc/network", MNT_DETACH), 0);
    QVERIFY(readOnly);

    QCOMPARE(address.size(), 0);
    QCOMPARE(hub->ipAddr, QHostAddress(harness::panelIp()));
    hub->SendBroadcastRequest(true, "ABC-1234/56-7", 1);
    hub->SendBroadcastStatusConnected(QHostAddress(harness::pcIp()));
    QTRY_VERIFY(discovery->hasPendingDatagrams());
    QTRY_VERIFY(status->hasPendingDatagrams());
    QCOMPARE(drain(discovery).last().senderAddress(), QHostAddress(harness::panelIp()));
    const QNetworkDatagram record = drain(status).last();
    QCOMPARE(record.senderAddress(), QHostAddress(harness::panelIp()));
    QCOMPARE(record.data(), expectedStatus("", PcOctets, PanelOctets));

    QVERIFY(System().IsFirstTime());
    const QString failure = "Address 198.51.100.20 not saved: rewriting /etc/network/interfaces: Read-only file system";
    QStringList lines;
    for (const QList<QVariant> &line : log)
        lines << line.at(0).toString();
    QCOMPARE(lines.filter(QStringLiteral("Address")), QStringList{failure});
    QCOMPARE(DebugLines::count(failure), 1);
}

QTEST_GUILESS_MAIN(tst_Broadcasts)
#include "tst_broadcasts.moc"
