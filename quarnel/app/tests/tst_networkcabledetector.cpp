#include <QTest>

#include <QHostAddress>
#include <QProcess>
#include <QTimer>

#include "harness.h"
#include "networkcabledetector.h"
#include "pcside.h"
#include "recordingorvinterface.h"

// A link whose presence check answers from a script, then a fixed value.
class ScriptedPresenceInterface : public RecordingOrvInterface
{
public:
    QList<int> readings;
    int afterScript = 0;

    int CheckInterface() override
    {
        RecordingOrvInterface::CheckInterface();
        return readings.isEmpty() ? afterScript : readings.takeFirst();
    }
};

// Collects the detector's reports in the order they are emitted.
class Reports : public QObject
{
    Q_OBJECT
public:
    explicit Reports(NetworkCableDetector *d)
    {
        connect(d, &NetworkCableDetector::NetworkCableUnplugged, this, &Reports::Unplugged);
        connect(d, &NetworkCableDetector::NetworkCablePlugged, this, &Reports::Plugged);
        connect(d, &NetworkCableDetector::UsbStatus, this, &Reports::Usb);
        connect(d, &NetworkCableDetector::IpAddress, this, &Reports::Ip);
    }
    QStringList all;
    QStringList only(const QString &prefix) const
    {
        QStringList out;
        for (const QString &s : all)
            if (s.startsWith(prefix))
                out << s;
        return out;
    }

public slots:
    void Unplugged() { all << "unplugged"; }
    void Plugged() { all << "plugged"; }
    void Usb(bool present) { all << (present ? "usb true" : "usb false"); }
    void Ip(QHostAddress a) { all << "ip " + a.toString(); }
};

// The detector with its one-second timer in reach, so that a test can
// stop it and give the ticks itself.
class TestDetector : public NetworkCableDetector
{
public:
    explicit TestDetector(OrvInterface *link) : NetworkCableDetector(nullptr, link, nullptr) {}
    using NetworkCableDetector::timer;
};

static bool panelIp(const QStringList &args)
{
    return QProcess::execute("ip", args) == 0;
}

class tst_NetworkCableDetector : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void firstTickReportsAddressCableAndInterfaceInOrder();
    void cablePulledAndPluggedReportedOnceEach();
    void presenceNeedsThreeDifferingReadings_data();
    void presenceNeedsThreeDifferingReadings();
    void forcedNotificationReportsAgain();
    void everyNonLoopbackAddressReportedInListOrder();
    void loopbackAloneNeverReportedAndAddressRetried();
    void missingInterfaceGivesNoAddressOrCableReports();
};

void tst_NetworkCableDetector::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
}

void tst_NetworkCableDetector::firstTickReportsAddressCableAndInterfaceInOrder()
{
    ScriptedPresenceInterface link;
    QElapsedTimer clock;
    clock.start();
    TestDetector detector(&link);
    Reports reports(&detector);
    QVERIFY(detector.timer->isActive());
    QCOMPARE(detector.timer->interval(), 1000);

    QTRY_COMPARE_WITH_TIMEOUT(reports.all.size(), 3, 10000);
    // The timer is the only driver: nothing before one second has passed.
    QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(reports.all,
             QStringList({"ip " + harness::panelIp(), "plugged", "usb true"}));

    // Later ticks repeat nothing that has not changed, and read the
    // interface once each.
    detector.timer->stop();
    const int checks = link.calls("CheckInterface").size();
    detector.CheckCable();
    detector.CheckCable();
    QCOMPARE(reports.all.size(), 3);
    QCOMPARE(link.calls("CheckInterface").size(), checks + 2);
}

void tst_NetworkCableDetector::cablePulledAndPluggedReportedOnceEach()
{
    ScriptedPresenceInterface link;
    TestDetector detector(&link);
    detector.timer->stop();
    Reports reports(&detector);
    // The kernel takes the carrier change in its own time: tick until seen.
    const auto tickUntil = [&](const QString &report, int count) {
        detector.CheckCable();
        return reports.only(report).size() >= count;
    };
    detector.CheckCable();
    QCOMPARE(reports.only("plugged").size(), 1);

    QVERIFY(pcside::pullCable());
    QTRY_VERIFY_WITH_TIMEOUT(tickUntil("unplugged", 1), 10000);
    detector.CheckCable();
    detector.CheckCable();
    QCOMPARE(reports.only("unplugged").size(), 1);
    QCOMPARE(reports.only("plugged").size(), 1);

    QVERIFY(pcside::plugCable());
    QTRY_VERIFY_WITH_TIMEOUT(tickUntil("plugged", 2), 10000);
    detector.CheckCable();
    detector.CheckCable();
    QCOMPARE(reports.all,
             QStringList({"ip " + harness::panelIp(), "plugged", "usb true", "unplugged", "plugged"}));
}

void tst_NetworkCableDetector::presenceNeedsThreeDifferingReadings_data()
{
    QTest::addColumn<QList<int>>("readings");
    QTest::addColumn<int>("ticks");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<int>("checks");

    QTest::newRow("first tick, present") << QList<int>{0, 0, 0} << 1 << QStringList{"usb true"} << 3;
    QTest::newRow("first tick, absent") << QList<int>{-1, -1, -1} << 1 << QStringList{"usb false"} << 3;
    QTest::newRow("first tick, third reading decides")
        << QList<int>{-1, -2, 4} << 1 << QStringList{"usb true"} << 3;
    QTest::newRow("steady present, reported once")
        << QList<int>{0, 0, 0, 0, 0} << 3 << QStringList{"usb true"} << 5;
    QTest::newRow("-1, 0, -1 with 0 stored: no report")
        << QList<int>{0, 0, 0, -1, 0, -1} << 2 << QStringList{"usb true"} << 5;
    QTest::newRow("loss over three readings")
        << QList<int>{0, 0, 0, -1, -1, -1} << 2 << QStringList{"usb true", "usb false"} << 6;
    QTest::newRow("two of three readings lost: no report")
        << QList<int>{0, 0, 0, -1, -1, 0} << 2 << QStringList{"usb true"} << 6;
    QTest::newRow("loss then back")
        << QList<int>{0, 0, 0, -1, -1, -1, 0, 0, 0} << 3
        << QStringList{"usb true", "usb false", "usb true"} << 9;
}

void tst_NetworkCableDetector::presenceNeedsThreeDifferingReadings()
{
    QFETCH(QList<int>, readings);
    QFETCH(int, ticks);
    QFETCH(QStringList, expected);
    QFETCH(int, checks);

    ScriptedPresenceInterface link;
    link.readings = readings;
    link.afterScript = 77; // never reached by a correct detector
    NetworkCableDetector detector(nullptr, &link, nullptr);
    Reports reports(&detector);
    for (int i = 0; i < ticks; ++i)
        detector.CheckCable();

    QCOMPARE(reports.only("usb"), expected);
    QCOMPARE(link.calls("CheckInterface").size(), checks);
}

void tst_NetworkCableDetector::forcedNotificationReportsAgain()
{
    ScriptedPresenceInterface link;
    NetworkCableDetector detector(nullptr, &link, nullptr);
    Reports reports(&detector);
    detector.CheckCable();
    detector.CheckCable();
    QCOMPARE(reports.only("usb"), QStringList{"usb true"});

    detector.ForceNotificationStatus();
    detector.CheckCable();
    QCOMPARE(reports.only("usb"), QStringList({"usb true", "usb true"}));
    detector.CheckCable();
    QCOMPARE(reports.only("usb").size(), 2);
}

void tst_NetworkCableDetector::everyNonLoopbackAddressReportedInListOrder()
{
    QVERIFY(panelIp({"addr", "add", "198.51.100.11/24", "dev", "eth0"}));
    ScriptedPresenceInterface link;
    NetworkCableDetector detector(nullptr, &link, nullptr);
    Reports reports(&detector);
    detector.CheckCable();
    detector.CheckCable();
    QVERIFY(panelIp({"addr", "del", "198.51.100.11/24", "dev", "eth0"}));

    QCOMPARE(reports.only("ip"), QStringList({"ip " + harness::panelIp(), "ip 198.51.100.11"}));
}

void tst_NetworkCableDetector::loopbackAloneNeverReportedAndAddressRetried()
{
    QVERIFY(panelIp({"addr", "del", harness::panelIp() + "/24", "dev", "eth0"}));
    ScriptedPresenceInterface link;
    NetworkCableDetector detector(nullptr, &link, nullptr);
    Reports reports(&detector);
    detector.CheckCable();
    detector.CheckCable();
    const QStringList beforeAddress = reports.only("ip");

    QVERIFY(panelIp({"addr", "add", harness::panelIp() + "/24", "dev", "eth0"}));
    detector.CheckCable();
    detector.CheckCable();

    QCOMPARE(beforeAddress, QStringList());
    QCOMPARE(reports.only("ip"), QStringList{"ip " + harness::panelIp()});
    // The cable was reported all along: only the address was missing.
    QCOMPARE(reports.only("plugged"), QStringList{"plugged"});
}

void tst_NetworkCableDetector::missingInterfaceGivesNoAddressOrCableReports()
{
    QVERIFY(panelIp({"link", "set", "eth0", "down"}));
    QVERIFY(panelIp({"link", "set", "eth0", "name", "lan9"}));
    QVERIFY(panelIp({"link", "set", "lan9", "up"}));

    QStringList withoutEth0;
    {
        ScriptedPresenceInterface link;
        link.readings = {0, 0, 0, -1, -1, -1};
        NetworkCableDetector detector(nullptr, &link, nullptr);
        Reports reports(&detector);
        detector.CheckCable();
        detector.CheckCable();
        withoutEth0 = reports.all;
    }

    QVERIFY(panelIp({"link", "set", "lan9", "down"}));
    QVERIFY(panelIp({"link", "set", "lan9", "name", "eth0"}));
    QVERIFY(panelIp({"link", "set", "eth0", "up"}));

    // lan9 carried the panel's address and a link: neither is looked at.
    QCOMPARE(withoutEth0, QStringList({"usb true", "usb false"}));
}

QTEST_GUILESS_MAIN(tst_NetworkCableDetector)
#include "tst_networkcabledetector.moc"
