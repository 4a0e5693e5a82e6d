// zelkreg: the FPGA register tool for bring-up and service of a panel.
#include "registertool.h"
#include "runlock.h"

#include "devmemwindow.h"
#include "dxusb.h"
#include "registermap.h"
#include "registerwindow.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSharedMemory>
#include <QTextStream>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef ZELKREG_DEFAULT_BACKEND
#define ZELKREG_DEFAULT_BACKEND "sim"
#endif

namespace {

enum ExitCode { ExitOk = 0, ExitFailed = 1, ExitUsage = 2, ExitBusy = 3, ExitNoDevice = 4 };

constexpr long long bridgeWindow = RegisterMap::windowBase;
constexpr int windowLength = RegisterMap::windowBytes;

const char description[] =
    "FPGA register tool of the quarnel panel, for bring-up and service.\n"
    "\n"
    "Commands:\n"
    "  verify            write the test pattern to register 1, check its read-back in\n"
    "                    register 11 and print the firmware version (registers 12, 13);\n"
    "                    exit status 1 when the FPGA does not answer\n"
    "  read REG          print register REG (a read of register 10 takes a received\n"
    "                    word off the FIFO)\n"
    "  write REG VALUE   write VALUE to register REG\n"
    "  dump              print the registers the system reads: 9, 11, 12, 13\n"
    "  command CODE      send the headbox command frame CR LF \"RDJW\" CODE CR LF, CODE\n"
    "                    being six characters (002002 asks for the serial number,\n"
    "                    008000 stops a stream), and print what comes back; register\n"
    "                    15 is set to 0x80 with the channel in bits 0-2 and 3-5\n"
    "\n"
    "Numbers are decimal or hexadecimal with 0x. Only write, verify and command\n"
    "write registers; read and dump never do. While quarnel runs, commands that\n"
    "write or take received words are refused (stop it: systemctl stop quarnel).\n"
    "\n"
    "Backend: ZELK_FPGA=devmem (the registers through /dev/mem, needs root) or\n"
    "ZELK_FPGA=sim (the simulated FPGA, set up by the ZELK_SIM_* variables);\n"
    "unset, this build uses " ZELKREG_DEFAULT_BACKEND ".\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  the FPGA does not answer\n"
    "  2  usage error\n"
    "  3  quarnel is running\n"
    "  4  the register device cannot be opened or mapped, or is too small";

bool parseNumber(const QString &text, uint64_t *value)
{
    bool ok = false;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        *value = text.mid(2).toULongLong(&ok, 16);
    else
        *value = text.toULongLong(&ok, 10);
    return ok;
}

bool parseRegister(const QString &text, int *reg)
{
    uint64_t value = 0;
    if (!parseNumber(text, &value) || value >= uint64_t(RegisterTool::registerCount))
        return false;
    *reg = int(value);
    return true;
}

// The running program holds the single-instance segment attached. A segment
// left by a killed instance has no attachment and goes away at the first
// detach, so only a second successful attach means a live instance.
bool quarnelRunning()
{
    QSharedMemory marker(QStringLiteral("memOneInstance"));
    if (!marker.attach(QSharedMemory::ReadOnly))
        return false;
    marker.detach();
    if (!marker.attach(QSharedMemory::ReadOnly))
        return false;
    marker.detach();
    return true;
}

// The window's bytes must lie inside a regular file: a mapping past its end
// faults (SIGBUS) at the first register read.
bool deviceUsable(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "zelkreg: cannot open %s: %s\n", path.constData(), strerror(errno));
        return false;
    }
    struct stat st;
    const bool known = ::fstat(fd, &st) == 0;
    ::close(fd);
    const long long needed = bridgeWindow + windowLength;
    if (known && S_ISREG(st.st_mode) && st.st_size < needed) {
        fprintf(stderr, "zelkreg: %s is too small: %lld bytes, the register window ends at %lld\n",
                path.constData(), static_cast<long long>(st.st_size), needed);
        return false;
    }
    return true;
}

int usage(const QString &message)
{
    fprintf(stderr, "zelkreg: %s\nTry 'zelkreg --help'.\n", qPrintable(message));
    return ExitUsage;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zelkreg"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZELKREG_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption deviceOption(QStringLiteral("device"),
        QStringLiteral("Map <file> instead of /dev/mem (means ZELK_FPGA=devmem)."), QStringLiteral("file"));
    const QCommandLineOption channelOption(QStringLiteral("channel"),
        QStringLiteral("command: headbox channel 0-7, 0 = shared (default 0)."), QStringLiteral("n"),
        QStringLiteral("0"));
    const QCommandLineOption waitOption(QStringLiteral("wait"),
        QStringLiteral("command: milliseconds to collect the answer (default 500)."), QStringLiteral("ms"),
        QStringLiteral("500"));
    const QCommandLineOption forceOption(QStringLiteral("force"),
        QStringLiteral("Operate even while quarnel runs (disturbs an exam)."));
    parser.addOptions({deviceOption, channelOption, waitOption, forceOption});
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("verify, read, write, dump or command."));
    parser.addPositionalArgument(QStringLiteral("arguments"), QStringLiteral("What the command takes."),
                                 QStringLiteral("[arguments...]"));
    if (!parser.parse(app.arguments()))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        // The parser names the program by the path it was started with.
        QString help = parser.helpText();
        const int nl = help.indexOf(QLatin1Char('\n'));
        help.replace(0, nl, help.left(nl).replace(app.arguments().constFirst(), QStringLiteral("zelkreg")));
        fputs(qPrintable(help), stdout);
        return ExitOk;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        printf("zelkreg %s\n", ZELKREG_VERSION);
        return ExitOk;
    }

    const QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return usage(QStringLiteral("no command given"));
    const QString name = args.first();
    int reg = 0;
    uint64_t value = 0;
    QByteArray code;
    uint64_t channel = 0;
    uint64_t waitMs = 0;
    bool writes = true;
    if (name == QLatin1String("verify") || name == QLatin1String("dump")) {
        if (args.size() != 1)
            return usage(name + QStringLiteral(" takes no arguments"));
        writes = name == QLatin1String("verify");
    } else if (name == QLatin1String("read")) {
        if (args.size() != 2 || !parseRegister(args[1], &reg))
            return usage(QStringLiteral("read takes one register number, 0-511"));
        writes = reg == 10;
    } else if (name == QLatin1String("write")) {
        if (args.size() != 3 || !parseRegister(args[1], &reg))
            return usage(QStringLiteral("write takes a register number, 0-511, and a value"));
        if (!parseNumber(args[2], &value))
            return usage(QStringLiteral("not a 64-bit value: ") + args[2]);
    } else if (name == QLatin1String("command")) {
        if (args.size() != 2 || args[1].size() != 6 || args[1].toLatin1().size() != 6)
            return usage(QStringLiteral("command takes a code of six characters, like 002002"));
        code = args[1].toLatin1();
        if (!parseNumber(parser.value(channelOption), &channel) || channel > uint64_t(RegisterTool::maxChannel))
            return usage(QStringLiteral("--channel takes 0-7"));
        if (!parseNumber(parser.value(waitOption), &waitMs) || waitMs > 60000)
            return usage(QStringLiteral("--wait takes 0-60000 milliseconds"));
    } else {
        return usage(QStringLiteral("unknown command: ") + name);
    }

    // Held until the tool ends, so that a quarnel starting meanwhile steps back.
    RunLock runLock;
    if (writes && !parser.isSet(forceOption) && (quarnelRunning() || runLock.Acquire() == RunLock::Held)) {
        fprintf(stderr, "zelkreg: quarnel is running and uses the link; stop it first "
                        "(systemctl stop quarnel) or pass --force\n");
        return ExitBusy;
    }

    RegisterWindow *window = nullptr;
    if (parser.isSet(deviceOption)) {
        const QByteArray path = parser.value(deviceOption).toLocal8Bit();
        if (!deviceUsable(path))
            return ExitNoDevice;
        window = new DevMemWindow(path.constData(), off_t(bridgeWindow), windowLength);
    } else {
        const QByteArray backend = qgetenv("ZELK_FPGA");
        // Any value but these two means the build's default, as in the library.
        const bool devmem = backend == "devmem"
                            || (backend != "sim" && strcmp(ZELKREG_DEFAULT_BACKEND, "devmem") == 0);
        if (devmem && access("/dev/mem", R_OK | W_OK) != 0) {
            fprintf(stderr, "zelkreg: cannot open /dev/mem: %s (run as root on the panel, or set ZELK_FPGA=sim)\n",
                    strerror(errno));
            return ExitNoDevice;
        }
        window = RegisterWindow::create(bridgeWindow, windowLength);
    }

    // Registers that read as zero would pass for a silent FPGA.
    const DevMemWindow *device = dynamic_cast<DevMemWindow *>(window);
    if (device && !device->mapped()) {
        fputs("zelkreg: cannot map the register window\n", stderr);
        delete window;
        return ExitNoDevice;
    }

    dxusb block(window);
    QTextStream out(stdout);
    RegisterTool tool(&block, out);
    if (name == QLatin1String("verify"))
        return tool.verify();
    if (name == QLatin1String("dump"))
        return tool.dump();
    if (name == QLatin1String("read"))
        return tool.readRegister(reg);
    if (name == QLatin1String("write"))
        return tool.writeRegister(reg, value);
    return tool.command(code, int(channel), int(waitMs));
}
