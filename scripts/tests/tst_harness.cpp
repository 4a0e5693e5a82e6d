#include <QTest>
#include <QProcess>
#include <QProcessEnvironment>
#include <QNetworkInterface>

#include <csignal>

#include "harness.h"

// The harness is what keeps broadcasts, ifupdown, reboots and stray signals
// away from the machine running the tests; these cases prove each of its
// walls. Walls that depend on what the machine has (a hook in
// /etc/network/if-down.d, /usr/bin/sudo, /dev/mem) are shown on a harness
// nested in this one, started from a throw-away mount namespace that puts
// those things in place first: nothing here is written to the machine's own
// folders.
class tst_Harness : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void onlyPrivateInterfacesAreVisible();
    void interfacesFileIsTheTemporaryOne();
    void standInsOnPathRecordAndDoNothing_data();
    void standInsOnPathRecordAndDoNothing();
    void pcSideIsAnotherHostOnTheLan();
    void inheritedVariablesDoNotSkipUnsharing();
    void refusesInTheCallersNamespaces_data();
    void refusesInTheCallersNamespaces();
    void machineHooksDoNotRun();
    void machineProgramsAndMemoryAreShadowed();
    void killInsideReachesNothingOutside();
};

static const QString harnessScript = QStringLiteral(QUARNEL_SCRIPTS_DIR "/harness.sh");

static QString readAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

static QStringList lines(const QString &text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

static QString ownNamespaces()
{
    return QStringList{harness::namespaceOf("net"), harness::namespaceOf("mnt"), harness::namespaceOf("pid")}
        .join(QLatin1Char(' '));
}

struct Finished
{
    int code = -1;
    QString output; // standard output and error, merged
    QString folder; // of a nested run: its throw-away files
};

// Safety net only: a nested harness needs a few seconds on a loaded machine.
static const int finishMs = 300000;

static Finished run(const QString &program, const QStringList &args,
                    const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.setProcessEnvironment(env);
    p.start(program, args);
    Finished f;
    if (!p.waitForFinished(finishMs))
        p.kill(), p.waitForFinished();
    f.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    f.output = QString::fromUtf8(p.readAll());
    return f;
}

// scripts/harness.sh COMMAND... nested in this test's harness, started from a
// throw-away mount namespace that `setup` (sh, folder in $t) prepares first.
static Finished nested(const QString &setup, const QStringList &command,
                       QProcessEnvironment env = QProcessEnvironment::systemEnvironment())
{
    static int serial = 0;
    const QString t = harness::dir() + QStringLiteral("/nested%1").arg(++serial);
    if (!QDir().mkpath(t))
        return Finished();
    env.insert(QStringLiteral("HARNESS"), harnessScript);
    const QString script = QStringLiteral("t=$1; shift\n") + setup + QStringLiteral("\nexec \"$HARNESS\" \"$@\"\n");
    Finished f = run(QStringLiteral("unshare"),
                     QStringList{"--mount", "--propagation", "private", "sh", "-euc", script, "sh", t} + command, env);
    f.folder = t;
    return f;
}

void tst_Harness::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
}

void tst_Harness::onlyPrivateInterfacesAreVisible()
{
    QStringList names;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
        names << i.name();
    names.sort();
    QCOMPARE(names, (QStringList{"eth0", "lo"}));
    // Nor through sysfs: /sys belongs to this network namespace.
    QCOMPARE(QDir("/sys/class/net").entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name),
             (QStringList{"eth0", "lo"}));

    const QNetworkInterface eth0 = QNetworkInterface::interfaceFromName("eth0");
    QStringList addresses;
    for (const QNetworkAddressEntry &e : eth0.addressEntries()) {
        if (e.ip().protocol() == QAbstractSocket::IPv4Protocol)
            addresses << e.ip().toString();
    }
    QCOMPARE(addresses, QStringList{harness::panelIp()});
}

void tst_Harness::interfacesFileIsTheTemporaryOne()
{
    const QString temporary = QString::fromLocal8Bit(qgetenv("QUARNEL_INTERFACES"));
    QVERIFY(temporary.startsWith(harness::dir()));
    QVERIFY(readAll("/etc/network/interfaces").startsWith("# quarnel harness"));

    // Same file, not a copy: a write through the system path lands in ours.
    QFile system("/etc/network/interfaces");
    QVERIFY(system.open(QIODevice::Append));
    system.write("# touched by tst_harness\n");
    system.close();
    QVERIFY(readAll(temporary).endsWith("# touched by tst_harness\n"));

    // A new file may replace it by rename, and is then the one behind the path.
    const QString text = readAll(temporary) + QStringLiteral("# replaced by rename\n");
    QFile next("/etc/network/interfaces.new");
    QVERIFY(next.open(QIODevice::WriteOnly));
    next.write(text.toUtf8());
    next.close();
    QVERIFY2(::rename("/etc/network/interfaces.new", "/etc/network/interfaces") == 0, strerror(errno));
    QCOMPARE(readAll(temporary), text);
}

void tst_Harness::standInsOnPathRecordAndDoNothing_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("recorded");
    QTest::newRow("sudo") << "sudo" << harness::sudoLog() << "reboot";
    QTest::newRow("reboot") << "reboot" << harness::standinLog() << "reboot reboot";
    QTest::newRow("systemctl") << "systemctl" << harness::standinLog() << "systemctl reboot";
}

void tst_Harness::standInsOnPathRecordAndDoNothing()
{
    QFETCH(QString, program);
    QFETCH(QString, log);
    QFETCH(QString, recorded);
    const int before = lines(readAll(log)).size();
    QCOMPARE(QProcess::execute(program, {"reboot"}), 0);
    QCOMPARE(lines(readAll(log)).mid(before), QStringList{recorded});
}

void tst_Harness::pcSideIsAnotherHostOnTheLan()
{
    QProcess pc;
    pc.start(QStringLiteral(QUARNEL_SCRIPTS_DIR "/pc.sh"), {"ip", "-4", "-o", "addr", "show"});
    QVERIFY(pc.waitForFinished(10000));
    const QString out = QString::fromUtf8(pc.readAllStandardOutput());
    QVERIFY2(out.contains("pc0") && out.contains(harness::pcIp() + "/24"), qPrintable(out));
    QVERIFY(!out.contains("eth0"));
}

// A shell that inherited every variable of a harness (this test's) still
// gets a harness of its own.
void tst_Harness::inheritedVariablesDoNotSkipUnsharing()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUARNEL_HARNESS_STAGE"), QStringLiteral("inner"));
    QCOMPARE(env.value("QUARNEL_HARNESS"), QStringLiteral("1"));
    const Finished f = nested(QString(), {"readlink", "/proc/self/ns/net", "/proc/self/ns/mnt", "/proc/self/ns/pid"}, env);
    QVERIFY2(f.code == 0, qPrintable(f.output));
    const QStringList inner = lines(f.output);
    const QStringList outer = ownNamespaces().split(QLatin1Char(' '));
    QCOMPARE(inner.size(), outer.size());
    for (int i = 0; i < inner.size(); ++i) {
        QVERIFY2(inner[i].startsWith(outer[i].left(5)), qPrintable(f.output));
        QVERIFY2(inner[i] != outer[i], qPrintable(f.output));
    }
}

// Given a record that names the namespaces they run in (a harness's
// variables inherited by a shell of the machine), the harness's inside and
// the tests' check refuse, and a test fails rather than skips.
void tst_Harness::refusesInTheCallersNamespaces_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("message");
    const QString shared = QStringLiteral("still in the caller's net namespace (%1)").arg(harness::namespaceOf("net"));
    // A PID namespace of its own, so that only the record can refuse.
    QTest::newRow("harness's inner stage")
        << "unshare" << QStringList{"--pid", "--fork", "--mount-proc", harnessScript, "--inner-stage", "true"}
        << "harness: refusing to set up: " + shared;
    QTest::newRow("harness.sh --inside") << harnessScript << QStringList{"--inside"} << shared;
    QTest::newRow("a test's check") << QCoreApplication::applicationFilePath()
                                    << QStringList{"onlyPrivateInterfacesAreVisible"}
                                    << "FAIL!  : tst_Harness::initTestCase() refusing to run outside the "
                                       "namespace harness (" + shared;
}

void tst_Harness::refusesInTheCallersNamespaces()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(QString, message);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QUARNEL_HARNESS_CALLER_NS"), ownNamespaces());
    const Finished f = run(program, args, env);
    QVERIFY2(f.code > 0, qPrintable(f.output));
    QVERIFY2(f.output.contains(message), qPrintable(f.output));
}

// Shell scripts follow, which moc's tokenizer cannot read.
#ifndef Q_MOC_RUN

// A hook in the caller's /etc/network/if-down.d (throw-away, in the caller's
// private mount namespace) that would run, does not run inside.
void tst_Harness::machineHooksDoNotRun()
{
    const QString setup = QString::fromUtf8(R"sh(
mkdir "$t/etc"
cp -a /etc/network/. "$t/etc/"
printf '#!/bin/sh\necho "$IFACE $MODE" >> "%s/hook-ran"\n' "$t" > "$t/etc/if-down.d/zz-quarnel-test"
chmod 755 "$t/etc/if-down.d/zz-quarnel-test"
mount --bind "$t/etc" /etc/network
run-parts --test /etc/network/if-down.d
)sh");
    const Finished f = nested(setup, {"sh", "-c", "ifdown eth0 && ifup eth0 && run-parts --test /etc/network/if-down.d "
                                                  "&& echo cycled"});
    QVERIFY2(f.code == 0, qPrintable(f.output));
    QCOMPARE(lines(f.output), (QStringList{"/etc/network/if-down.d/zz-quarnel-test", "cycled"}));
    QVERIFY2(!QFile::exists(f.folder + "/hook-ran"), qPrintable(readAll(f.folder + "/hook-ran")));
}

// The caller's sudo, reboot and systemctl (throw-away ones that would leave a
// mark) are shadowed by the stand-ins, and its /dev/mem (a plain file here)
// by /dev/null.
void tst_Harness::machineProgramsAndMemoryAreShadowed()
{
    const QString setup = QString::fromUtf8(R"sh(
for d in /usr/bin /usr/sbin; do
    mkdir -p "$t/ov$d/upper" "$t/ov$d/work"
    mount -t overlay -o "lowerdir=$d,upperdir=$t/ov$d/upper,workdir=$t/ov$d/work" quarnel-test "$d"
done
for p in /usr/bin/sudo /usr/sbin/reboot /usr/bin/systemctl; do
    rm -f "$p"
    printf '#!/bin/sh\necho "real $0 $*" >> "%s/real-ran"\n' "$t" > "$p"
    chmod 755 "$p"
done
mkdir "$t/dev"
mount -t tmpfs -o mode=755 quarnel-test "$t/dev"
for n in null zero full random urandom; do
    : > "$t/dev/$n"
    mount --bind "/dev/$n" "$t/dev/$n"
done
ln -s /proc/self/fd "$t/dev/fd"
mkdir "$t/dev/shm"
echo "the machine's memory" > "$t/dev/mem"
mount --rbind "$t/dev" /dev
)sh");
    const Finished f = nested(setup, {"sh", "-c", R"sh(/usr/bin/sudo reboot; /usr/sbin/reboot -f;
/usr/bin/systemctl stop quarnel; echo "mem $(stat -Lc %t:%T /dev/mem)";
cat "$QUARNEL_SUDO_LOG" "$QUARNEL_STANDIN_LOG")sh"});
    QVERIFY2(f.code == 0, qPrintable(f.output));
    QCOMPARE(lines(f.output), (QStringList{"mem 1:3", "reboot", "reboot -f", "systemctl stop quarnel"}));
    QVERIFY2(!QFile::exists(f.folder + "/real-ran"), qPrintable(readAll(f.folder + "/real-ran")));
}

static void noteTerm(int) {}

// A command inside that signals its whole process group and every process it
// may (kill(0, ...), kill(-1, ...)) reaches nothing outside: a witness in the
// caller's process group and PID namespace survives. The command checks first
// that it leads a session of its own and sits in another PID namespace, so
// that a broken wall fails the test instead of signalling the caller.
void tst_Harness::killInsideReachesNothingOutside()
{
    // Should a signal reach this process after all, the test reports it
    // instead of ending.
    struct sigaction note = {}, old = {};
    note.sa_handler = noteTerm;
    QCOMPARE(::sigaction(SIGTERM, &note, &old), 0);

    QVERIFY(harness::namespaceOf("pid") != QLatin1String("pid:[4026531836]"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HARNESS"), harnessScript);
    env.insert(QStringLiteral("OUTSIDE_PID_NS"), harness::namespaceOf("pid"));
    const QString inside = QString::fromUtf8(R"sh(
set -- $(cut -d' ' -f5,6 /proc/$$/stat)
[ "$1 $2" = "$$ $$" ] || { echo "no session of its own: group $1, session $2"; exit 98; }
ns=$(readlink /proc/self/ns/pid)
[ "$ns" != "$OUTSIDE_PID_NS" ] && [ "$ns" != "pid:[4026531836]" ] || { echo "in the caller's PID namespace"; exit 99; }
kill -TERM -1
kill -TERM 0
echo "survived its own kill(0)"
)sh");
    // The witness's fate is sealed when a signal reaches it; our SIGKILL
    // afterwards does not change the status that wait reports.
    const QString outside = QString::fromUtf8(R"sh(
sleep 1000 &
witness=$!
"$HARNESS" sh -c "$1"
echo "inside ended with $?"
kill -KILL $witness
wait $witness
echo "witness ended with $?"
)sh");
    const Finished f = run(QStringLiteral("sh"), {"-c", outside, "sh", inside}, env);
    ::sigaction(SIGTERM, &old, nullptr);
    const QStringList ends = lines(f.output).filter(QStringLiteral("ended with"));
    QVERIFY2(ends == (QStringList{"inside ended with 143", "witness ended with 137"}), qPrintable(f.output));
    QCOMPARE(f.code, 0);
}

#endif // Q_MOC_RUN

QTEST_GUILESS_MAIN(tst_Harness)
#include "tst_harness.moc"
