#include <QtTest>

#include <QFrame>
#include <QGraphicsView>
#include <QImageReader>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>

#include <functional>

#include "controller.h"
#include "dialogsetup.h"
#include "maingui.h"

Q_DECLARE_METATYPE(QHostAddress)

namespace {

const QList<int> setupSequence = {0, 1, 3, 2};
const QList<int> exitSequence = {2, 3, 1, 0};

// One status screen on a controller without a hub: the test plays the hub
// by emitting the controller's own signals and listens to the display
// requests that would reach it.
struct Panel
{
    Controller ctrl{nullptr, nullptr};
    MainGui *gui;
    QSignalSpy on{&ctrl, SIGNAL(TurnOnDisplay())};
    QSignalSpy off{&ctrl, SIGNAL(TurnOffDisplay())};

    Panel()
        : gui(new MainGui(nullptr))
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

    void realTimings();
};

void tst_MainGui::initTestCase()
{
    qRegisterMetaType<QHostAddress>();
    // The exit sequence closes the last window; the tests go on.
    QApplication::setQuitOnLastWindowClosed(false);
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

    QElapsedTimer clock;
    clock.start();
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

    QTRY_COMPARE_WITH_TIMEOUT(p.alpha(), 0, 3000);
    QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
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
    QTest::qWait(50);
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
    QTRY_COMPARE(p.alpha(), 0);
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
    QSignalSpy closed(&p.ctrl, SIGNAL(ClosedSetup()));
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
    QTRY_COMPARE(p.alpha(), 0);
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

// Times, on one clock, at which a screen's overlay starts to darken after
// being transparent and at which the screen asks for the display to go off.
// Recorded as they happen, so a busy machine makes them late, never early.
class FadeWatch : public QObject
{
public:
    FadeWatch(Panel *panel, const QElapsedTimer *clock)
        : p(panel), clock(clock)
    {
        p->overlay()->installEventFilter(this);
        connect(&p->ctrl, &Controller::TurnOffDisplay, this, [this] { offAt << this->clock->elapsed(); });
    }

    QList<qint64> fadeOutAt;
    QList<qint64> offAt;
    std::function<void()> onFadeOut;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::StyleChange)
            return false;
        const int alpha = p->alpha();
        if (lastAlpha == 0 && alpha > 0 && alpha < 255) {
            fadeOutAt << clock->elapsed();
            if (onFadeOut)
                onFadeOut();
        }
        lastAlpha = alpha;
        return false;
    }

private:
    Panel *p;
    const QElapsedTimer *clock;
    int lastAlpha = -1;
};

// The lit period and the fades with their real durations, observed on five
// screens at once so the suite waits for them only once:
//   lit      lit at 0, never touched: fades at 20 s, display off 1 s later
//   touched  lit at 0, touched again at 1.5 s: the period starts again
//   woken    touched during its fade-out: the fade stops, the display stays on
//   asked    setup asked for during its fade-out: the display stays on
//   setup    dialog open from 1.5 s on: nothing fades
void tst_MainGui::realTimings()
{
    const qint64 period = MainGui::ENABLED_VIEW_TIME_MS;
    const qint64 late = 1500; // what a loaded machine may add
    Panel lit, touched, woken, asked, setup;
    QElapsedTimer clock;
    FadeWatch litWatch(&lit, &clock), touchedWatch(&touched, &clock), wokenWatch(&woken, &clock),
        askedWatch(&asked, &clock), setupWatch(&setup, &clock);
    wokenWatch.onFadeOut = [&] { QTimer::singleShot(300, &woken.ctrl, [&] { woken.wake(); }); };
    askedWatch.onFadeOut = [&] { QTimer::singleShot(300, &asked.ctrl, [&] { emit asked.ctrl.ShowSetupDialog(); }); };

    clock.start();
    for (Panel *p : {&lit, &touched, &woken, &asked, &setup})
        p->wake();
    const qint64 litAt = clock.elapsed();

    QTest::qWait(1500);
    for (Panel *p : {&lit, &touched, &woken, &asked, &setup}) {
        QCOMPARE(p->alpha(), 0);
        QCOMPARE(p->on.count(), 1);
    }
    QTest::mouseClick(touched.overlay(), Qt::LeftButton, Qt::NoModifier, QPoint(400, 240));
    touched.wake();
    const qint64 touchedAt = clock.elapsed();
    QCOMPARE(touched.on.count(), 1);
    QCOMPARE(touched.alpha(), 0);
    emit setup.ctrl.ShowSetupDialog();
    QCOMPARE(setup.dialogs().size(), 1);

    QTRY_COMPARE_WITH_TIMEOUT(touchedWatch.offAt.size(), 1, int(period + 1000 + 2 * late + 1500));
    // Long enough for any fade still running to end and be counted.
    QTest::qWait(1300);

    QCOMPARE(litWatch.fadeOutAt.size(), 1);
    QVERIFY2(litWatch.fadeOutAt[0] - litAt >= period - 20, qPrintable(QString::number(litWatch.fadeOutAt[0])));
    QVERIFY2(litWatch.fadeOutAt[0] - litAt <= period + late, qPrintable(QString::number(litWatch.fadeOutAt[0])));
    QCOMPARE(litWatch.offAt.size(), 1);
    QVERIFY2(litWatch.offAt[0] - litWatch.fadeOutAt[0] >= 950, qPrintable(QString::number(litWatch.offAt[0])));
    QVERIFY2(litWatch.offAt[0] - litWatch.fadeOutAt[0] <= 1000 + late, qPrintable(QString::number(litWatch.offAt[0])));
    QCOMPARE(lit.alpha(), 255);
    QCOMPARE(lit.on.count(), 1);

    QCOMPARE(touchedWatch.fadeOutAt.size(), 1);
    QVERIFY2(touchedWatch.fadeOutAt[0] - touchedAt >= period - 20, qPrintable(QString::number(touchedWatch.fadeOutAt[0])));
    QCOMPARE(touched.on.count(), 1);
    QCOMPARE(touched.alpha(), 255);

    QCOMPARE(wokenWatch.fadeOutAt.size(), 1);
    QCOMPARE(woken.off.count(), 0);
    QCOMPARE(woken.on.count(), 2);
    QCOMPARE(woken.alpha(), 0);

    QCOMPARE(askedWatch.fadeOutAt.size(), 1);
    QCOMPARE(asked.off.count(), 0);
    QCOMPARE(asked.on.count(), 2);
    QCOMPARE(asked.dialogs().size(), 1);

    QCOMPARE(setupWatch.fadeOutAt.size(), 0);
    QCOMPARE(setup.off.count(), 0);
    QCOMPARE(setup.on.count(), 1);
    QCOMPARE(setup.alpha(), 0);
    QCOMPARE(setup.dialogs().size(), 1);

    // Dark after a real fade-out: a PC connecting changes the image only.
    emit lit.ctrl.ClientConnectionState(true);
    QVERIFY(lit.viewSheet("graphicsViewCommunication").contains(QLatin1String("connection_ok.png")));
    QCOMPARE(lit.on.count(), 1);
    QCOMPARE(lit.alpha(), 255);

    // Closing the dialog switches the display on and fades in from black.
    QTest::mouseClick(setup.dialogs().at(0)->findChild<QPushButton *>(QStringLiteral("btnCancel")), Qt::LeftButton);
    QCOMPARE(setup.on.count(), 2);
    QCOMPARE(setup.alpha(), 255);
    QTRY_COMPARE(setup.alpha(), 0);
    QCOMPARE(setup.off.count(), 0);
}

QTEST_MAIN(tst_MainGui)
#include "tst_maingui.moc"
