// Renders the panel's screens to PNG files, as an 800 x 480 display shows them:
//   panel_pictures <folder>
// Run with QT_QPA_PLATFORM=offscreen (scripts/pictures.sh does). The screens
// are driven through a controller without a hub, so nothing here touches the
// network or the FPGA.

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QHostAddress>
#include <QLineEdit>
#include <QMouseEvent>
#include <QSpinBox>
#include <QTextStream>
#include <QTimer>

#include "controller.h"
#include "dialogsetup.h"
#include "maingui.h"

namespace {

const QSize panel(800, 480);

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

bool save(QWidget *w, const QDir &dir, const char *name)
{
    const QString path = dir.filePath(QLatin1String(name));
    // The offscreen screen is larger than the panel; a full-screen window
    // shows its top left 800 x 480 on the panel.
    if (!w->grab(QRect(QPoint(0, 0), panel)).save(path, "PNG")) {
        QTextStream(stderr) << "cannot write " << path << "\n";
        return false;
    }
    QTextStream(stdout) << path << "\n";
    return true;
}

struct Screen
{
    Controller ctrl{nullptr, nullptr};
    MainGui *gui = new MainGui(nullptr);

    Screen()
    {
        gui->resize(panel);
        gui->show();
        gui->SetController(&ctrl);
    }
    ~Screen() { delete gui; }
};

// The fade-in takes a second.
const int lightUpMs = 1300;

bool dark(const QDir &dir)
{
    Screen s;
    settle(100);
    return save(s.gui, dir, "panel-dark.png");
}

bool allGood(const QDir &dir)
{
    Screen s;
    emit s.ctrl.NetworkCableState(true);
    emit s.ctrl.HeadboxPluggedChangeState(true, QStringLiteral("ORV-2207/18-042"), 1);
    emit s.ctrl.ClientConnectionState(true);
    emit s.ctrl.HostName(QStringLiteral("ACQ-STATION-3"));
    settle(lightUpMs);
    return save(s.gui, dir, "panel-all-good.png");
}

bool allBad(const QDir &dir)
{
    Screen s;
    emit s.ctrl.NetworkCableState(false);
    emit s.ctrl.HeadboxPluggedChangeState(false, QString(), 0);
    emit s.ctrl.ClientConnectionState(false);
    emit s.ctrl.HostName(QString());
    settle(lightUpMs);
    return save(s.gui, dir, "panel-all-bad.png");
}

bool setupDialog(const QDir &dir)
{
    Screen s;
    s.ctrl.IpAddr(QHostAddress(QStringLiteral("192.168.1.60")), false);
    s.ctrl.FirmwareVersion(QStringLiteral("firmware ver. 2.7"));
    emit s.ctrl.ShowSetupDialog();
    DialogSetup *dialog = s.gui->findChild<DialogSetup *>();
    if (!dialog)
        return false;
    // A touch on the third field's text shows its arrows.
    QLineEdit *field = dialog->findChild<QSpinBox *>(QStringLiteral("spinBoxIp3"))->findChild<QLineEdit *>();
    const QPoint centre = field->rect().center();
    QMouseEvent press(QEvent::MouseButtonPress, centre, field->mapToGlobal(centre), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(field, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, centre, field->mapToGlobal(centre), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(field, &release);
    field->deselect();
    field->parentWidget()->setFocus();
    settle(200);
    return save(dialog, dir, "setup-dialog.png");
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "usage: panel_pictures <folder>\n";
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists()) {
        QTextStream(stderr) << "no such folder: " << dir.path() << "\n";
        return 1;
    }
    const bool ok = dark(dir) && allGood(dir) && allBad(dir) && setupDialog(dir);
    return ok ? 0 : 1;
}
