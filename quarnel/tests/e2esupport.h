#ifndef E2ESUPPORT_H
#define E2ESUPPORT_H

// The real program and the PC across the harness's cable, for whole-system
// tests: the program runs as a child process on the simulated FPGA, and the
// test talks to it from the PC's network namespace.

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTcpSocket>
#include <QUdpSocket>
#include <QTest>

#include <csignal>
#include <memory>

#include "childprocess.h"
#include "pcside.h"
#include "statusrecord.h"
#include "streampattern.h"
#include "terminalframe.h"

namespace e2e {

const quint16 dataPort = 2000;
const quint16 answerPort = 2001;
const quint16 discoveryPort = 8192;
const quint16 statusPort = 8193;

inline QHostAddress panel() { return QHostAddress(harness::panelIp()); }

// An installed panel: its address was set once, so no first-start dialog.
inline void markAddressSet()
{
    const QString dir = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/talvenor";
    QDir().mkpath(dir);
    QFile f(dir + "/quarnel.conf");
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write("[General]\nfirstTime=no\n");
}

// VmRSS of a process in kB, 0 when it is gone.
inline qint64 rssKb(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// The program, started with the given simulator settings.
class Quarnel
{
public:
    Quarnel(int headboxes, quint64 rate, const QString &platform = QStringLiteral("offscreen"))
        : _headboxes(headboxes), _rate(rate), _platform(platform) {}
    ~Quarnel() { kill(); }

    bool start()
    {
        kill();
        _p.reset(new QProcess);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("ZELK_FPGA", "sim");
        env.insert("ZELK_SIM_HEADBOXES", QString::number(_headboxes));
        env.insert("ZELK_SIM_RATE", QString::number(_rate));
        env.insert("QT_QPA_PLATFORM", _platform);
        // Under AddressSanitizer, Qt's X11 platform plugin and D-Bus keep
        // allocations past exit (an unloaded plugin's frames cannot even be
        // named for a suppression); the program's own leaks are checked by
        // its offscreen runs.
        if (_platform == QLatin1String("xcb") && env.contains("ASAN_OPTIONS"))
            env.insert("ASAN_OPTIONS", env.value("ASAN_OPTIONS") + ":detect_leaks=0");
        _p->setProcessEnvironment(env);
        // Its debug lines repeat every serial check: kept out of the test log,
        // in the file QUARNEL_E2E_LOG names or else in the harness's folder,
        // where a failing test can quote its end.
        _p->setStandardOutputFile(logFile(), QIODevice::Append);
        _p->setStandardErrorFile(logFile(), QIODevice::Append);
        // setsid execs the program in place: same pid, a session of its own.
        if (_ownSession)
            _p->start(QStringLiteral("setsid"), {QStringLiteral(QUARNEL_BIN)});
        else
            _p->start(QStringLiteral(QUARNEL_BIN), QStringList());
        return _p->waitForStarted(20000);
    }
    // The next start() puts the program in a session of its own, so that
    // killSession() takes its shells and their children with it.
    void setOwnSession() { _ownSession = true; }
    // SIGKILL to the program and everything it started, as an out-of-memory
    // kill or a service stop that times out; true once it has ended.
    bool killSession() { return _p && childprocess::killSession(*_p) && _p->waitForFinished(10000); }
    static QString logFile()
    {
        const QString log = QString::fromLocal8Bit(qgetenv("QUARNEL_E2E_LOG"));
        return log.isEmpty() ? QString::fromLocal8Bit(qgetenv("TMPDIR")) + "/quarnel-e2e.log" : log;
    }
    // How the last run ended and what it wrote last, for failure messages.
    QString endText() const
    {
        QString text = running() ? QStringLiteral("running")
                                 : QStringLiteral("ended (%1, code %2)")
                                       .arg(_p && _p->exitStatus() == QProcess::NormalExit ? "normal" : "crash")
                                       .arg(_p ? _p->exitCode() : -1);
        QFile f(logFile());
        if (f.open(QIODevice::ReadOnly)) {
            const QByteArray all = f.readAll();
            text += "; last output: " + QString::fromLocal8Bit(all.right(800)).simplified();
        }
        return text;
    }
    qint64 pid() const { return _p ? _p->processId() : 0; }
    bool running() const { return _p && childprocess::alive(*_p); }
    QProcess *process() const { return _p.get(); }
    // Signals the program alone, and only while it runs.
    bool signal(int sig) { return _p && childprocess::signal(*_p, sig); }
    // Bytes the program has written to its log so far; with logSince(), what
    // it wrote from then on.
    static qint64 logSize() { return QFileInfo(logFile()).size(); }
    static QByteArray logSince(qint64 offset)
    {
        QFile f(logFile());
        if (!f.open(QIODevice::ReadOnly) || !f.seek(offset))
            return QByteArray();
        return f.readAll();
    }

    // SIGTERM, as the service manager stops it; the exit code, -1000 when it
    // did not end in time or crashed.
    int terminate(int ms = 30000)
    {
        if (!signal(SIGTERM))
            return -1000;
        if (!_p->waitForFinished(ms) || _p->exitStatus() != QProcess::NormalExit)
            return -1000;
        return _p->exitCode();
    }
    void kill()
    {
        if (_ownSession)
            killSession();
        if (_p)
            childprocess::stop(*_p);
    }

private:
    int _headboxes;
    quint64 _rate;
    QString _platform;
    bool _ownSession = false;
    std::unique_ptr<QProcess> _p;
};

// Everything the terminal broadcasts, heard on the PC side.
class Broadcasts
{
public:
    Broadcasts()
        : _discovery(pcside::udpSocket(discoveryPort)), _status(pcside::udpSocket(statusPort)) {}
    bool ok() const { return _discovery && _status; }

    struct Discovery { QHostAddress sender; QJsonObject json; };

    // Drains both sockets into the lists.
    void poll()
    {
        QCoreApplication::processEvents();
        while (_discovery && _discovery->hasPendingDatagrams()) {
            const QNetworkDatagram d = _discovery->receiveDatagram();
            discovery.append({d.senderAddress(), QJsonDocument::fromJson(d.data()).object()});
        }
        while (_status && _status->hasPendingDatagrams()) {
            const QNetworkDatagram d = _status->receiveDatagram();
            StatusRecord r;
            QString error;
            if (StatusRecord::decode(d.data(), &r, &error))
                status.append(r);
            else
                badStatus.append(d.data());
        }
    }
    int discoveryCount() { poll(); return discovery.size(); }
    int statusCount() { poll(); return status.size(); }
    void clear() { poll(); discovery.clear(); status.clear(); badStatus.clear(); }

    QList<Discovery> discovery;
    QList<StatusRecord> status;
    QList<QByteArray> badStatus;

private:
    std::unique_ptr<QUdpSocket> _discovery;
    std::unique_ptr<QUdpSocket> _status;
};

// One PC acquisition session: the data and the answer connections.
class Pc
{
public:
    bool connectTo()
    {
        data.reset(pcside::tcpConnect(panel(), dataPort));
        answer.reset(pcside::tcpConnect(panel(), answerPort));
        return data && answer;
    }
    void close()
    {
        if (data)
            data->abort();
        if (answer)
            answer->abort();
        data.reset();
        answer.reset();
    }
    bool connected() const
    {
        return data && data->state() == QAbstractSocket::ConnectedState;
    }

    // Sends one terminal command and waits for its "ok".
    bool command(const QByteArray &frame, int timeoutMs = 20000)
    {
        const int before = oks;
        data->write(frame);
        data->flush();
        QElapsedTimer t;
        t.start();
        while (oks == before && t.elapsed() < timeoutMs) {
            answer->waitForReadyRead(50);
            readAnswers();
            keepData();
        }
        return oks == before + 1;
    }
    void readAnswers()
    {
        answerBytes += answer->readAll();
        oks = answerBytes.count("ok");
    }
    // While waiting for an answer the data side is read too, so that a
    // stream never fills the socket; what arrives is kept.
    void keepData()
    {
        if (data && collect)
            received += data->readAll();
    }

    // Reads the data connection into the checker until it holds `bytes`
    // bytes, the time runs out or the connection ends.
    void readStream(StreamChecker &checker, quint64 bytes, int timeoutMs)
    {
        QElapsedTimer t;
        t.start();
        const quint64 start = checker.bytes();
        if (!received.isEmpty()) {
            checker.feed(received);
            received.clear();
        }
        while (checker.bytes() - start < bytes && t.elapsed() < timeoutMs && connected()) {
            if (data->bytesAvailable() || data->waitForReadyRead(100))
                checker.feed(data->readAll());
        }
    }

    std::unique_ptr<QTcpSocket> data;
    std::unique_ptr<QTcpSocket> answer;
    QByteArray answerBytes;
    QByteArray received;
    bool collect = true;
    int oks = 0;
};

inline QByteArray layout2()
{
    const quint16 channels[4] = {32, 32, 0, 0};
    return TerminalFrame::multiHeadLayout(2, 2, 64, 16, channels);
}

} // namespace e2e

#endif
