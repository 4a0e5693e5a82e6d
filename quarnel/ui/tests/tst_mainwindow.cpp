#include <QTest>

#include <QLabel>
#include <QPlainTextEdit>
#include <QSystemTrayIcon>
#include <QTextBlock>

#include "controller.h"
#include "mainwindow.h"

class tst_MainWindow : public QObject
{
    Q_OBJECT
private slots:
    void tooltipAndStatus_data();
    void tooltipAndStatus();
    void logAndVersions();
    void logKeepsTheNewestLines();
    void doubleClickToggles();
};

void tst_MainWindow::tooltipAndStatus_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("tooltip");
    QTest::addColumn<QString>("status");

    const QString nuls(16, QChar(0));
    QTest::newRow("nothing") << QString() << QString() << "Talvenor acquisition system" << "";
    QTest::newRow("device") << "SN-0042" << QString() << "Talvenor acquisition system\n\nDevice: SN-0042"
                            << "Device SN-0042";
    QTest::newRow("host") << QString() << "acq-pc" << "Talvenor acquisition system\nUsed by: acq-pc"
                          << " Used by: acq-pc";
    QTest::newRow("both") << "SN-0042" << "acq-pc"
                          << "Talvenor acquisition system\n\nDevice: SN-0042\nUsed by: acq-pc"
                          << "Device SN-0042 Used by: acq-pc";
    QTest::newRow("serial field of NULs") << nuls << "acq-pc" << "Talvenor acquisition system\nUsed by: acq-pc"
                                          << " Used by: acq-pc";
    QTest::newRow("NUL first") << QString(QChar(0)) + QStringLiteral("X") << QString()
                               << "Talvenor acquisition system" << "";
}

void tst_MainWindow::tooltipAndStatus()
{
    QFETCH(QString, device);
    QFETCH(QString, host);
    QFETCH(QString, tooltip);
    QFETCH(QString, status);

    Controller ctrl(nullptr, nullptr);
    MainWindow window(nullptr);
    window.SetController(&ctrl);
    QSystemTrayIcon *tray = window.findChild<QSystemTrayIcon *>();
    QVERIFY(tray);
    QCOMPARE(tray->toolTip(), QStringLiteral("Talvenor acquisition system"));
    QVERIFY(!tray->icon().isNull());

    // An earlier device and host, then the reports under test replace them.
    emit ctrl.HeadboxPluggedChangeState(true, QStringLiteral("SN-OLD"), 1);
    emit ctrl.HostName(QStringLiteral("old-pc"));
    emit ctrl.HeadboxPluggedChangeState(!device.isEmpty(), device, device.isEmpty() ? 0 : 1);
    emit ctrl.HostName(host);

    QCOMPARE(tray->toolTip(), tooltip);
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("lblStatus"))->text(), status);
}

void tst_MainWindow::logAndVersions()
{
    Controller ctrl(nullptr, nullptr);
    MainWindow window(nullptr);
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("lblSwVersion"))->text(), QStringLiteral("software ver. 1.9.2022.5"));
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("lblVersion"))->text(), QStringLiteral("firmware ver. "));
    window.SetController(&ctrl);

    emit ctrl.AddLogItem(QStringLiteral("interface present"));
    emit ctrl.AddLogItem(QStringLiteral("quarnel Status: OK"));
    ctrl.FirmwareVersion(QStringLiteral("FW 2.4"));

    QCOMPARE(window.findChild<QPlainTextEdit *>()->toPlainText(),
             QStringLiteral("interface present\nquarnel Status: OK"));
    QCOMPARE(window.findChild<QLabel *>(QStringLiteral("lblVersion"))->text(), QStringLiteral("FW 2.4"));
    QCOMPARE(window.windowTitle(), QStringLiteral("TalvenorQuarnel"));
}

// The headbox protocol logs every identification, twice a second: the window
// keeps the newest lines only.
void tst_MainWindow::logKeepsTheNewestLines()
{
    Controller ctrl(nullptr, nullptr);
    MainWindow window(nullptr);
    window.SetController(&ctrl);
    for (int i = 0; i < 6000; ++i)
        emit ctrl.AddLogItem(QStringLiteral("line %1").arg(i));
    QPlainTextEdit *log = window.findChild<QPlainTextEdit *>();
    QCOMPARE(log->blockCount(), 5000);
    QCOMPARE(log->document()->firstBlock().text(), QStringLiteral("line 1000"));
    QCOMPARE(log->document()->lastBlock().text(), QStringLiteral("line 5999"));
}

void tst_MainWindow::doubleClickToggles()
{
    MainWindow window(nullptr);
    QSystemTrayIcon *tray = window.findChild<QSystemTrayIcon *>();
    QVERIFY(!window.isVisible());

    emit tray->activated(QSystemTrayIcon::Trigger);
    emit tray->activated(QSystemTrayIcon::Context);
    emit tray->activated(QSystemTrayIcon::MiddleClick);
    QVERIFY(!window.isVisible());

    emit tray->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(window.isVisible());
    emit tray->activated(QSystemTrayIcon::Trigger);
    QVERIFY(window.isVisible());
    emit tray->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(!window.isVisible());
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
