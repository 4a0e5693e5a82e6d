#include "commandsession.h"
#include "discoversession.h"
#include "exitcodes.h"
#include "framecommandparser.h"
#include "interruptwatcher.h"
#include "recorder.h"

#include <quarnelpc/quarnelpc.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <cmath>
#include <cstdio>
#include <unistd.h>

namespace {

QTextStream &stdOut()
{
    static QTextStream s(stdout);
    return s;
}

QTextStream &stdErr()
{
    static QTextStream s(stderr);
    return s;
}

const char *const ExitCodeHelp =
    "Exit codes:\n"
    "  0  success\n"
    "  1  other failure (a file that cannot be written, a UDP port in use)\n"
    "  2  bad command line\n"
    "  3  terminal unreachable: host not found, no route, network unreachable\n"
    "  4  connection refused: nothing listens on the port\n"
    "  5  terminal busy with another PC: it closed the connection at once\n"
    "  6  time-out: no connection, no \"ok\" or no data in time; discover heard nothing\n"
    "  7  connection lost: the terminal closed the connection while working\n"
    "  8  check failed: lost or corrupted bytes in the recorded stream\n"
    "  9  protocol error: the terminal sent an \"ok\" with no command waiting for it\n"
    "  10 no data: record ended without a byte of the headbox stream\n";

QString usage()
{
    return QStringLiteral(
               "Usage: quarnelclient SUBCOMMAND [OPTIONS] [ARGUMENTS]\n"
               "\n"
               "The PC side of the quarnel terminal's protocol: finds terminals on the LAN,\n"
               "sends them commands and records what their headboxes send.\n"
               "\n"
               "Subcommands:\n"
               "  discover              listen for the terminal's broadcasts (UDP %1\n"
               "                        discovery JSON, UDP %2 status records) and print\n"
               "                        them with their sender\n"
               "  command HOST CMD...   send terminal command frames on TCP %3 and wait for\n"
               "                        each \"ok\" on TCP %4\n"
               "  record HOST           connect, switch sync on, store the headbox stream for\n"
               "                        a time or a byte count, optionally check the\n"
               "                        simulator's pattern\n"
               "  frame CMD...          print the bytes of terminal command frames (no network)\n"
               "\n"
               "'quarnelclient SUBCOMMAND --help' describes the options of each.\n"
               "\n"
               "Terminal commands (for 'command', 'frame' and 'record --setup'):\n")
               .arg(QuarnelPc::Discovery::defaultDiscoveryPort()).arg(QuarnelPc::Discovery::defaultStatusPort())
               .arg(QuarnelPc::Terminal::defaultDataPort()).arg(QuarnelPc::Terminal::defaultAnswerPort())
        + FrameCommandParser::grammar() + QStringLiteral("\n") + QLatin1String(ExitCodeHelp)
        + QStringLiteral("\n"
                         "Options:\n"
                         "  -h, --help            print this text\n"
                         "  -v, --version         print the version\n");
}

// The parser names the program by its path; the subcommand reads better.
QString helpText(const QCommandLineParser &p, const QString &sub)
{
    QString t = p.helpText();
    const int nl = t.indexOf(QLatin1Char('\n'));
    const QString first = t.left(nl);
    QString fixed = first;
    fixed.replace(QCoreApplication::arguments().constFirst(), QStringLiteral("quarnelclient ") + sub);
    return fixed + t.mid(nl);
}

int usageError(const QString &sub, const QString &message)
{
    stdErr() << "quarnelclient: " << message << "\n"
             << "Try 'quarnelclient " << sub << (sub.isEmpty() ? "" : " ") << "--help'.\n";
    stdErr().flush();
    return ExitCode::Usage;
}

struct CommonOptions
{
    QCommandLineOption dataPort{ QStringLiteral("data-port"), QStringLiteral("Data port of the terminal (%1).").arg(QuarnelPc::Terminal::defaultDataPort()), QStringLiteral("PORT"), QString::number(QuarnelPc::Terminal::defaultDataPort()) };
    QCommandLineOption answerPort{ QStringLiteral("answer-port"), QStringLiteral("Answer port of the terminal (%1).").arg(QuarnelPc::Terminal::defaultAnswerPort()), QStringLiteral("PORT"), QString::number(QuarnelPc::Terminal::defaultAnswerPort()) };
    QCommandLineOption connectTimeout{ QStringLiteral("connect-timeout"), QStringLiteral("Time-out for the connection, ms (5000)."), QStringLiteral("MS"), QStringLiteral("5000") };
    QCommandLineOption answerTimeout{ QStringLiteral("answer-timeout"), QStringLiteral("Time-out for each \"ok\", ms (3000); a delay command adds its own time."), QStringLiteral("MS"), QStringLiteral("3000") };

    void addTo(QCommandLineParser &p) const
    {
        p.addOption(dataPort);
        p.addOption(answerPort);
        p.addOption(connectTimeout);
        p.addOption(answerTimeout);
    }
};

bool numberOption(const QCommandLineParser &p, const QCommandLineOption &o, qint64 min, qint64 max,
                  qint64 *value, QString *error)
{
    bool ok = false;
    const QString text = p.value(o);
    const qint64 v = text.toLongLong(&ok);
    if (!ok || v < min || v > max) {
        *error = QStringLiteral("--%1 must be a number from %2 to %3, not '%4'")
                     .arg(o.names().constFirst()).arg(min).arg(max).arg(text);
        return false;
    }
    *value = v;
    return true;
}

// Byte counts may carry a decimal suffix: k, M, G.
bool byteCount(const QString &text, qint64 *value)
{
    QString t = text.trimmed();
    qint64 scale = 1;
    if (t.endsWith(QLatin1Char('k'), Qt::CaseInsensitive))
        scale = 1000;
    else if (t.endsWith(QLatin1Char('M')))
        scale = 1000 * 1000;
    else if (t.endsWith(QLatin1Char('G')))
        scale = 1000 * 1000 * 1000;
    if (scale != 1)
        t.chop(1);
    bool ok = false;
    const qint64 v = t.toLongLong(&ok);
    if (!ok || v <= 0 || v > (qint64(1) << 50) / scale)
        return false;
    *value = v * scale;
    return true;
}

struct Connection
{
    QString host;
    quint16 dataPort = QuarnelPc::Terminal::defaultDataPort();
    quint16 answerPort = QuarnelPc::Terminal::defaultAnswerPort();
    int connectTimeoutMs = 5000;
    int answerTimeoutMs = 3000;
};

bool connectionOptions(const QCommandLineParser &p, const CommonOptions &c, Connection *out, QString *error)
{
    qint64 v = 0;
    if (!numberOption(p, c.dataPort, 1, 65535, &v, error))
        return false;
    out->dataPort = quint16(v);
    if (!numberOption(p, c.answerPort, 1, 65535, &v, error))
        return false;
    out->answerPort = quint16(v);
    if (!numberOption(p, c.connectTimeout, 1, 3600000, &v, error))
        return false;
    out->connectTimeoutMs = int(v);
    if (!numberOption(p, c.answerTimeout, 1, 3600000, &v, error))
        return false;
    out->answerTimeoutMs = int(v);
    return true;
}

class Result : public QObject
{
    Q_OBJECT
public:
    int code = ExitCode::Failure;
    QString error;
    bool done = false;
public slots:
    void set(int c, const QString &e)
    {
        code = c;
        error = e;
        done = true;
        QCoreApplication::quit();
    }
};

int finishRun(QCoreApplication &app, Result &result)
{
    // A job may end inside its start(), before there is a loop to quit.
    if (!result.done)
        app.exec();
    if (!result.error.isEmpty()) {
        stdErr() << "quarnelclient: " << result.error << "\n";
        stdErr().flush();
    }
    return result.code;
}

int discover(QCoreApplication &app, const QStringList &args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Listens for the terminal's broadcasts and prints each discovery JSON (UDP %1)\n"
        "and each decoded status record (UDP %2: headbox serial, PC address, terminal\n"
        "address) with its sender. Ends after --timeout seconds, after --count datagrams\n"
        "or at Ctrl-C; exit code 0 when anything was heard, 6 when nothing was.")
        .arg(QuarnelPc::Discovery::defaultDiscoveryPort()).arg(QuarnelPc::Discovery::defaultStatusPort()));
    p.addHelpOption();
    QCommandLineOption timeout(QStringLiteral("timeout"), QStringLiteral("Stop after this many seconds (0 = never)."), QStringLiteral("SECONDS"), QStringLiteral("0"));
    QCommandLineOption count(QStringLiteral("count"), QStringLiteral("Stop after this many datagrams (0 = no limit)."), QStringLiteral("N"), QStringLiteral("0"));
    QCommandLineOption discoveryPort(QStringLiteral("discovery-port"), QStringLiteral("UDP port of the discovery JSON (%1).").arg(QuarnelPc::Discovery::defaultDiscoveryPort()), QStringLiteral("PORT"), QString::number(QuarnelPc::Discovery::defaultDiscoveryPort()));
    QCommandLineOption statusPort(QStringLiteral("status-port"), QStringLiteral("UDP port of the status records (%1).").arg(QuarnelPc::Discovery::defaultStatusPort()), QStringLiteral("PORT"), QString::number(QuarnelPc::Discovery::defaultStatusPort()));
    p.addOption(timeout);
    p.addOption(count);
    p.addOption(discoveryPort);
    p.addOption(statusPort);
    if (!p.parse(args))
        return usageError(QStringLiteral("discover"), p.errorText());
    if (p.isSet(QStringLiteral("help"))) {
        stdOut() << helpText(p, QStringLiteral("discover")) << "\n" << ExitCodeHelp;
        return ExitCode::Ok;
    }
    if (!p.positionalArguments().isEmpty())
        return usageError(QStringLiteral("discover"), QStringLiteral("discover takes no arguments"));

    DiscoverSession::Options o;
    QString error;
    qint64 v = 0;
    bool ok = false;
    o.timeoutSeconds = p.value(timeout).toDouble(&ok);
    // "nan" and "inf" read as numbers, and no comparison would stop them.
    if (!ok || !std::isfinite(o.timeoutSeconds) || o.timeoutSeconds < 0 || o.timeoutSeconds > 86400)
        return usageError(QStringLiteral("discover"), QStringLiteral("--timeout must be 0 to 86400 seconds"));
    if (!numberOption(p, count, 0, 1000000000, &v, &error))
        return usageError(QStringLiteral("discover"), error);
    o.count = int(v);
    if (!numberOption(p, discoveryPort, 1, 65535, &v, &error))
        return usageError(QStringLiteral("discover"), error);
    o.discoveryPort = quint16(v);
    if (!numberOption(p, statusPort, 1, 65535, &v, &error))
        return usageError(QStringLiteral("discover"), error);
    o.statusPort = quint16(v);

    Result result;
    DiscoverSession session(o, &stdOut());
    InterruptWatcher interrupts;
    QObject::connect(&session, &DiscoverSession::finished, &result, &Result::set);
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &session, &DiscoverSession::stop);
    session.start();
    return finishRun(app, result);
}

int command(QCoreApplication &app, const QStringList &args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Connects to the terminal (answer port first, then data port), sends each command\n"
        "as a terminal frame with its checksum, waits for its \"ok\", prints it with the\n"
        "round trip, and disconnects. Several commands may follow one another:\n"
        "  quarnelclient command 198.51.100.10 clock 8 readwrite 1 sync on\n"
        "Put '--' before negative numbers.\n\nCommands:\n") + FrameCommandParser::grammar());
    p.addHelpOption();
    CommonOptions common;
    common.addTo(p);
    QCommandLineOption repeat(QStringLiteral("repeat"), QStringLiteral("Send the commands N times over one connection and print the \"ok\" round trip's p50, p99 and maximum instead of each answer."), QStringLiteral("N"), QStringLiteral("1"));
    p.addOption(repeat);
    p.addPositionalArgument(QStringLiteral("host"), QStringLiteral("Address or name of the terminal."));
    p.addPositionalArgument(QStringLiteral("commands"), QStringLiteral("Terminal commands."), QStringLiteral("CMD..."));
    if (!p.parse(args))
        return usageError(QStringLiteral("command"), p.errorText());
    if (p.isSet(QStringLiteral("help"))) {
        stdOut() << helpText(p, QStringLiteral("command")) << "\n" << ExitCodeHelp;
        return ExitCode::Ok;
    }
    QStringList words = p.positionalArguments();
    if (words.size() < 2)
        return usageError(QStringLiteral("command"), QStringLiteral("command needs a host and at least one command"));

    CommandSession::Options o;
    Connection c;
    QString error;
    if (!connectionOptions(p, common, &c, &error))
        return usageError(QStringLiteral("command"), error);
    o.host = words.takeFirst();
    o.dataPort = c.dataPort;
    o.answerPort = c.answerPort;
    o.connectTimeoutMs = c.connectTimeoutMs;
    o.answerTimeoutMs = c.answerTimeoutMs;
    if (!FrameCommandParser::parse(words, &o.commands, &error))
        return usageError(QStringLiteral("command"), error);
    qint64 n = 0;
    if (!numberOption(p, repeat, 1, 10000000, &n, &error))
        return usageError(QStringLiteral("command"), error);
    o.repeat = int(n);

    Result result;
    CommandSession session(o, &stdOut());
    QObject::connect(&session, &CommandSession::finished, &result, &Result::set);
    session.start();
    return finishRun(app, result);
}

int record(QCoreApplication &app, const QStringList &args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Connects to the terminal, sends the --setup commands, switches sync on (the\n"
        "simulated headboxes then stream), stores every received byte for --seconds or\n"
        "--bytes, whichever ends first (or until Ctrl-C), switches sync off and\n"
        "disconnects. Time and rate count from the first byte. A progress line (bytes,\n"
        "rate, elapsed) goes to standard error, the summary to standard output.\n"
        "--check verifies the simulator's stream pattern and reports lost, duplicated\n"
        "and corrupted words.\n"
        "  quarnelclient record 198.51.100.10 --setup 'clock 8' --seconds 5 --out exam.bin --check"));
    p.addHelpOption();
    CommonOptions common;
    common.addTo(p);
    QCommandLineOption seconds(QStringLiteral("seconds"), QStringLiteral("Record for this many seconds after sync on."), QStringLiteral("S"));
    QCommandLineOption bytes(QStringLiteral("bytes"), QStringLiteral("Record this many bytes (suffix k, M, G: powers of 1000)."), QStringLiteral("N"));
    QCommandLineOption outFile(QStringLiteral("out"), QStringLiteral("Write the received bytes to FILE (default: count only)."), QStringLiteral("FILE"));
    QCommandLineOption check(QStringLiteral("check"), QStringLiteral("Check the simulated headbox's stream pattern."));
    QCommandLineOption setup(QStringLiteral("setup"), QStringLiteral("Terminal commands to send before sync on; repeatable (see 'quarnelclient --help')."), QStringLiteral("CMDS"));
    QCommandLineOption noSync(QStringLiteral("no-sync"), QStringLiteral("Do not switch sync on and off."));
    QCommandLineOption idleTimeout(QStringLiteral("idle-timeout"), QStringLiteral("Fail when no byte arrives for this long, ms (5000)."), QStringLiteral("MS"), QStringLiteral("5000"));
    QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("No progress line."));
    for (const QCommandLineOption *o : { &seconds, &bytes, &outFile, &check, &setup, &noSync, &idleTimeout, &quiet })
        p.addOption(*o);
    p.addPositionalArgument(QStringLiteral("host"), QStringLiteral("Address or name of the terminal."));
    if (!p.parse(args))
        return usageError(QStringLiteral("record"), p.errorText());
    if (p.isSet(QStringLiteral("help"))) {
        stdOut() << helpText(p, QStringLiteral("record")) << "\n" << ExitCodeHelp;
        return ExitCode::Ok;
    }
    if (p.positionalArguments().size() != 1)
        return usageError(QStringLiteral("record"), QStringLiteral("record needs exactly one host"));

    Recorder::Options o;
    Connection c;
    QString error;
    if (!connectionOptions(p, common, &c, &error))
        return usageError(QStringLiteral("record"), error);
    o.host = p.positionalArguments().constFirst();
    o.dataPort = c.dataPort;
    o.answerPort = c.answerPort;
    o.connectTimeoutMs = c.connectTimeoutMs;
    o.answerTimeoutMs = c.answerTimeoutMs;
    if (p.isSet(seconds)) {
        bool ok = false;
        o.seconds = p.value(seconds).toDouble(&ok);
        if (!ok || !std::isfinite(o.seconds) || o.seconds <= 0 || o.seconds > 86400 * 7)
            return usageError(QStringLiteral("record"), QStringLiteral("--seconds must be more than 0 and at most a week"));
    }
    if (p.isSet(bytes) && !byteCount(p.value(bytes), &o.maxBytes))
        return usageError(QStringLiteral("record"), QStringLiteral("--bytes must be a positive count, not '%1'").arg(p.value(bytes)));
    qint64 v = 0;
    if (!numberOption(p, idleTimeout, 1, 3600000, &v, &error))
        return usageError(QStringLiteral("record"), error);
    o.idleTimeoutMs = int(v);
    for (const QString &s : p.values(setup)) {
        QVector<FrameCommandParser::Command> cmds;
        if (!FrameCommandParser::parse(s.split(QLatin1Char(' '), Qt::SkipEmptyParts), &cmds, &error))
            return usageError(QStringLiteral("record"), QStringLiteral("--setup: ") + error);
        o.setup += cmds;
    }
    o.outPath = p.value(outFile);
    o.check = p.isSet(check);
    o.sync = !p.isSet(noSync);
    o.progress = !p.isSet(quiet);
    o.progressInPlace = ::isatty(STDERR_FILENO) == 1;

    Result result;
    Recorder recorder(o, &stdOut(), &stdErr());
    InterruptWatcher interrupts;
    QObject::connect(&recorder, &Recorder::finished, &result, &Result::set);
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &recorder, &Recorder::stop);
    recorder.start();
    return finishRun(app, result);
}

int frame(const QStringList &args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Prints each command's terminal frame in hexadecimal, one frame a line, as it\n"
        "would go on the data port: key, length, code, parameters, checksum. Nothing is\n"
        "sent. Put '--' before negative numbers.\n\nCommands:\n") + FrameCommandParser::grammar());
    p.addHelpOption();
    p.addPositionalArgument(QStringLiteral("commands"), QStringLiteral("Terminal commands."), QStringLiteral("CMD..."));
    if (!p.parse(args))
        return usageError(QStringLiteral("frame"), p.errorText());
    if (p.isSet(QStringLiteral("help"))) {
        stdOut() << helpText(p, QStringLiteral("frame")) << "\n" << ExitCodeHelp;
        return ExitCode::Ok;
    }
    QVector<FrameCommandParser::Command> cmds;
    QString error;
    if (!FrameCommandParser::parse(p.positionalArguments(), &cmds, &error))
        return usageError(QStringLiteral("frame"), error);
    for (const FrameCommandParser::Command &c : cmds)
        stdOut() << c.frame().toHex(' ') << "  " << c.text() << "\n";
    return ExitCode::Ok;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quarnelclient"));
    QStringList args = app.arguments();
    if (args.size() < 2) {
        stdErr() << usage();
        return ExitCode::Usage;
    }
    const QString sub = args.at(1);
    if (sub == QLatin1String("-h") || sub == QLatin1String("--help") || sub == QLatin1String("help")) {
        stdOut() << usage();
        return ExitCode::Ok;
    }
    if (sub == QLatin1String("-v") || sub == QLatin1String("--version")) {
        stdOut() << "quarnelclient " << QuarnelPc::version() << "\n";
        return ExitCode::Ok;
    }
    // The sub-parser sees "quarnelclient SUB" as its program name.
    args.removeAt(1);
    args[0] = QStringLiteral("quarnelclient ") + sub;
    if (sub == QLatin1String("discover"))
        return discover(app, args);
    if (sub == QLatin1String("command"))
        return command(app, args);
    if (sub == QLatin1String("record"))
        return record(app, args);
    if (sub == QLatin1String("frame"))
        return frame(args);
    return usageError(QString(), QStringLiteral("unknown subcommand '%1'").arg(sub));
}

#include "main.moc"
