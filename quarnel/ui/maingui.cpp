#include "maingui.h"
#include "ui_maingui.h"

#include "controller.h"
#include "dialogsetup.h"
#include "qzresources.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QResizeEvent>
#include <QTimer>

namespace {

const int fadeMs = 1000;

QString stateSheet(const char *image, bool good)
{
    return QStringLiteral("background-image: url(:/gui/resources/%1);border: 2px solid %2;"
                          "border-radius: 15px;background-repeat: no-repeat;background-position: center;")
        .arg(QLatin1String(image), good ? QStringLiteral("green") : QStringLiteral("red"));
}

// Corners of the 800 x 480 panel: top left, top right, bottom right, bottom left.
const QRect cornerGeometry[4] = {
    QRect(0, 0, 64, 64),
    QRect(736, 0, 64, 64),
    QRect(736, 416, 64, 64),
    QRect(0, 416, 64, 64),
};

} // namespace

MainGui::MainGui(QWidget *parent)
    : QMainWindow(parent)
    , dlgSetup(nullptr)
    , animation(nullptr)
    , ris(-1)
    , ui(new Ui::MainGui)
    , ctrl(nullptr)
    , viewMode(User)
    , timer(nullptr)
{
    InitQzResources();
    ui->setupUi(this);
    viewMode = User;

    timer = new QTimer;
    // A coarse timer of this length may fire up to a second early.
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &MainGui::HideUserView);

    dlgSetup = nullptr;

    ui->frameHide->setWindowFlags(Qt::CustomizeWindowHint | Qt::FramelessWindowHint);
    ui->frameHide->showFullScreen();
    ui->frameHide->move(0, 0);

    btnSequence.resize(4);
    for (int i = 0; i < 4; ++i) {
        QPushButton *button = new QPushButton(ui->centralwidget);
        btnSequence[i] = button;
        connect(button, &QPushButton::clicked, this, &MainGui::btnSequence_clicked);
    }

    QApplication::setOverrideCursor(Qt::BlankCursor);

    animation = new QPropertyAnimation(this, "color");
}

MainGui::~MainGui()
{
    QApplication::setOverrideCursor(Qt::ArrowCursor);
    delete ui;
    delete timer;
    delete animation;
    for (QPushButton *button : btnSequence)
        delete button;
}

void MainGui::SetController(Controller *controller)
{
    ctrl = controller;
    connect(ctrl, &Controller::HeadboxPluggedChangeState, this, &MainGui::HeadboxPlugged);
    connect(ctrl, &Controller::NetworkCableState, this, &MainGui::NetworkPlugged);
    connect(ctrl, &Controller::ClientConnectionState, this, &MainGui::ClientConnected);
    connect(ctrl, &Controller::ShowSetupDialog, this, &MainGui::ShowSetup);
    connect(ctrl, &Controller::ClosedSetup, this, &MainGui::ClosedSetup);
    connect(ctrl, &Controller::HostName, this, &MainGui::HostName);
    connect(ctrl, &Controller::ExitProgram, this, &MainGui::End);
    connect(this, &MainGui::TurnOffDisplay, ctrl, &Controller::TurnOffDisplay);
}

void MainGui::setColor(QColor value)
{
    ui->frameHide->setStyleSheet(QStringLiteral("background-color: rgba(%1, %2, %3, %4);")
                                     .arg(value.red())
                                     .arg(value.green())
                                     .arg(value.blue())
                                     .arg(value.alpha()));
}

QColor MainGui::color()
{
    return QColor(Qt::black);
}

void MainGui::ShowUserView()
{
    if (dlgSetup)
        return;
    if (timer->isActive()) {
        timer->setInterval(ENABLED_VIEW_TIME_MS);
        return;
    }
    // Woken during a fade-out: that fade must neither go on nor switch the
    // display off once the view is lit again.
    if (animation->state() != QAbstractAnimation::Stopped) {
        disconnect(animation, &QPropertyAnimation::finished, this, &MainGui::AnimationFinished);
        animation->stop();
    }
    if (ctrl)
        emit ctrl->TurnOnDisplay();
    animation->setDuration(fadeMs);
    animation->setStartValue(QColor(0, 0, 0, 255));
    animation->setEndValue(QColor(0, 0, 0, 0));
    animation->start(QAbstractAnimation::KeepWhenStopped);
    timer->start(ENABLED_VIEW_TIME_MS);
}

void MainGui::HideUserView()
{
    if (dlgSetup)
        return;
    animation->setDuration(fadeMs);
    animation->setStartValue(QColor(0, 0, 0, 0));
    animation->setEndValue(QColor(0, 0, 0, 255));
    connect(animation, &QPropertyAnimation::finished, this, &MainGui::AnimationFinished, Qt::UniqueConnection);
    animation->start(QAbstractAnimation::KeepWhenStopped);
    timer->stop();
}

void MainGui::AnimationFinished()
{
    disconnect(animation, &QPropertyAnimation::finished, this, &MainGui::AnimationFinished);
    emit TurnOffDisplay();
}

void MainGui::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        ShowUserView();
}

void MainGui::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    ui->frameHide->resize(event->size());
    for (int i = 0; i < btnSequence.size(); ++i)
        btnSequence[i]->setGeometry(cornerGeometry[i]);
}

void MainGui::btnSequence_clicked()
{
    ShowUserView();
    ris = btnSequence.indexOf(qobject_cast<QPushButton *>(sender()));
    if (ctrl)
        ctrl->PasswordCheck(ris);
}

void MainGui::HeadboxPlugged(bool plugged, QString device, short count)
{
    Q_UNUSED(count)
    ShowUserView();
    ui->graphicsViewHeadboxCon->setStyleSheet(stateSheet(plugged ? "headboxconn.png" : "headboxdisconn.png", plugged));
    ui->lblDeviceName->setText(device);
}

void MainGui::NetworkPlugged(bool plugged)
{
    ShowUserView();
    ui->graphicsViewNetwork->setStyleSheet(stateSheet(plugged ? "network_ok.png" : "network_ko.png", plugged));
}

void MainGui::ClientConnected(bool connected)
{
    ui->graphicsViewCommunication->setStyleSheet(
        stateSheet(connected ? "connection_ok.png" : "connection_ko.png", connected));
}

void MainGui::ShowSetup()
{
    if (dlgSetup)
        return;
    const bool lit = timer->isActive();
    timer->stop();
    // Asked for while the view fades out or is dark (an address report is no
    // touch): the display must not go off under the dialog.
    if (!lit) {
        if (animation->state() != QAbstractAnimation::Stopped) {
            disconnect(animation, &QPropertyAnimation::finished, this, &MainGui::AnimationFinished);
            animation->stop();
        }
        if (ctrl)
            emit ctrl->TurnOnDisplay();
    }
    dlgSetup = new DialogSetup(this);
    dlgSetup->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    dlgSetup->showFullScreen();
    dlgSetup->SetController(ctrl);
}

void MainGui::ClosedSetup()
{
    // The dialog reports its close from inside its own close handling: it is
    // gone for the screen at once and deleted once that handling has returned.
    if (dlgSetup) {
        dlgSetup->deleteLater();
        dlgSetup = nullptr;
    }
    ShowUserView();
}

void MainGui::HostName(QString name)
{
    ui->lblHostName->setText(name);
}

void MainGui::End()
{
    close();
}
