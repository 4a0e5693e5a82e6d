#include "dialogsetup.h"
#include "ui_dialogsetup.h"

#include "controller.h"
#include "quarnelprotocol.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QHostAddress>
#include <QLabel>
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

// Room a label takes around its text.
int TextPadding(const QLabel *label)
{
    return label->width() - label->contentsRect().width() + 2 * label->margin();
}

int TextWidth(const QLabel *label)
{
    return label->fontMetrics().horizontalAdvance(label->text());
}

// The form's label sizes suit the panel's own font; with a wider one the
// end of the text (the version's last digits) would be cut off. A label that
// is too narrow grows to the right up to rightEdge, then moves left if
// allowed; where even that is not enough its font shrinks to fit.
void ShowWholeText(QLabel *label, int rightEdge, bool mayMoveLeft)
{
    const int needed = TextWidth(label) + TextPadding(label);
    if (needed <= label->width())
        return;
    const int room = mayMoveLeft ? rightEdge : rightEdge - label->x();
    QFont font = label->font();
    while (TextWidth(label) + TextPadding(label) > room && font.pointSizeF() > 1.0) {
        font.setPointSizeF(font.pointSizeF() - 0.5);
        label->setFont(font);
    }
    QRect g = label->geometry();
    g.setWidth(qMax(g.width(), qMin(room, TextWidth(label) + TextPadding(label))));
    if (g.x() + g.width() > rightEdge)
        g.moveLeft(rightEdge - g.width());
    label->setGeometry(g);
}

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

    ui->lblSwVer->setText(QStringLiteral("software ver. ") + QuarnelProtocol::version());
    ShowWholeText(ui->lblSwVer, width(), true);
    ShowWholeText(ui->lblSetIp, ui->spinBoxIp1->x(), false);
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
    ShowWholeText(ui->lblFwVer, width(), true);
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
