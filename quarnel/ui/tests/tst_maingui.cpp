#include <QTest>
#include <QProcess>
#include <QVariantAnimation>
#include <QSignalSpy>

#include <QAnimationDriver>
#include <QFrame>
#include <QGraphicsView>
#include <QImageReader>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTimer>

#include "controller.h"
#include "dialogsetup.h"
#include "maingui.h"

Q_DECLARE_METATYPE(QHostAddress)

namespace {

const QList<int> setupSequence = {0, 1, 3, 2};
const QList<int> exitSequence = {2, 3, 1, 0};

// Animation time that passes only when the test moves it on: a fade is
// looked at in exact points of its course, however loaded the machine.
class SteppedAnimationTime : public QAnimationDriver
{
public:
    qint64 elapsed() const override { return now; }

    // Lets the animations started so far join in, then moves all on by ms.
    void step(qint64 ms)
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
        now += ms;
        advance();
    }

private:
    qint64 now = 0;
};

SteppedAnimationTime *animationTime = nullptr;

// The status screen with the timer of its lit period in reach.
class TestGui : public MainGui
{
public:
    TestGui() : MainGui(nullptr) {}
    using MainGui::timer;
};

// One status screen on a controller without a hub: the test plays the hub
// by emitting the controller's own signals and listens to the display
// requests that would reach it.
struct Panel
{
    Controller ctrl{nullptr, nullptr};
    TestGui *gui;
    QSignalSpy on{&ctrl, &Controller::TurnOnDisplay};
    QSignalSpy off{&ctrl, &Controller::TurnOffDisplay};

    Panel()
        : gui(new TestGui)
    {
        gui->resize(800, 480);
        gui->show();
        gui->SetController(&ctrl);
    }
    ~Panel() { delete gui; }

    QFrame *overlay() const { return gui->findChild<QFrame *>(QStringLiteral("frameHide")); }

    // Alpha of the overlay, -1 while it still shows the window's own black.
    int alpha() const
    {
        static const QRegularExpression re(QStringLiteral("^background-color: rgba\\(0, 0, 0, (\\d+)\\);$"));
        const QString sheet = overlay()->styleSheet();
        if (sheet.isEmpty())
            return -1;
        const QRegularExpressionMatch m = re.match(sheet);
        return m.hasMatch() ? m.captured(1).toInt() : -2;
    }

    QString viewSheet(const char *name) const
    {
        return gui->findChild<QGraphicsView *>(QLatin1String(name))->styleSheet();
    }

    QList<QPushButton *> corners() const
    {
        QList<QPushButton *> buttons;
        for (QPushButton *b : gui->findChildren<QPushButton *>()) {
            if (b->parent() == gui->centralWidget())
                buttons << b;
        }
        return buttons;
    }

    QList<DialogSetup *> dialogs() const { return gui->findChildren<DialogSetup *>(); }

    void press(const QList<int> &indices)
    {
        const QList<QPushButton *> buttons = corners();
        for (int i : indices)
            QTest::mouseClick(buttons.at(i), Qt::LeftButton);
    }

    void wake() { emit ctrl.NetworkCableState(true); }

    void fade(qint64 ms) { animationTime->step(ms); }

    // What the lit period's timer would do when it runs out.
    void endLitPeriod() { QVERIFY(QMetaObject::invokeMethod(gui->timer, "timeout")); }

    bool black(QPoint at) const { return gui->grab().toImage().pixelColor(at) == QColor(Qt::black); }
};

void dropDeleted()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace

class tst_MainGui : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void startsDark();
    void waking_data();
    void waking();
    void pcReportsWhileDarkDoNotLight();
    void pressesOnTheScreen();
    void cornersAndOverlay_data();
    void cornersAndOverlay();
    void setupSequenceOpensDialog();
    void dialogClosesIntoLitView_data();
    void dialogClosesIntoLitView();
    void exitSequenceClosesWindow();
    void images();
    void imagesAreReproducible();

    void litPeriod_data();
    void litPeriod();

private:
    SteppedAnimationTime steppedTime;
    // Keeps the animation driver running from test to test: a restarted
    // driver would take the wall clock's time since its start as one step.
    QVariantAnimation keepAlive;
};

void tst_MainGui::initTestCase()
{
    qRegisterMetaType<QHostAddress>();
    // The exit sequence closes the last window; the tests go on.
    QApplication::setQuitOnLastWindowClosed(false);

    steppedTime.install();
    animationTime = &steppedTime;
    keepAlive.setStartValue(0);
    keepAlive.setEndValue(1);
    keepAlive.setDuration(1000);
    keepAlive.setLoopCount(-1);
    keepAlive.start();
    QTRY_VERIFY(steppedTime.isRunning());
    // Takes up the wall-clock moment the driver started at: later steps are
    // exactly what the tests ask for.
    steppedTime.step(0);
}

void tst_MainGui::startsDark()
{
    Panel p;
    QCOMPARE(p.alpha(), -1);
    QCOMPARE(p.overlay()->geometry(), p.gui->rect());
    QVERIFY(p.overlay()->isVisible());
    // The overlay lies above the state views, the corner buttons above it.
    QWidget *central = p.gui->centralWidget();
    const QPoint viewCentre = p.gui->findChild<QGraphicsView *>(QStringLiteral("graphicsViewNetwork"))->geometry().center();
    QCOMPARE(central->childAt(viewCentre), p.overlay());
    QCOMPARE(central->childAt(QPoint(5, 5)), p.corners().at(0));
    QVERIFY(p.black(viewCentre));
    QCOMPARE(p.on.count(), 0);
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::BlankCursor);
}

void tst_MainGui::waking_data()
{
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("view");
    QTest::addColumn<QString>("sheet");

    QTest::newRow("headbox plugged") << "headbox plugged" << "graphicsViewHeadboxCon"
                                     << "background-image: url(:/gui/resources/headboxconn.png);border: 2px solid green;"
                                        "border-radius: 15px;background-repeat: no-repeat;background-position: center;";
    QTest::newRow("headbox unplugged") << "headbox unplugged" << "graphicsViewHeadboxCon"
                                       << "background-image: url(:/gui/resources/headboxdisconn.png);border: 2px solid red;"
                                          "border-radius: 15px;background-repeat: no-repeat;background-position: center;";
    QTest::newRow("cable plugged") << "cable plugged" << "graphicsViewNetwork"
                                   << "background-image: url(:/gui/resources/network_ok.png);border: 2px solid green;"
                                      "border-radius: 15px;background-repeat: no-repeat;background-position: center;";
    QTest::newRow("cable unplugged") << "cable unplugged" << "graphicsViewNetwork"
                                     << "background-image: url(:/gui/resources/network_ko.png);border: 2px solid red;"
                                        "border-radius: 15px;background-repeat: no-repeat;background-position: center;";
}

// The display goes on while the overlay is still black, then the view fades
// in over a second.
void tst_MainGui::waking()
{
    QFETCH(QString, report);
    QFETCH(QString, view);
    QFETCH(QString, sheet);

    Panel p;
    QList<int> alphaWhenSwitchedOn;
    connect(&p.ctrl, &Controller::TurnOnDisplay, this, [&] { alphaWhenSwitchedOn << p.alpha(); });

    if (report.startsWith(QLatin1String("headbox")))
        emit p.ctrl.HeadboxPluggedChangeState(report.endsWith(QLatin1String(" plugged")), QStringLiteral("SN-0001"), 1);
    else
        emit p.ctrl.NetworkCableState(report.endsWith(QLatin1String(" plugged")));

    QCOMPARE(p.on.count(), 1);
    QCOMPARE(alphaWhenSwitchedOn.at(0), -1);
    QCOMPARE(p.alpha(), 255);
    QCOMPARE(p.viewSheet(qPrintable(view)), sheet);
    if (report.startsWith(QLatin1String("headbox")))
        QCOMPARE(p.gui->findChild<QLabel *>(QStringLiteral("lblDeviceName"))->text(), QStringLiteral("SN-0001"));

    p.fade(500);
    QVERIFY2(p.alpha() > 0 && p.alpha() < 255, qPrintable(QString::number(p.alpha())));
    p.fade(490);
    QVERIFY2(p.alpha() > 0, "faded in early");
    p.fade(10);
    QCOMPARE(p.alpha(), 0);
    QCOMPARE(p.on.count(), 1);
    QCOMPARE(p.off.count(), 0);
}

void tst_MainGui::pcReportsWhileDarkDoNotLight()
{
    Panel p;
    emit p.ctrl.ClientConnectionState(true);
    emit p.ctrl.HostName(QStringLiteral("acq-pc.lab"));
    QCOMPARE(p.viewSheet("graphicsViewCommunication"),
             QStringLiteral("background-image: url(:/gui/resources/connection_ok.png);border: 2px solid green;"
                            "border-radius: 15px;background-repeat: no-repeat;background-position: center;"));
    QCOMPARE(p.gui->findChild<QLabel *>(QStringLiteral("lblHostName"))->text(), QStringLiteral("acq-pc.lab"));
    emit p.ctrl.ClientConnectionState(false);
    QVERIFY(p.viewSheet("graphicsViewCommunication").contains(QLatin1String("connection_ko.png")));
    QCoreApplication::processEvents();
    QCOMPARE(p.on.count(), 0);
    QCOMPARE(p.alpha(), -1);
    QVERIFY(p.black(QPoint(395, 240)));
}

void tst_MainGui::pressesOnTheScreen()
{
    Panel p;
    // A press anywhere outside the corners lands on the overlay first.
    QTest::mousePress(p.overlay(), Qt::RightButton, Qt::NoModifier, QPoint(400, 240));
    QTest::mouseRelease(p.overlay(), Qt::RightButton, Qt::NoModifier, QPoint(400, 240));
    QCOMPARE(p.on.count(), 0);
    QCOMPARE(p.alpha(), -1);

    QTest::mousePress(p.overlay(), Qt::LeftButton, Qt::NoModifier, QPoint(400, 240));
    QTest::mouseRelease(p.overlay(), Qt::LeftButton, Qt::NoModifier, QPoint(400, 240));
    QCOMPARE(p.on.count(), 1);
    QCOMPARE(p.alpha(), 255);

    // Lit: another press extends the period, no second fade.
    p.fade(1000);
    QCOMPARE(p.alpha(), 0);
    QTest::mousePress(p.overlay(), Qt::LeftButton, Qt::NoModifier, QPoint(200, 100));
    QCOMPARE(p.on.count(), 1);
    QCOMPARE(p.alpha(), 0);
}

void tst_MainGui::cornersAndOverlay_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("panel") << QSize(800, 480);
    QTest::newRow("larger") << QSize(1024, 768);
    QTest::newRow("smaller") << QSize(640, 400);
    QTest::newRow("form size") << QSize(800, 600);
}

void tst_MainGui::cornersAndOverlay()
{
    QFETCH(QSize, size);
    Panel p;
    p.gui->resize(size);
    QTRY_COMPARE(p.gui->size(), size);
    QCOMPARE(p.overlay()->geometry(), QRect(QPoint(0, 0), size));
    const QList<QPushButton *> buttons = p.corners();
    QCOMPARE(buttons.size(), 4);
    QCOMPARE(buttons.at(0)->geometry(), QRect(0, 0, 64, 64));
    QCOMPARE(buttons.at(1)->geometry(), QRect(736, 0, 64, 64));
    QCOMPARE(buttons.at(2)->geometry(), QRect(736, 416, 64, 64));
    QCOMPARE(buttons.at(3)->geometry(), QRect(0, 416, 64, 64));
    for (QPushButton *b : buttons)
        QVERIFY(b->text().isEmpty());
}

// A corner press on the dark screen lights it and counts as a sequence press.
void tst_MainGui::setupSequenceOpensDialog()
{
    Panel p;
    p.press(setupSequence.mid(0, 1));
    QCOMPARE(p.on.count(), 1);
    QVERIFY(p.dialogs().isEmpty());
    p.press(setupSequence.mid(1));
    QCOMPARE(p.dialogs().size(), 1);
    DialogSetup *dialog = p.dialogs().at(0);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->windowFlags() & (Qt::Dialog | Qt::FramelessWindowHint), Qt::Dialog | Qt::FramelessWindowHint);

    // While it is open nothing else opens one, and reports do not wake the view.
    emit p.ctrl.ShowSetupDialog();
    p.press(setupSequence);
    QCOMPARE(p.dialogs().size(), 1);
    emit p.ctrl.HeadboxPluggedChangeState(true, QStringLiteral("SN"), 1);
    QCOMPARE(p.on.count(), 1);
}

void tst_MainGui::dialogClosesIntoLitView_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("apply") << "apply";
    QTest::newRow("cancel") << "cancel";
    QTest::newRow("escape") << "escape";
    QTest::newRow("window close") << "close";
}

// The screen takes the dialog as gone at once and deletes it from the event
// loop, after the dialog's close handling has returned.
void tst_MainGui::dialogClosesIntoLitView()
{
    QFETCH(QString, how);
    Panel p;
    QSignalSpy closed(&p.ctrl, &Controller::ClosedSetup);
    emit p.ctrl.ShowSetupDialog();
    QCOMPARE(p.on.count(), 1);
    QPointer<DialogSetup> dialog = p.dialogs().value(0);
    QVERIFY(dialog);

    if (how == QLatin1String("apply"))
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("btnApply")), Qt::LeftButton);
    else if (how == QLatin1String("cancel"))
        QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("btnCancel")), Qt::LeftButton);
    else if (how == QLatin1String("escape"))
        QTest::keyClick(dialog->findChild<QSpinBox *>(QStringLiteral("spinBoxIp2")), Qt::Key_Escape);
    else
        dialog->close();

    QCOMPARE(closed.count(), 1);
    QVERIFY(dialog);
    QVERIFY(!dialog->isVisible());
    QCOMPARE(p.on.count(), 2);
    QCOMPARE(p.alpha(), 255);

    // Gone for the screen already: a new request opens a new dialog.
    emit p.ctrl.ShowSetupDialog();
    QCOMPARE(p.dialogs().size(), 2);
    dropDeleted();
    QVERIFY(!dialog);
    QCOMPARE(p.dialogs().size(), 1);
    QCOMPARE(closed.count(), 1);

    p.dialogs().at(0)->close();
    dropDeleted();
    QVERIFY(p.dialogs().isEmpty());
    p.fade(1000);
    QCOMPARE(p.alpha(), 0);
}

void tst_MainGui::exitSequenceClosesWindow()
{
    Panel p;
    p.press(QList<int>{1, 1} + exitSequence.mid(0, 3));
    QVERIFY(p.gui->isVisible());
    p.press(exitSequence.mid(3));
    QVERIFY(!p.gui->isVisible());
    QVERIFY(p.dialogs().isEmpty());
}

void tst_MainGui::images()
{
    const struct {
        const char *name;
        QSize size;
    } expected[] = {
        {"headboxconn.png", QSize(128, 127)},   {"headboxdisconn.png", QSize(128, 127)},
        {"network_ok.png", QSize(128, 128)},    {"network_ko.png", QSize(128, 128)},
        {"connection_ok.png", QSize(128, 128)}, {"connection_ko.png", QSize(128, 128)},
        {"Red up arrow.png", QSize(48, 48)},    {"Red down arrow.png", QSize(48, 48)},
        {"rate_star_med_on.png", QSize(21, 22)},
    };
    Panel p; // registers the bundle
    for (const auto &e : expected) {
        const QString path = QStringLiteral(":/gui/resources/") + QLatin1String(e.name);
        QImageReader reader(path);
        QVERIFY2(reader.canRead(), qPrintable(path));
        QCOMPARE(reader.format(), QByteArray("png"));
        const QImage image = reader.read();
        QCOMPARE(image.size(), e.size);
        QVERIFY2(image.hasAlphaChannel(), e.name);
        QCOMPARE(image.format(), QImage::Format_ARGB32);
        // Drawn on a transparent ground, so the panel's black shows around them.
        QCOMPARE(qAlpha(image.pixel(0, image.height() - 1)), 0);
    }
}

// The committed images are what the generator draws.
void tst_MainGui::imagesAreReproducible()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess generator;
    generator.start(QStringLiteral(GENERATE_RESOURCES), {dir.path()});
    QVERIFY(generator.waitForFinished(30000));
    QCOMPARE(generator.exitStatus(), QProcess::NormalExit);
    QCOMPARE(generator.exitCode(), 0);

    Panel p; // registers the bundle
    const QStringList names = QDir(QStringLiteral(":/gui/resources")).entryList();
    QCOMPARE(names.size(), 9);
    for (const QString &name : names) {
        const QImage committed = QImage(QStringLiteral(":/gui/resources/") + name).convertToFormat(QImage::Format_ARGB32);
        const QImage drawn = QImage(dir.filePath(name)).convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(drawn.size(), committed.size());
        int worst = 0;
        for (int y = 0; y < drawn.height(); ++y) {
            for (int x = 0; x < drawn.width(); ++x) {
                const QRgb a = drawn.pixel(x, y);
                const QRgb b = committed.pixel(x, y);
                worst = qMax(worst, qMax(qAbs(qAlpha(a) - qAlpha(b)),
                                         qMax(qAbs(qRed(a) - qRed(b)),
                                              qMax(qAbs(qGreen(a) - qGreen(b)), qAbs(qBlue(a) - qBlue(b))))));
            }
        }
        // Antialiasing may round differently on another machine.
        QVERIFY2(worst <= 8, qPrintable(name + QStringLiteral(": ") + QString::number(worst)));
    }
}

void tst_MainGui::litPeriod_data()
{
    QTest::addColumn<QString>("then");
    QTest::newRow("left alone") << "alone";
    QTest::newRow("touched while lit") << "touched";
    QTest::newRow("woken during the fade-out") << "woken";
    QTest::newRow("setup asked for during the fade-out") << "asked";
    QTest::newRow("setup open when the period ends") << "setup";
}

// Lit, the view stays so for 20 s after the last touch or report, then fades
// out over a second and asks for the display to go off. The test checks the
// period's timer, ends the period itself and moves the animation time.
void tst_MainGui::litPeriod()
{
    QFETCH(QString, then);
    Panel p;
    p.wake();
    p.fade(1000);
    QCOMPARE(p.alpha(), 0);
    QTimer *period = p.gui->timer;
    QVERIFY(period->isActive());
    QCOMPARE(period->interval(), 20000);
    // A coarse timer of this length may fire up to a second early.
    QCOMPARE(period->timerType(), Qt::PreciseTimer);

    if (then == QLatin1String("touched")) {
        // Near its end, a touch and a report each start the period again,
        // without a second fade-in.
        period->start(1000);
        QTest::mouseClick(p.overlay(), Qt::LeftButton, Qt::NoModifier, QPoint(400, 240));
        QCOMPARE(period->interval(), 20000);
        QVERIFY2(period->remainingTime() > 1000, qPrintable(QString::number(period->remainingTime())));
        period->start(1000);
        p.wake();
        QCOMPARE(period->interval(), 20000);
        QVERIFY2(period->remainingTime() > 1000, qPrintable(QString::number(period->remainingTime())));
        QCOMPARE(p.on.count(), 1);
        QCOMPARE(p.alpha(), 0);
        then = QStringLiteral("alone");
    }

    if (then == QLatin1String("setup")) {
        // The dialog keeps the view lit: the period stops, and a timeout
        // already on its way changes nothing.
        emit p.ctrl.ShowSetupDialog();
        QCOMPARE(p.dialogs().size(), 1);
        QVERIFY(!period->isActive());
        p.endLitPeriod();
        p.fade(2000);
        QCOMPARE(p.alpha(), 0);
        QCOMPARE(p.on.count(), 1);
        QCOMPARE(p.off.count(), 0);

        // Closing it switches the display on and fades in from black into a
        // new period.
        QTest::mouseClick(p.dialogs().at(0)->findChild<QPushButton *>(QStringLiteral("btnCancel")), Qt::LeftButton);
        QCOMPARE(p.on.count(), 2);
        QCOMPARE(p.alpha(), 255);
        p.fade(1000);
        QCOMPARE(p.alpha(), 0);
        QVERIFY(period->isActive());
        QCOMPARE(p.off.count(), 0);
        return;
    }

    p.endLitPeriod();
    QVERIFY(!period->isActive());
    p.fade(300);
    QVERIFY2(p.alpha() > 0 && p.alpha() < 255, qPrintable(QString::number(p.alpha())));

    if (then == QLatin1String("alone")) {
        p.fade(690);
        QCOMPARE(p.off.count(), 0);
        p.fade(10);
        QCOMPARE(p.off.count(), 1);
        QCOMPARE(p.alpha(), 255);
        QCOMPARE(p.on.count(), 1);

        // Dark after the fade-out: a PC connecting changes the image only.
        emit p.ctrl.ClientConnectionState(true);
        QVERIFY(p.viewSheet("graphicsViewCommunication").contains(QLatin1String("connection_ok.png")));
        QCOMPARE(p.on.count(), 1);
        QCOMPARE(p.alpha(), 255);
        return;
    }

    if (then == QLatin1String("woken")) {
        // The fade stops and the view fades in again, lit for a new period.
        p.wake();
        QCOMPARE(p.on.count(), 2);
        p.fade(1000);
        QCOMPARE(p.alpha(), 0);
        QVERIFY(period->isActive());
    } else {
        emit p.ctrl.ShowSetupDialog();
        QCOMPARE(p.on.count(), 2);
        QCOMPARE(p.dialogs().size(), 1);
        QVERIFY(!period->isActive());
    }
    // The stopped fade-out never switches the display off.
    p.fade(2000);
    QCOMPARE(p.off.count(), 0);
}

QTEST_MAIN(tst_MainGui)
#include "tst_maingui.moc"
