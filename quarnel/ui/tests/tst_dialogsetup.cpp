#include <QTest>
#include <QSignalSpy>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "controller.h"
#include "dialogsetup.h"

Q_DECLARE_METATYPE(QHostAddress)

namespace {

struct Setup
{
    Controller ctrl{nullptr, nullptr};
    DialogSetup *dialog = nullptr;
    QSignalSpy change{&ctrl, &Controller::UserChangeIp};
    QSignalSpy closed{&ctrl, &Controller::ClosedSetup};

    // The terminal at 'address' (none when empty), in first-time mode or not.
    Setup(const QString &address, bool firstTime)
    {
        if (!address.isEmpty() || firstTime)
            ctrl.IpAddr(address.isEmpty() ? QHostAddress() : QHostAddress(address), firstTime);
    }
    ~Setup() { delete dialog; }

    void open()
    {
        dialog = new DialogSetup(nullptr);
        dialog->setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
        dialog->showFullScreen();
        dialog->SetController(&ctrl);
        QApplication::setActiveWindow(dialog);
    }

    QSpinBox *box(int n) const { return dialog->findChild<QSpinBox *>(QStringLiteral("spinBoxIp%1").arg(n)); }
    QLineEdit *field(int n) const { return box(n)->findChild<QLineEdit *>(); }
    QPushButton *button(const char *name) const { return dialog->findChild<QPushButton *>(QLatin1String(name)); }
    QString label(const char *name) const { return dialog->findChild<QLabel *>(QLatin1String(name))->text(); }

    QList<int> fields() const { return {box(1)->value(), box(2)->value(), box(3)->value(), box(4)->value()}; }

    // Which fields show their arrows, 1 to 4.
    QList<int> arrows() const
    {
        QList<int> shown;
        for (int n = 1; n <= 4; ++n) {
            if (box(n)->styleSheet().contains(QLatin1String("Red up arrow.png")))
                shown << n;
        }
        return shown;
    }

    void touch(QWidget *w) { QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, QPoint(w->width() / 2, w->height() / 2)); }

    void type(int n, const QString &digits)
    {
        touch(field(n));
        field(n)->selectAll();
        QTest::keyClicks(field(n), digits);
    }
};

const char hiddenSheet[] =
    "QSpinBox { border-radius: 25px; background-color:rgb(228, 228, 226);}"
    "QSpinBox::up-button {subcontrol-position: top left; width: 0; height: 0;}"
    "QSpinBox::down-button {subcontrol-position: top right; width: 0; height: 0;}";
const char shownSheet[] =
    "QSpinBox {border-radius: 25px; background-color:rgb(228, 228, 226);}"
    "QSpinBox::up-button {subcontrol-position: top left; width: 50; height: 50; border: 0px;"
    "image: url(:/gui/resources/Red up arrow.png);}"
    "QSpinBox::down-button {subcontrol-position: top right; width: 50; height: 50; border: 0px;"
    "image: url(:/gui/resources/Red down arrow.png);}";

} // namespace

class tst_DialogSetup : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void loadsAddress_data();
    void loadsAddress();
    void closing_data();
    void closing();
    void reportsCloseOnce();
    void arrowsFollowTheTouchedField();
    void versionTexts();
    void labelsShowTheirWholeText_data();
    void labelsShowTheirWholeText();
    void buttonsAtTheBottom();
};

void tst_DialogSetup::initTestCase()
{
    qRegisterMetaType<QHostAddress>();
}

void tst_DialogSetup::loadsAddress_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QList<int>>("fields");
    QTest::newRow("none reported yet") << QString() << QList<int>{0, 0, 0, 0};
    QTest::newRow("panel") << "198.51.100.10" << QList<int>{198, 51, 100, 10};
    QTest::newRow("high octets") << "255.254.253.252" << QList<int>{255, 254, 253, 252};
    QTest::newRow("zeros inside") << "10.0.0.1" << QList<int>{10, 0, 0, 1};
}

void tst_DialogSetup::loadsAddress()
{
    QFETCH(QString, address);
    QFETCH(QList<int>, fields);
    Setup s(address, false);
    s.open();
    QCOMPARE(s.fields(), fields);
    for (int n = 1; n <= 4; ++n) {
        QCOMPARE(s.box(n)->maximum(), 255);
        QCOMPARE(s.box(n)->minimum(), 0);
    }
}

void tst_DialogSetup::closing_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("firstTime");
    QTest::addColumn<QString>("typed");   // "n:digits", or empty
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("handedOn"); // address the hub is asked for, or empty

    QTest::newRow("apply unchanged") << "192.168.1.1" << false << "" << "apply" << "";
    QTest::newRow("apply unchanged, first time") << "192.168.1.1" << true << "" << "apply" << "192.168.1.1";
    QTest::newRow("apply typed octet") << "192.168.1.1" << false << "3:77" << "apply" << "192.168.77.1";
    QTest::newRow("apply typed first octet") << "192.168.1.1" << false << "1:10" << "apply" << "10.168.1.1";
    QTest::newRow("apply before any address") << "" << false << "" << "apply" << "0.0.0.0";
    QTest::newRow("cancel typed") << "192.168.1.1" << true << "4:99" << "cancel" << "";
    QTest::newRow("escape typed") << "192.168.1.1" << true << "2:99" << "escape" << "";
    QTest::newRow("window closed") << "192.168.1.1" << true << "2:99" << "close" << "";
}

void tst_DialogSetup::closing()
{
    QFETCH(QString, address);
    QFETCH(bool, firstTime);
    QFETCH(QString, typed);
    QFETCH(QString, how);
    QFETCH(QString, handedOn);

    Setup s(address, firstTime);
    s.open();
    if (!typed.isEmpty()) {
        const int n = typed.section(':', 0, 0).toInt();
        s.type(n, typed.section(':', 1));
        // Typed digits count at once.
        QCOMPARE(s.box(n)->value(), typed.section(':', 1).toInt());
    }

    if (how == QLatin1String("apply"))
        QTest::mouseClick(s.button("btnApply"), Qt::LeftButton);
    else if (how == QLatin1String("cancel"))
        QTest::mouseClick(s.button("btnCancel"), Qt::LeftButton);
    else if (how == QLatin1String("escape"))
        QTest::keyClick(s.dialog, Qt::Key_Escape);
    else
        s.dialog->close();

    QVERIFY(!s.dialog->isVisible());
    QCOMPARE(s.closed.count(), 1);
    if (handedOn.isEmpty()) {
        QCOMPARE(s.change.count(), 0);
    } else {
        QCOMPARE(s.change.count(), 1);
        QCOMPARE(s.change.at(0).at(0).value<QHostAddress>(), QHostAddress(handedOn));
    }
}

void tst_DialogSetup::reportsCloseOnce()
{
    Setup s(QStringLiteral("192.168.1.1"), false);
    s.open();
    QTest::mouseClick(s.button("btnCancel"), Qt::LeftButton);
    s.dialog->close();
    QTest::keyClick(s.dialog, Qt::Key_Escape);
    QCOMPARE(s.closed.count(), 1);
}

void tst_DialogSetup::arrowsFollowTheTouchedField()
{
    Setup s(QStringLiteral("192.168.1.1"), false);
    s.open();
    QCOMPARE(s.arrows(), QList<int>{});
    for (int n = 1; n <= 4; ++n)
        QCOMPARE(s.box(n)->styleSheet(), QString::fromLatin1(hiddenSheet));

    // The press goes on to the text: it places the cursor, ending a selection.
    s.field(3)->selectAll();
    s.touch(s.field(3));
    QCOMPARE(s.arrows(), QList<int>{3});
    QCOMPARE(s.box(3)->styleSheet(), QString::fromLatin1(shownSheet));
    QVERIFY(!s.field(3)->hasSelectedText());

    s.touch(s.field(1));
    QCOMPARE(s.arrows(), QList<int>{1});

    // A press on the box itself (its arrows) does not move them.
    s.touch(s.box(4));
    QCOMPARE(s.arrows(), QList<int>{1});
    s.touch(s.button("btnApply")->parentWidget());
    QCOMPARE(s.arrows(), QList<int>{1});
}

// The firmware text is the one known when the dialog opened.
void tst_DialogSetup::versionTexts()
{
    Setup s(QStringLiteral("192.168.1.1"), false);
    s.open();
    QCOMPARE(s.label("lblFwVer"), QString());
    QCOMPARE(s.label("lblSwVer"), QStringLiteral("software ver. 1.9.2022.5"));
    delete s.dialog;
    s.dialog = nullptr;

    s.ctrl.FirmwareVersion(QStringLiteral("FW 2.4 rev B"));
    s.open();
    QCOMPARE(s.label("lblFwVer"), QStringLiteral("FW 2.4 rev B"));
    s.ctrl.FirmwareVersion(QStringLiteral("FW 2.5"));
    QCOMPARE(s.label("lblFwVer"), QStringLiteral("FW 2.4 rev B"));
    QCOMPARE(s.dialog->windowTitle(), QStringLiteral("Setup parameters"));
    QCOMPARE(s.label("lblSetIp"), QStringLiteral("Set IP:"));
}

void tst_DialogSetup::labelsShowTheirWholeText_data()
{
    QTest::addColumn<QString>("family");
    QTest::addColumn<QString>("firmware");
    // Debian's default cuts the version's last digits and the colon.
    QTest::newRow("DejaVu Sans") << "DejaVu Sans" << "firmware ver. 2.7";
    // Wide enough that "Set IP:" fits between the edge and the first field
    // only in a smaller size.
    QTest::newRow("DejaVu Sans Mono, long firmware text")
        << "DejaVu Sans Mono" << "firmware ver. 2.7.1045 rev. B (2026-11-30)";
    QTest::newRow("narrow font, short firmware text") << "DejaVu Sans Condensed" << "fw 2.7";
}

void tst_DialogSetup::labelsShowTheirWholeText()
{
    QFETCH(QString, family);
    QFETCH(QString, firmware);
    const QFont appFont = QApplication::font();
    QFont font(family);
    font.setPointSize(appFont.pointSize());
    QApplication::setFont(font);

    Setup s(QStringLiteral("198.51.100.10"), false);
    s.ctrl.FirmwareVersion(firmware);
    s.open();
    QApplication::setFont(appFont);

    struct Form
    {
        const char *name;
        QRect geometry;
        int pointSize;
    };
    const int dialogWidth = s.dialog->width();
    for (const Form &f : {Form{"lblSwVer", QRect(600, 60, 191, 16), 12}, Form{"lblFwVer", QRect(600, 30, 191, 16), 12},
                          Form{"lblSetIp", QRect(0, 140, 81, 31), 20}}) {
        const QLabel *label = s.dialog->findChild<QLabel *>(QLatin1String(f.name));
        QVERIFY(label->font().family().startsWith(family.left(9)));
        const QRect g = label->geometry();
        const int text = label->fontMetrics().horizontalAdvance(label->text()) + 2 * label->margin();
        QVERIFY2(text <= label->contentsRect().width(),
                 qPrintable(QStringLiteral("%1: %2 px of text in %3 px").arg(f.name).arg(text).arg(label->contentsRect().width())));
        QCOMPARE(g.y(), f.geometry.y());
        QCOMPARE(g.height(), f.geometry.height());
        QVERIFY2(g.left() >= 0 && g.right() < dialogWidth, f.name);

        QFont formFont = label->font();
        formFont.setPointSize(f.pointSize);
        if (QFontMetrics(formFont).horizontalAdvance(label->text()) <= f.geometry.width()) {
            QCOMPARE(g, f.geometry);
            QCOMPARE(label->font().pointSizeF(), qreal(f.pointSize));
            continue;
        }
        // Just wide enough: no more than the text.
        QVERIFY2(g.width() <= text + 1, f.name);
        if (g.right() >= f.geometry.right())
            QVERIFY2(g.left() == f.geometry.left() || g.right() == dialogWidth - 1, f.name);
    }

    // "Set IP:" never reaches into the first field; its size is given up
    // only where the room before the field is too small.
    const QLabel *setIp = s.dialog->findChild<QLabel *>(QStringLiteral("lblSetIp"));
    QVERIFY(setIp->geometry().right() < s.box(1)->geometry().left());
    QFont full = setIp->font();
    full.setPointSize(20);
    const bool fitsFull = QFontMetrics(full).horizontalAdvance(setIp->text()) <= s.box(1)->x();
    QCOMPARE(setIp->font().pointSizeF() == 20.0, fitsFull);
    if (!fitsFull) {
        QFont larger = setIp->font();
        larger.setPointSizeF(larger.pointSizeF() + 0.5);
        QVERIFY(QFontMetrics(larger).horizontalAdvance(setIp->text()) > s.box(1)->x());
    }
}

void tst_DialogSetup::buttonsAtTheBottom()
{
    Setup s(QString(), false);
    s.open();
    for (const QSize &size : {QSize(800, 480), QSize(1024, 600)}) {
        s.dialog->resize(size);
        QTRY_COMPARE(s.dialog->size(), size);
        QCOMPARE(s.button("btnApply")->geometry(), QRect(10, 409, 321, 61));
        QCOMPARE(s.button("btnCancel")->geometry(), QRect(469, 409, 321, 61));
    }
}

QTEST_MAIN(tst_DialogSetup)
#include "tst_dialogsetup.moc"
