// Records one exam with libquarnelpc: finds a terminal (or takes the one
// named), connects, selects headbox 1, switches sync on, stores the
// headboxes' stream for a time, switches sync off and disconnects.
//
//   record_exam [HOST] [SECONDS] [FILE]     (defaults: discover, 5, exam.bin;
//                                            an empty HOST discovers too)
//
// Built against the installed library (Debian's Qt wants -fPIC of its users):
//   g++ -fPIC -o record_exam record_exam.cpp $(pkg-config --cflags --libs quarnelpc)
// The exit status is the library's error value (0 when the exam was recorded).

#include <quarnelpc/quarnelpc.h>

#include <QCoreApplication>
#include <QFile>
#include <QTimer>

#include <cstdio>

using namespace QuarnelPc;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QString host = args.value(1);
    const int seconds = args.value(2, QStringLiteral("5")).toInt();
    QFile out(args.value(3, QStringLiteral("exam.bin")));
    if (seconds <= 0 || !out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "usage: record_exam [HOST] [SECONDS] [FILE]\n");
        return int(Error::Failure);
    }

    Discovery discovery;
    Terminal terminal;
    QTimer recording;
    recording.setSingleShot(true);
    int status = int(Error::NoError);
    auto fail = [&](Error error, const QString &message) {
        std::fprintf(stderr, "record_exam: %s\n", qPrintable(message));
        status = int(error);
        app.exit(status);
    };

    // 1. Connect: to the host given, or to the first terminal that announces itself.
    auto connectTo = [&](const QString &to, quint16 dataPort) {
        std::printf("connecting to %s\n", qPrintable(to));
        terminal.connectToTerminal(to, dataPort, Terminal::defaultAnswerPort());
    };
    QObject::connect(&discovery, &Discovery::announced, [&](const Announcement &a) {
        if (!host.isEmpty())
            return;
        host = a.terminal().toString();
        std::printf("found %s: %s\n", qPrintable(host), qPrintable(a.toText()));
        discovery.close();
        connectTo(host, a.dataPort());
    });

    // 2. Configure, then sync on: the headboxes stream from then on.
    QObject::connect(&terminal, &Terminal::connected, [&] {
        terminal.sendCommand(Command::headboxRead(1));
        terminal.sendCommand(Command::sync(1));
    });
    QObject::connect(&terminal, &Terminal::commandAnswered, [&](const Command &c, double ms) {
        std::printf("ok  %s  (%.1f ms)\n", qPrintable(c.text()), ms);
        if (c == Command::sync(1))
            recording.start(seconds * 1000);
        else if (c == Command::sync(0))
            terminal.disconnectFromTerminal();
    });

    // 3. Store the stream as it arrives.
    QObject::connect(&terminal, &Terminal::dataReceived, [&](const QByteArray &bytes) {
        if (out.write(bytes) != bytes.size())
            fail(Error::Failure, QStringLiteral("cannot write %1").arg(out.fileName()));
    });

    // 4. Sync off, then leave.
    QObject::connect(&recording, &QTimer::timeout, [&] { terminal.sendCommand(Command::sync(0)); });
    QObject::connect(&terminal, &Terminal::disconnected, [&] {
        std::printf("recorded %lld bytes into %s\n", terminal.bytesReceived(), qPrintable(out.fileName()));
        app.exit(status);
    });
    QObject::connect(&terminal, &Terminal::commandTimedOut, [&](const Command &c, int waitedMs) {
        fail(Error::TimedOut, QStringLiteral("no \"ok\" for '%1' within %2 ms").arg(c.text()).arg(waitedMs));
    });
    QObject::connect(&terminal, &Terminal::errorOccurred, fail);

    if (!host.isEmpty()) {
        connectTo(host, Terminal::defaultDataPort());
    } else if (!discovery.listen()) {
        fail(Error::Failure, discovery.errorString());
        return status;
    } else {
        std::printf("listening for terminals\n");
        QTimer::singleShot(30000, &app, [&] {
            if (host.isEmpty())
                fail(Error::TimedOut, QStringLiteral("no terminal heard within 30 s"));
        });
    }
    return app.exec();
}
