#include <QTest>
#include <QStandardPaths>

#include "e2esupport.h"

using namespace e2e;

// The real program on a virtual X display, touched with real pointer events
// (xdotool) the way a technician presses the hidden corner buttons.
class tst_E2ePanel : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void wrongSequenceOpensNothing();
    void setupSequenceAppliesAddress();
    void killDuringAddressChangeLeavesPanelReachable_data();
    void killDuringAddressChangeLeavesPanelReachable();
    void exitSequenceEndsProgram();

private:
    static QByteArray run(const QStringList &command);
    static QByteArray xdotool(const QStringList &args) { return run(QStringList{"xdotool"} + args); }
    static void press(const QList<int> &corners);
    static QString dialogWindow();
    static bool hasFocus(const QByteArray &windows);
    static void applyLastOctet(const QString &octet);
    static QStringList gates();

    QProcess _xvfb;
    QString _display;
    std::unique_ptr<Quarnel> _quarnel;
    std::unique_ptr<Broadcasts> _broadcasts;
};

QByteArray tst_E2ePanel::run(const QStringList &command)
{
    QProcess p;
    p.start(command.first(), command.mid(1));
    p.waitForFinished(10000);
    return p.readAllStandardOutput().trimmed();
}

// Corner buttons are 64 x 64 at the corners of the 800 x 480 screen:
// 0 top-left, 1 top-right, 2 bottom-right, 3 bottom-left. The X server
// queues the presses in order and the program takes them in that order:
// no pause is needed between them.
void tst_E2ePanel::press(const QList<int> &corners)
{
    static const QPoint centre[4] = {{32, 32}, {767, 32}, {767, 447}, {32, 447}};
    QStringList args;
    for (int c : corners)
        args << "mousemove" << QString::number(centre[c].x()) << QString::number(centre[c].y()) << "click" << "1";
    xdotool(args);
}

static QString xvfbLog()
{
    QFile f(QString::fromLocal8Bit(qgetenv("TMPDIR")) + "/xvfb.log");
    return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll().right(600)).simplified() : QString();
}

QString tst_E2ePanel::dialogWindow()
{
    return QString::fromLatin1(xdotool({"search", "--onlyvisible", "--name", "Setup parameters"}).split('\n').first());
}

// Whether one of the windows (ids, one a line) has the input focus.
bool tst_E2ePanel::hasFocus(const QByteArray &windows)
{
    const QByteArray focus = xdotool({"getwindowfocus"});
    return !focus.isEmpty() && windows.split('\n').contains(focus);
}

void tst_E2ePanel::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
    if (QStandardPaths::findExecutable("Xvfb").isEmpty() || QStandardPaths::findExecutable("xdotool").isEmpty())
        QSKIP("needs Xvfb and xdotool");
    // Xvfb picks a free display and writes its number to descriptor 3. By
    // default it resets whenever its last client leaves (every xdotool call),
    // and a program starting during a reset cannot connect: -noreset.
    const QString displayFile = QString::fromLocal8Bit(qgetenv("TMPDIR")) + "/e2e-display";
    QFile::remove(displayFile);
    _xvfb.setStandardErrorFile(QString::fromLocal8Bit(qgetenv("TMPDIR")) + "/xvfb.log");
    _xvfb.start("sh", {"-c", "exec Xvfb -displayfd 3 -noreset -screen 0 800x480x24 -nolisten tcp 3>\"$0\"", displayFile});
    QVERIFY(_xvfb.waitForStarted());
    const auto displayNumber = [&] {
        QFile f(displayFile);
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray();
    };
    QTRY_VERIFY_WITH_TIMEOUT(!displayNumber().isEmpty(), 10000);
    _display = ":" + QString::fromLatin1(displayNumber());
    qputenv("DISPLAY", _display.toLatin1());
    markAddressSet();
    _broadcasts.reset(new Broadcasts);
    QVERIFY2(_broadcasts->ok(), "the PC cannot bind UDP 8192/8193");
}

void tst_E2ePanel::cleanupTestCase()
{
    if (childprocess::signal(_xvfb, SIGTERM))
        _xvfb.waitForFinished(10000);
    childprocess::stop(_xvfb);
}

void tst_E2ePanel::init()
{
    _broadcasts->clear();
    _quarnel.reset(new Quarnel(1, 0, QStringLiteral("xcb")));
    _quarnel->setOwnSession();
    QVERIFY(_quarnel->start());
    // The status screen is up once the program's full-screen window shows.
    QTRY_VERIFY2_WITH_TIMEOUT(!xdotool({"search", "--onlyvisible", "--classname", "quarnel"}).isEmpty(),
                              qPrintable(QStringLiteral("no visible window; program %1; windows: %2")
                                             .arg(_quarnel->endText() + "; Xvfb: " + xvfbLog())
                                             .arg(QString::fromLocal8Bit(run({"xwininfo", "-root", "-tree"})).simplified().right(600))),
                              60000);
    // Until the program has given it the input focus, a window it opens
    // meanwhile may lose the focus to it.
    QTRY_VERIFY_WITH_TIMEOUT(hasFocus(xdotool({"search", "--onlyvisible", "--classname", "quarnel"})), 60000);
    // It broadcasts only once it has found its own address; a setup dialog
    // opened before would show none.
    QTRY_VERIFY_WITH_TIMEOUT(_broadcasts->discoveryCount() > 0, 60000);
    QVERIFY(dialogWindow().isEmpty());
}

void tst_E2ePanel::cleanup()
{
    _quarnel.reset();
    for (const QString &gate : gates())
        QFile::remove(gate);
}

void tst_E2ePanel::wrongSequenceOpensNothing()
{
    press({0, 1, 2, 3});
    press({3, 2, 1, 0});
    // Then the setup sequence: once its dialog shows, the program has taken
    // every press before it. A dialog opened by a wrong press would have
    // caught the setup presses instead, bottom left on Apply, which closes it.
    press({0, 1, 3, 2});
    QTRY_VERIFY2_WITH_TIMEOUT(!dialogWindow().isEmpty(), qPrintable(_quarnel->endText()), 30000);
    QVERIFY(_quarnel->running());
    QCOMPARE(_quarnel->terminate(), 0);
}

// Opens the address dialog, types the last octet and presses Apply.
void tst_E2ePanel::applyLastOctet(const QString &octet)
{
    press({0, 1, 3, 2});
    QTRY_VERIFY_WITH_TIMEOUT(!dialogWindow().isEmpty(), 30000);
    const QString dialog = dialogWindow();
    // Typed keys go to the dialog once the program has focused it.
    QTRY_VERIFY_WITH_TIMEOUT(hasFocus(dialog.toLatin1()), 30000);
    // The dialog covers the screen; the last octet's box and Apply.
    xdotool({"mousemove", "--window", dialog, "700", "155", "click", "--repeat", "2", "1"});
    xdotool({"key", "ctrl+a", "type", octet});
    xdotool({"mousemove", "--window", dialog, "190", "410", "click", "1"});
}

void tst_E2ePanel::setupSequenceAppliesAddress()
{
    applyLastOctet(QStringLiteral("77"));
    if (QTest::currentTestFailed())
        return;

    const QString want = QStringLiteral("198.51.100.77");
    const auto interfaces = [] {
        QFile f(QString::fromLocal8Bit(qgetenv("QUARNEL_INTERFACES")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    QTRY_VERIFY_WITH_TIMEOUT(interfaces().contains("address " + want.toLatin1()), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(run({"ip", "-4", "-o", "addr", "show", "dev", "eth0"}).contains(want.toLatin1() + "/24"), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(dialogWindow().isEmpty(), 30000);
    QVERIFY(_quarnel->running());
    QCOMPARE(_quarnel->terminate(), 0);
}

// Where a step of an address change can be held: an ifupdown hook of the
// harness's private /etc/network, or a stand-in ifup first on PATH.
QStringList tst_E2ePanel::gates()
{
    return {QStringLiteral("/etc/network/if-post-down.d/zz-gate"), harness::dir() + QStringLiteral("/bin/ifup"),
            QStringLiteral("/etc/network/if-pre-up.d/zz-gate")};
}

void tst_E2ePanel::killDuringAddressChangeLeavesPanelReachable_data()
{
    QTest::addColumn<int>("gate");
    QTest::addColumn<QString>("octet");
    // eth0 down without an address, the file still old.
    QTest::newRow("after ifdown") << 0 << "71";
    // eth0 down, the file new.
    QTest::newRow("after the write") << 1 << "72";
    // ifupdown has recorded eth0 as configured and not configured it yet.
    QTest::newRow("during ifup") << 2 << "73";
}

// The program and everything it started are killed at one step of an
// address change, as a service stop or an out-of-memory kill does; started
// again, the panel answers the PC on its old or its new address.
void tst_E2ePanel::killDuringAddressChangeLeavesPanelReachable()
{
    QFETCH(int, gate);
    QFETCH(QString, octet);
    const QHostAddress before = _broadcasts->discovery.last().sender;
    const QHostAddress after(QStringLiteral("198.51.100.") + octet);
    const QString reached = QString::fromLocal8Bit(qgetenv("TMPDIR")) + QStringLiteral("/gate-reached");
    QFile::remove(reached);
    QFile script(gates().at(gate));
    QVERIFY(script.open(QIODevice::WriteOnly | QIODevice::Truncate));
    script.write("#!/bin/sh\n"
                 "# Holds the step until the test kills the program's process group.\n"
                 "[ \"${IFACE:-eth0}\" = eth0 ] || exit 0\n"
                 ": > '" + QFile::encodeName(reached) + "'\n"
                 "exec sleep 600\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                                  | QFile::ExeOther));

    applyLastOctet(octet);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(reached), 60000);
    QVERIFY(_quarnel->killSession());
    QVERIFY(script.remove());

    _broadcasts->clear();
    _quarnel.reset(new Quarnel(1, 0));
    QVERIFY(_quarnel->start());
    QTRY_VERIFY2_WITH_TIMEOUT(_broadcasts->discoveryCount() > 0, qPrintable(_quarnel->endText()), 60000);
    const QHostAddress now = _broadcasts->discovery.last().sender;
    QVERIFY2(now == before || now == after, qPrintable(now.toString()));
    std::unique_ptr<QTcpSocket> pc(pcside::tcpConnect(now, dataPort));
    QVERIFY(pc);
    QCOMPARE(_quarnel->terminate(), 0);
}

void tst_E2ePanel::exitSequenceEndsProgram()
{
    press({2, 3, 1, 0});
    QVERIFY(_quarnel->process()->waitForFinished(30000));
    QCOMPARE(_quarnel->process()->exitStatus(), QProcess::NormalExit);
    QCOMPARE(_quarnel->process()->exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_E2ePanel)
#include "tst_e2e_panel.moc"
