#include <QTest>
#include <QSignalSpy>

#include "controller.h"
#include "orvinterface.h"
#include "quarnelnetwork.h"

// Records what the hub asks of the headbox link.
class RecordingInterface : public OrvInterface
{
public:
    QList<bool> displayPower;
    void DisplayPower(bool onOff) override { displayPower << onOff; }
};

// The real hub on an inert link, so nothing touches the FPGA. The event loop
// is never entered in these tests: the hub's cable detector stays silent and
// every report comes from the test.
class TestHub : public QuarnelNetwork
{
public:
    explicit TestHub(RecordingInterface *link) : QuarnelNetwork(link, nullptr) {}
};

Q_DECLARE_METATYPE(QHostAddress)

typedef QList<QPair<bool, QString>> Reports;
Q_DECLARE_METATYPE(Reports)

namespace {
// Corner indices of the screen: 0 top left, 1 top right, 2 bottom right, 3 bottom left.
const QList<int> setupSequence = {0, 1, 3, 2};
const QList<int> exitSequence = {2, 3, 1, 0};

QStringList connectWarnings;
QtMessageHandler previousHandler = nullptr;

void catchConnectWarnings(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (type == QtWarningMsg && msg.contains(QLatin1String("QObject::connect")))
        connectWarnings << msg;
    previousHandler(type, context, msg);
}
} // namespace

class tst_Controller : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void wiringIsComplete();
    void hubReportsAreRelayed();
    void displayRequestsReachTheLink();

    void repeatFilter_data();
    void repeatFilter();
    void hubDoubleReportPassesOnce();

    void sequences_data();
    void sequences();

    void addressReport();
    void closeSetupDialog_data();
    void closeSetupDialog();
    void cancelKeepsFirstTimeMode();
    void applyBeforeAnyAddress();

private:
    RecordingInterface *link = nullptr;
    TestHub *hub = nullptr;
    Controller *ctrl = nullptr;
};

void tst_Controller::initTestCase()
{
    qRegisterMetaType<QHostAddress>();
}

void tst_Controller::init()
{
    link = new RecordingInterface;
    hub = new TestHub(link);
    connectWarnings.clear();
    previousHandler = qInstallMessageHandler(catchConnectWarnings);
    ctrl = new Controller(hub, nullptr);
    qInstallMessageHandler(previousHandler);
}

void tst_Controller::cleanup()
{
    delete ctrl;
    ctrl = nullptr;
    delete hub;
    hub = nullptr;
}

// String-based connections fail only at run time, with a warning.
void tst_Controller::wiringIsComplete()
{
    QVERIFY2(connectWarnings.isEmpty(), qPrintable(connectWarnings.join('\n')));
    // The address request leaves no trace short of reconfiguring eth0.
    QVERIFY(QObject::disconnect(ctrl, &Controller::UserChangeIp, hub, &QuarnelNetwork::UserChangeIp));
}

void tst_Controller::hubReportsAreRelayed()
{
    QSignalSpy cable(ctrl, &Controller::NetworkCableState);
    QSignalSpy client(ctrl, &Controller::ClientConnectionState);
    QSignalSpy host(ctrl, &Controller::HostName);
    QSignalSpy log(ctrl, &Controller::AddLogItem);
    QSignalSpy firmware(ctrl, &Controller::FirmwareInfo);

    hub->NetworkUnplugged();
    hub->NetworkPlugged();
    emit hub->ClientConnectionState(true);
    emit hub->NewHostName(QStringLiteral("acq-pc"));
    hub->LogItemAdded(QStringLiteral("quarnel Status: OK"));
    emit hub->FirmwareInfo(QStringLiteral("fw 3.1"));

    QCOMPARE(cable.count(), 2);
    QCOMPARE(cable.at(0).at(0).toBool(), false);
    QCOMPARE(cable.at(1).at(0).toBool(), true);
    QCOMPARE(client.count(), 1);
    QCOMPARE(client.at(0).at(0).toBool(), true);
    QCOMPARE(host.count(), 1);
    QCOMPARE(host.at(0).at(0).toString(), QStringLiteral("acq-pc"));
    QCOMPARE(log.count(), 1);
    QCOMPARE(log.at(0).at(0).toString(), QStringLiteral("quarnel Status: OK"));
    QCOMPARE(firmware.count(), 1);
    QCOMPARE(firmware.at(0).at(0).toString(), QStringLiteral("fw 3.1"));
    QCOMPARE(ctrl->fwVer, QStringLiteral("fw 3.1"));
}

void tst_Controller::displayRequestsReachTheLink()
{
    emit ctrl->TurnOffDisplay();
    emit ctrl->TurnOnDisplay();
    QCOMPARE(link->displayPower, (QList<bool>{false, true}));
}

void tst_Controller::repeatFilter_data()
{
    QTest::addColumn<Reports>("reports");
    QTest::addColumn<Reports>("passed");

    const QString a = QStringLiteral("SN-0001");
    const QString b = QStringLiteral("SN-0002");
    QTest::newRow("first report unplugged") << Reports{{false, QString()}} << Reports{{false, QString()}};
    QTest::newRow("first report plugged") << Reports{{true, a}} << Reports{{true, a}};
    QTest::newRow("same flag, other text") << Reports{{true, a}, {true, b}} << Reports{{true, a}};
    QTest::newRow("unplugged repeated") << Reports{{false, QString()}, {false, QString()}, {false, a}}
                                        << Reports{{false, QString()}};
    QTest::newRow("every change passes") << Reports{{true, a}, {false, QString()}, {false, QString()}, {true, b}}
                                         << Reports{{true, a}, {false, QString()}, {true, b}};
}

void tst_Controller::repeatFilter()
{
    QFETCH(Reports, reports);
    QFETCH(Reports, passed);

    QSignalSpy spy(ctrl, &Controller::HeadboxPluggedChangeState);
    for (const auto &r : reports)
        emit hub->headboxPluggedState(r.first, r.second, r.first ? 1 : 0);

    QCOMPARE(spy.count(), passed.count());
    for (int i = 0; i < passed.count(); ++i) {
        QCOMPARE(spy.at(i).at(0).toBool(), passed.at(i).first);
        QCOMPARE(spy.at(i).at(1).toString(), passed.at(i).second);
        QCOMPARE(spy.at(i).at(2).value<short>(), short(passed.at(i).first ? 1 : 0));
    }
}

// One checker report reaches both of the hub's slots, and both emit the
// plugged state: the screen must hear of it once.
void tst_Controller::hubDoubleReportPassesOnce()
{
    QSignalSpy fromHub(hub, &QuarnelNetwork::headboxPluggedState);
    QSignalSpy spy(ctrl, &Controller::HeadboxPluggedChangeState);

    for (int cycle = 0; cycle < 3; ++cycle) {
        hub->SendBroadcastRequest(true, QStringLiteral("SN-0001"), 1);
        hub->HeadboxPlugged(true, QStringLiteral("SN-0001"), 1);
    }
    QVERIFY(fromHub.count() >= 3);
    QCOMPARE(spy.count(), 1);

    hub->SendBroadcastRequest(false, QString(), 0);
    hub->HeadboxPlugged(false, QString(), 0);
    QCOMPARE(spy.count(), 2);
    QCOMPARE(spy.at(1).at(0).toBool(), false);
}

void tst_Controller::sequences_data()
{
    QTest::addColumn<QList<int>>("presses");
    QTest::addColumn<int>("setups");
    QTest::addColumn<int>("exits");

    QTest::newRow("setup") << setupSequence << 1 << 0;
    QTest::newRow("exit") << exitSequence << 0 << 1;
    QTest::newRow("setup after wrong presses") << (QList<int>{3, 3, 0, 2, 1, 0, 1} + setupSequence) << 1 << 0;
    QTest::newRow("exit after wrong presses") << (QList<int>{0, 0, 0, 2, 3} + exitSequence) << 0 << 1;
    QTest::newRow("three of four") << setupSequence.mid(0, 3) << 0 << 0;
    QTest::newRow("unattributed press breaks it") << QList<int>{0, 1, -1, 3, 2} << 0 << 0;
    QTest::newRow("retry after a break") << (QList<int>{0, 1, -1, 3, 2} + setupSequence) << 1 << 0;
    QTest::newRow("index out of range") << QList<int>{0, 1, 7, 2} << 0 << 0;
    QTest::newRow("twice in a row") << (setupSequence + setupSequence) << 2 << 0;
    // The window is never reset: a match stays in it and the next press
    // shifts it on.
    QTest::newRow("setup then exit") << (setupSequence + exitSequence) << 1 << 1;
    QTest::newRow("exit sharing presses with setup") << QList<int>{0, 1, 3, 2, 3, 1, 0} << 1 << 1;
}

void tst_Controller::sequences()
{
    QFETCH(QList<int>, presses);
    QFETCH(int, setups);
    QFETCH(int, exits);

    QSignalSpy setup(ctrl, &Controller::ShowSetupDialog);
    QSignalSpy exit(ctrl, &Controller::ExitProgram);
    for (int index : presses)
        ctrl->PasswordCheck(index);
    QCOMPARE(setup.count(), setups);
    QCOMPARE(exit.count(), exits);
}

void tst_Controller::addressReport()
{
    QSignalSpy setup(ctrl, &Controller::ShowSetupDialog);
    QVERIFY(ctrl->ipAddress.isNull());

    const QHostAddress first(QStringLiteral("192.168.1.1"));
    emit hub->IpAddress(first, false);
    QCOMPARE(ctrl->ipAddress, first);
    QCOMPARE(setup.count(), 0);

    const QHostAddress second(QStringLiteral("10.0.0.7"));
    emit hub->IpAddress(second, true);
    QCOMPARE(ctrl->ipAddress, second);
    QCOMPARE(setup.count(), 1);
}

void tst_Controller::closeSetupDialog_data()
{
    QTest::addColumn<bool>("firstTime");
    QTest::addColumn<QString>("fields");
    QTest::addColumn<bool>("apply");
    QTest::addColumn<bool>("handedOn");

    // The terminal's address is 192.168.1.1 in every row.
    QTest::newRow("apply, unchanged") << false << "192.168.1.1" << true << false;
    QTest::newRow("apply, changed") << false << "192.168.1.20" << true << true;
    QTest::newRow("apply, unchanged, first time") << true << "192.168.1.1" << true << true;
    QTest::newRow("apply, changed, first time") << true << "192.168.1.20" << true << true;
    QTest::newRow("cancel, changed") << false << "192.168.1.20" << false << false;
    QTest::newRow("cancel, first time") << true << "192.168.1.1" << false << false;
}

void tst_Controller::closeSetupDialog()
{
    QFETCH(bool, firstTime);
    QFETCH(QString, fields);
    QFETCH(bool, apply);
    QFETCH(bool, handedOn);

    // The hub would reconfigure eth0: the test listens instead.
    QObject::disconnect(ctrl, &Controller::UserChangeIp, hub, &QuarnelNetwork::UserChangeIp);
    emit hub->IpAddress(QHostAddress(QStringLiteral("192.168.1.1")), firstTime);

    QStringList order;
    connect(ctrl, &Controller::UserChangeIp, this, [&](const QHostAddress &a) { order << a.toString(); });
    connect(ctrl, &Controller::ClosedSetup, this, [&] { order << QStringLiteral("closed"); });

    ctrl->CloseSetupDialog(QHostAddress(fields), apply);
    const QStringList expected = handedOn ? QStringList{fields, QStringLiteral("closed")}
                                          : QStringList{QStringLiteral("closed")};
    QCOMPARE(order, expected);

    // Once applied, the terminal leaves first-time mode: its own address is
    // no change any more. The new one is the terminal's only when the hub
    // reports it applied.
    if (handedOn) {
        order.clear();
        ctrl->CloseSetupDialog(QHostAddress(QStringLiteral("192.168.1.1")), true);
        QCOMPARE(order, QStringList{QStringLiteral("closed")});
        QCOMPARE(ctrl->ipAddress, QHostAddress(QStringLiteral("192.168.1.1")));
        emit hub->IpAddress(QHostAddress(fields), false);
        order.clear();
        ctrl->CloseSetupDialog(QHostAddress(fields), true);
        QCOMPARE(order, QStringList{QStringLiteral("closed")});
    }
}

void tst_Controller::cancelKeepsFirstTimeMode()
{
    QObject::disconnect(ctrl, &Controller::UserChangeIp, hub, &QuarnelNetwork::UserChangeIp);
    const QHostAddress address(QStringLiteral("192.168.1.1"));
    emit hub->IpAddress(address, true);

    QSignalSpy change(ctrl, &Controller::UserChangeIp);
    ctrl->CloseSetupDialog(address, false);
    ctrl->CloseSetupDialog(address, false);
    QCOMPARE(change.count(), 0);
    ctrl->CloseSetupDialog(address, true);
    QCOMPARE(change.count(), 1);
}

void tst_Controller::applyBeforeAnyAddress()
{
    QObject::disconnect(ctrl, &Controller::UserChangeIp, hub, &QuarnelNetwork::UserChangeIp);
    QSignalSpy change(ctrl, &Controller::UserChangeIp);
    QSignalSpy closed(ctrl, &Controller::ClosedSetup);

    ctrl->CloseSetupDialog(QHostAddress(quint32(0)), true);
    QCOMPARE(change.count(), 1);
    QCOMPARE(change.at(0).at(0).value<QHostAddress>(), QHostAddress(QStringLiteral("0.0.0.0")));
    QCOMPARE(closed.count(), 1);
}

QTEST_GUILESS_MAIN(tst_Controller)
#include "tst_controller.moc"
