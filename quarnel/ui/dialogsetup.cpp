#include "dialogsetup.h"
#include "ui_dialogsetup.h"

#include "controller.h"

#include <QCloseEvent>
#include <QHostAddress>
#include <QLineEdit>
#include <QSpinBox>

namespace {

const char arrowsShown[] =
    "QSpinBox {border-radius: 25px; background-color:rgb(228, 228, 226);}"
    "QSpinBox::up-button {subcontrol-position: top left; width: 50; height: 50; border: 0px;"
    "image: url(:/gui/resources/Red up arrow.png);}"
    "QSpinBox::down-button {subcontrol-position: top right; width: 50; height: 50; border: 0px;"
    "image: url(:/gui/resources/Red down arrow.png);}";

const char arrowsHidden[] =
    "QSpinBox { border-radius: 25px; background-color:rgb(228, 228, 226);}"
    "QSpinBox::up-button {subcontrol-position: top left; width: 0; height: 0;}"
    "QSpinBox::down-button {subcontrol-position: top right; width: 0; height: 0;}";

} // namespace

DialogSetup::DialogSetup(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::DialogSetup)
    , ctrl(nullptr)
    , ipAddress(0)
    , exitForApply(false)
{
    ui->setupUi(this);

    const QList<QSpinBox *> boxes = {ui->spinBoxIp1, ui->spinBoxIp2, ui->spinBoxIp3, ui->spinBoxIp4};
    for (QSpinBox *box : boxes) {
        box->installEventFilter(this);
        for (QObject *child : box->children()) {
            if (qobject_cast<QLineEdit *>(child))
                child->installEventFilter(this);
        }
    }
    for (QSpinBox *box : boxes)
        HideSpinArrows(box);

    ui->lblSwVer->setText(QStringLiteral("software ver. ") + QStringLiteral("1.9.2022.5"));
}

DialogSetup::~DialogSetup()
{
    delete ui;
}

void DialogSetup::SetController(Controller *controller)
{
    ctrl = controller;
    const quint32 a = ctrl->ipAddress.isNull() ? 0 : ctrl->ipAddress.toIPv4Address();
    ui->spinBoxIp4->setValue(a & 255);
    ui->spinBoxIp3->setValue((a >> 8) & 255);
    ui->spinBoxIp2->setValue((a >> 16) & 255);
    ui->spinBoxIp1->setValue(a >> 24);
    ipAddress = a;
    ui->lblFwVer->setText(ctrl->fwVer);
}

// Escape would only hide the dialog, and neither the controller nor the
// screen would learn that it is gone: it closes like Cancel instead.
void DialogSetup::reject()
{
    on_btnCancel_clicked();
}

void DialogSetup::closeEvent(QCloseEvent *event)
{
    const QHostAddress address(ipAddress);
    // Reported once: a second close of a dialog already handed back must not
    // reach the screen as another one closing.
    Controller *controller = ctrl;
    ctrl = nullptr;
    if (controller)
        controller->CloseSetupDialog(address, exitForApply);
    event->accept();
}

bool DialogSetup::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::MouseButtonPress)
        return false;
    const QObject *parent = watched->parent();
    if (!parent)
        return false;
    const QString name = parent->objectName();
    const QList<QSpinBox *> boxes = {ui->spinBoxIp1, ui->spinBoxIp2, ui->spinBoxIp3, ui->spinBoxIp4};
    for (QSpinBox *touched : boxes) {
        if (name != touched->objectName())
            continue;
        ShowSpinArrows(touched);
        for (QSpinBox *other : boxes) {
            if (other != touched)
                HideSpinArrows(other);
        }
    }
    return false;
}

void DialogSetup::resizeEvent(QResizeEvent *event)
{
    QDialog::resizeEvent(event);
    ui->btnApply->setGeometry(10, 409, 321, 61);
    ui->btnCancel->setGeometry(469, 409, 321, 61);
}

void DialogSetup::on_btnApply_clicked()
{
    ipAddress = (quint32(ui->spinBoxIp1->value()) << 24) + (quint32(ui->spinBoxIp2->value()) << 16)
                + (quint32(ui->spinBoxIp3->value()) << 8) + quint32(ui->spinBoxIp4->value());
    exitForApply = true;
    close();
}

void DialogSetup::on_btnCancel_clicked()
{
    exitForApply = false;
    close();
}

void DialogSetup::ShowSpinArrows(QSpinBox *box)
{
    box->setStyleSheet(QString::fromLatin1(arrowsShown));
}

void DialogSetup::HideSpinArrows(QSpinBox *box)
{
    box->setStyleSheet(QString::fromLatin1(arrowsHidden));
}
