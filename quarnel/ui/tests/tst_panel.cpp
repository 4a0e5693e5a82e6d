#include <QTest>
#include <QSignalSpy>

#include <QFile>
#include <QGraphicsView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>

#include "controller.h"
#include "dialogsetup.h"
#include "harness.h"
#include "maingui.h"
#include "quarnelnetwork.h"

Q_DECLARE_METATYPE(QHostAddress)

// The panel as the program builds it: the real hub on the simulated FPGA, the
// controller and the status screen, inside the namespace harness (the hub
// broadcasts and the setup dialog reconfigures eth0).
class tst_Panel : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void firstStartAsksForTheAddress();
    void cleanupTestCase();

private:
    QuarnelNetwork *hub = nullptr;
    Controller *ctrl = nullptr;
    MainGui *gui = nullptr;
};

void tst_Panel::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
    qputenv("ZELK_FPGA", "sim");
    qRegisterMetaType<QHostAddress>();
    QApplication::setOrganizationName(QStringLiteral("talvenor"));
    QApplication::setApplicationName(QStringLiteral("quarnel"));
    QApplication::setQuitOnLastWindowClosed(false);

    hub = new QuarnelNetwork(nullptr);
    ctrl = new Controller(hub, nullptr);
    gui = new MainGui(nullptr);
    gui->resize(800, 480);
    gui->show();
    gui->SetController(ctrl);
}

void tst_Panel::cleanupTestCase()
{
    delete gui;
    delete ctrl;
    delete hub;
}

void tst_Panel::firstStartAsksForTheAddress()
{
    const QHostAddress panel(harness::panelIp());
    QVERIFY(!panel.isNull());
    // The address was never set: the dialog opens by itself with it.
    QTRY_VERIFY_WITH_TIMEOUT(gui->findChild<DialogSetup *>(), 20000);
    QPointer<DialogSetup> dialog = gui->findChild<DialogSetup *>();
    QCOMPARE(ctrl->ipAddress, panel);
    const quint32 a = panel.toIPv4Address();
    QCOMPARE(dialog->findChild<QSpinBox *>(QStringLiteral("spinBoxIp1"))->value(), int(a >> 24));
    QCOMPARE(dialog->findChild<QSpinBox *>(QStringLiteral("spinBoxIp4"))->value(), int(a & 255));

    // The screen behind it follows the simulated headbox and the cable.
    QLabel *device = gui->findChild<QLabel *>(QStringLiteral("lblDeviceName"));
    QTRY_VERIFY_WITH_TIMEOUT(!device->text().isEmpty(), 20000);
    QVERIFY(gui->findChild<QGraphicsView *>(QStringLiteral("graphicsViewHeadboxCon"))
                ->styleSheet()
                .contains(QLatin1String("headboxconn.png")));
    QVERIFY(gui->findChild<QGraphicsView *>(QStringLiteral("graphicsViewNetwork"))
                ->styleSheet()
                .contains(QLatin1String("network_ok.png")));

    // A new last octet, applied: the hub rewrites the configuration, restarts
    // eth0 and reports the new address back.
    QLineEdit *field = dialog->findChild<QSpinBox *>(QStringLiteral("spinBoxIp4"))->findChild<QLineEdit *>();
    QTest::mouseClick(field, Qt::LeftButton);
    field->selectAll();
    QTest::keyClicks(field, QStringLiteral("20"));
    const QHostAddress wanted((a & ~quint32(255)) | 20);
    QSignalSpy addresses(hub, &QuarnelNetwork::IpAddress);
    QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("btnApply")), Qt::LeftButton);

    QVERIFY(!gui->findChild<DialogSetup *>() || !gui->findChild<DialogSetup *>()->isVisible());
    QCOMPARE(addresses.count(), 1);
    QCOMPARE(addresses.at(0).at(0).value<QHostAddress>(), wanted);
    QCOMPARE(addresses.at(0).at(1).toBool(), false);
    QCOMPARE(ctrl->ipAddress, wanted);

    QFile interfaces(QString::fromLocal8Bit(qgetenv("QUARNEL_INTERFACES")));
    QVERIFY(interfaces.open(QIODevice::ReadOnly));
    QVERIFY(interfaces.readAll().contains("address " + wanted.toString().toLatin1()));

    QTRY_VERIFY(!dialog);
}

QTEST_MAIN(tst_Panel)
#include "tst_panel.moc"
