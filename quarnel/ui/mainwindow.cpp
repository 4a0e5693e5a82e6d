#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "controller.h"
#include "quarnelprotocol.h"
#include "qzresources.h"

#include <QIcon>

namespace {
const char trayText[] = "Talvenor acquisition system";
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , sysTray(nullptr)
    , lastNdevs(0)
    , ui(new Ui::MainWindow)
    , ctrl(nullptr)
{
    InitQzResources();
    ui->setupUi(this);
    ui->lblSwVersion->setText(QStringLiteral("software ver. ") + QuarnelProtocol::version());

    sysTray = new QSystemTrayIcon(this);
    sysTray->setIcon(QIcon(QStringLiteral(":/gui/resources/rate_star_med_on.png")));
    sysTray->setToolTip(QString::fromLatin1(trayText));
    sysTray->setVisible(true);
    connect(sysTray, &QSystemTrayIcon::activated,
            this, &MainWindow::iconActivated);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::SetController(Controller *controller)
{
    ctrl = controller;
    connect(ctrl, &Controller::AddLogItem, this, &MainWindow::AddLogItem);
    connect(ctrl, &Controller::FirmwareInfo, this, &MainWindow::FwVer);
    connect(ctrl, &Controller::HostName, this, &MainWindow::HostName);
    connect(ctrl, &Controller::HeadboxPluggedChangeState, this, &MainWindow::HeadboxInfo);
}

void MainWindow::iconActivated(QSystemTrayIcon::ActivationReason reason)
{
    if (reason != QSystemTrayIcon::DoubleClick)
        return;
    setVisible(isHidden());
}

void MainWindow::AddLogItem(QString item)
{
    ui->plainTextEdit->appendPlainText(item);
}

void MainWindow::HostName(QString name)
{
    hostName = name;
    ChangeTooltip();
}

void MainWindow::HeadboxInfo(bool plugged, QString device, short count)
{
    Q_UNUSED(plugged)
    lastDevId = device;
    lastNdevs = count;
    ChangeTooltip();
}

void MainWindow::FwVer(QString text)
{
    ui->lblVersion->setText(text);
}

void MainWindow::ChangeTooltip()
{
    QString tooltip = QString::fromLatin1(trayText);
    QString status;
    // The hub's serial field is all NULs when no headbox answers.
    if (!lastDevId.isEmpty() && lastDevId.at(0) != QChar(0)) {
        tooltip += QStringLiteral("\n\n") + QStringLiteral("Device: ") + lastDevId;
        status = QStringLiteral("Device ") + lastDevId;
    }
    if (!hostName.isEmpty()) {
        tooltip += QStringLiteral("\n") + QStringLiteral("Used by: ") + hostName;
        status += QStringLiteral(" Used by: ") + hostName;
    }
    sysTray->setToolTip(tooltip);
    ui->lblStatus->setText(status);
}
