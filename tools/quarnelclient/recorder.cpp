#include "recorder.h"

#include "exitcodes.h"
#include "streampattern.h"

#include <QTextStream>

namespace {

QString megabytes(qint64 bytes)
{
    return QString::number(double(bytes) / 1e6, 'f', 2) + QStringLiteral(" MB");
}

} // namespace

Recorder::Recorder(const Options &options, QTextStream *stdOut, QTextStream *stdErr, QObject *parent)
    : QObject(parent), opts(options), out(stdOut), err(stdErr), _checker(nullptr)
{
    _terminal = new QuarnelPc::Terminal(this);
    _terminal->setConnectTimeout(opts.connectTimeoutMs);
    _terminal->setAnswerTimeout(opts.answerTimeoutMs);
    // Lock onto the first word of the stream: the headbox may answer other
    // traffic on the channel before sync goes on.
    if (opts.check)
        _checker = new StreamChecker(0, true);

    timeLimit.setSingleShot(true);
    timeLimit.setTimerType(Qt::PreciseTimer);
    idleTimer.setSingleShot(true);
    idleTimer.setTimerType(Qt::PreciseTimer);
    connect(&timeLimit, &QTimer::timeout, this, &Recorder::timeLimitReached);
    connect(&idleTimer, &QTimer::timeout, this, &Recorder::idleTimedOut);
    connect(&progressTimer, &QTimer::timeout, this, &Recorder::printProgress);

    using QuarnelPc::Terminal;
    connect(_terminal, &Terminal::connected, this, &Recorder::opened);
    connect(_terminal, &Terminal::dataReceived, this, &Recorder::dataReceived);
    connect(_terminal, &Terminal::errorOccurred, this, &Recorder::clientFailed);
    connect(_terminal, &Terminal::disconnected, this, &Recorder::clientClosed);
    connect(_terminal, &Terminal::answerConnectionLost, this, &Recorder::answerLost);
    connect(_terminal, &Terminal::commandAnswered, this, &Recorder::answered);
    connect(_terminal, &Terminal::allCommandsAnswered, this, &Recorder::sequenceFinished);
    connect(_terminal, &Terminal::commandTimedOut, this, &Recorder::sequenceTimedOut);
}

Recorder::~Recorder()
{
    delete _terminal;
    delete _checker;
}

void Recorder::start()
{
    if (!opts.outPath.isEmpty()) {
        file.setFileName(opts.outPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            setResult(ExitCode::Failure, QStringLiteral("cannot write %1: %2").arg(opts.outPath, file.errorString()));
            finish();
            return;
        }
    }
    state = Connecting;
    _terminal->connectToTerminal(opts.host, opts.dataPort, opts.answerPort);
}

void Recorder::opened()
{
    *out << "connected to " << opts.host << " (data port " << opts.dataPort
         << ", answer port " << opts.answerPort << ")\n";
    out->flush();
    connected = true;
    state = Configuring;
    for (const FrameCommandParser::Command &c : qAsConst(opts.setup))
        _terminal->sendCommand(c);
    if (opts.sync) {
        _terminal->sendCommand(QuarnelPc::Command::sync(1));
        syncSent = true;
    }
    // Nothing to wait for: record at once.
    if (_terminal->pendingCommands() == 0)
        beginRecording();
}

void Recorder::answered(const QuarnelPc::Command &command, double elapsedMs)
{
    *out << "ok  " << command.text() << "  (" << QString::number(elapsedMs, 'f', 1) << " ms)\n";
    out->flush();
}

void Recorder::sequenceFinished()
{
    if (state == Configuring) {
        beginRecording();
        return;
    }
    if (state == Stopping)
        _terminal->disconnectFromTerminal();
}

void Recorder::sequenceTimedOut(const QuarnelPc::Command &command, int waitedMs)
{
    const QString msg = QStringLiteral("%1: no \"ok\" for '%2' within %3 ms")
                            .arg(_terminal->peerText(), command.text()).arg(waitedMs);
    if (state == Stopping) {
        // The recording itself is complete; say so and leave.
        *err << "warning: " << msg << "\n";
        err->flush();
        _terminal->disconnectFromTerminal();
        return;
    }
    stopRecording(ExitCode::TimedOut, msg);
}

void Recorder::beginRecording()
{
    state = Recording;
    startClock();
    idleTimer.start(opts.idleTimeoutMs);
    if (opts.progress)
        progressTimer.start(opts.progressInPlace ? 250 : 1000);
}

void Recorder::dataReceived(const QByteArray &bytes)
{
    if (state != Configuring && state != Recording)
        return;
    startClock();
    // Checked here too: a busy event loop may serve the timer late.
    if (pastTimeLimit()) {
        stopRecording(ExitCode::Ok, QString());
        return;
    }
    qint64 n = bytes.size();
    if (opts.maxBytes > 0)
        n = qMin(n, opts.maxBytes - recorded);
    if (file.isOpen() && file.write(bytes.constData(), n) != n) {
        stopRecording(ExitCode::Failure, QStringLiteral("cannot write %1: %2").arg(opts.outPath, file.errorString()));
        return;
    }
    if (_checker)
        _checker->feed(bytes.constData(), size_t(n));
    recorded += n;
    if (state == Recording)
        idleTimer.start(opts.idleTimeoutMs);
    if (opts.maxBytes > 0 && recorded >= opts.maxBytes)
        stopRecording(ExitCode::Ok, QString());
}

// The stream starts before the "ok" of sync on: time, rate and the time limit
// count from its first byte.
void Recorder::startClock()
{
    if (recordingSince.isValid())
        return;
    recordingSince.start();
    if (opts.seconds > 0)
        timeLimit.start(int(opts.seconds * 1000));
}

bool Recorder::pastTimeLimit() const
{
    return opts.seconds > 0 && recordingSince.isValid()
        && double(recordingSince.nsecsElapsed()) >= opts.seconds * 1e9;
}

void Recorder::timeLimitReached()
{
    if (state == Recording)
        stopRecording(ExitCode::Ok, QString());
}

void Recorder::idleTimedOut()
{
    if (state != Recording)
        return;
    if (recorded == 0)
        stopRecording(ExitCode::TimedOut, QStringLiteral("%1: no data within %2 ms (is a headbox streaming?)")
                                              .arg(_terminal->peerText()).arg(opts.idleTimeoutMs));
    else
        stopRecording(ExitCode::TimedOut, QStringLiteral("%1: the stream stopped: no data for %2 ms")
                                              .arg(_terminal->peerText()).arg(opts.idleTimeoutMs));
}

void Recorder::stop()
{
    if (state == Configuring || state == Recording) {
        stopRecording(ExitCode::Ok, QString());
        return;
    }
    if (state == Connecting) {
        setResult(ExitCode::Failure, QStringLiteral("interrupted"));
        state = Stopping;
        _terminal->disconnectFromTerminal();
    }
}

void Recorder::stopRecording(int code, const QString &error)
{
    const bool wasRecording = state == Recording;
    if (recordingSince.isValid())
        stoppedAfterNs = recordingSince.nsecsElapsed();
    setResult(code, error);
    state = Stopping;
    timeLimit.stop();
    idleTimer.stop();
    progressTimer.stop();
    if (wasRecording && opts.progress)
        printProgress();
    if (progressShown && opts.progressInPlace) {
        *err << "\n";
        err->flush();
    }
    _terminal->cancelCommands();
    if (syncSent)
        _terminal->sendCommand(QuarnelPc::Command::sync(0));
    if (syncSent && _terminal->hasAnswerConnection())
        return;
    // No answer will come: sync off has gone all the same; leave.
    _terminal->disconnectFromTerminal();
}

void Recorder::answerLost(const QString &message)
{
    if (state == Configuring) {
        stopRecording(ExitCode::ConnectionLost, message);
        return;
    }
    if (state == Stopping) {
        // The "ok" for sync off cannot come any more.
        if (_terminal->pendingCommands() > 0) {
            _terminal->cancelCommands();
            _terminal->disconnectFromTerminal();
        }
        return;
    }
    if (state != Recording)
        return;
    // Another client took the answer port; the stream itself goes on.
    *err << (progressShown && opts.progressInPlace ? "\n" : "") << "warning: " << message
         << "; recording goes on\n";
    err->flush();
}

void Recorder::clientFailed(QuarnelPc::Error error, const QString &message)
{
    if (state == Stopping) {
        // Lost while switching sync off: the recording stands as it is.
        *err << "warning: " << message << "\n";
        err->flush();
        finish();
        return;
    }
    stopRecording(int(error), message);
    finish();
}

void Recorder::clientClosed()
{
    finish();
}

void Recorder::setResult(int code, const QString &error)
{
    if (result != ExitCode::Ok)
        return;
    result = code;
    resultError = error;
}

double Recorder::elapsedSeconds() const
{
    if (stoppedAfterNs >= 0)
        return double(stoppedAfterNs) / 1e9;
    return recordingSince.isValid() ? double(recordingSince.nsecsElapsed()) / 1e9 : 0.0;
}

void Recorder::printProgress()
{
    const double s = elapsedSeconds();
    const double rate = s > 0 ? double(recorded) / 1e6 / s : 0.0;
    const QString line = QStringLiteral("recording  %1  %2 MB/s  %3 s")
                             .arg(megabytes(recorded), 12)
                             .arg(QString::number(rate, 'f', 2), 8)
                             .arg(QString::number(s, 'f', 1), 6);
    if (opts.progressInPlace)
        *err << "\r" << line;
    else
        *err << line << "\n";
    err->flush();
    progressShown = true;
}

void Recorder::summarize()
{
    const double s = elapsedSeconds();
    const double rate = s > 0 ? double(recorded) / 1e6 / s : 0.0;
    *out << "recorded " << recorded << " bytes in " << QString::number(s, 'f', 2) << " s: "
         << QString::number(rate, 'f', 2) << " MB/s";
    if (file.isOpen())
        *out << " into " << opts.outPath;
    *out << "\n";
    if (!_checker) {
        out->flush();
        return;
    }
    const StreamChecker &c = *_checker;
    if (recorded == 0) {
        *out << "check: no bytes to check\n";
        out->flush();
        return;
    }
    if (c.words() == 0) {
        *out << "check: FAILED: no stream start in " << recorded << " bytes\n";
        setResult(ExitCode::CheckFailed, QStringLiteral("the recorded bytes do not hold the stream pattern"));
        out->flush();
        return;
    }
    *out << "check: " << c.words() << " words of headbox " << c.headbox() << ", "
         << c.lostWords() << " lost, " << c.duplicatedWords() << " duplicated, "
         << c.corruptWords() << " corrupted";
    if (c.skippedBytes() > 0)
        *out << ", " << c.skippedBytes() << " bytes before the stream start";
    *out << (c.ok() ? ": good\n" : ": FAILED\n");
    if (!c.ok()) {
        *out << "check: first fault at " << c.firstError() << "\n";
        setResult(ExitCode::CheckFailed, QStringLiteral("lost or corrupted bytes in the stream"));
    }
    if (c.latencySamples() > 0)
        *out << "latency (valid only with the terminal on this machine): min "
             << QString::number(c.latencyMinNs() / 1e6, 'f', 3) << " ms, mean "
             << QString::number(c.latencyMeanNs() / 1e6, 'f', 3) << " ms, p50 "
             << QString::number(c.latencyPercentileNs(50) / 1e6, 'f', 3) << " ms, p99 "
             << QString::number(c.latencyPercentileNs(99) / 1e6, 'f', 3) << " ms, p99.9 "
             << QString::number(c.latencyPercentileNs(99.9) / 1e6, 'f', 3) << " ms, max "
             << QString::number(c.latencyMaxNs() / 1e6, 'f', 3) << " ms over "
             << c.latencySamples() << " time words\n";
    out->flush();
}

void Recorder::finish()
{
    if (state == Done)
        return;
    state = Done;
    // A recording without a byte is no recording, however it ended.
    if (connected && recorded == 0)
        setResult(ExitCode::NoData, QStringLiteral("%1: no bytes recorded (did the setup start the headbox stream?)")
                                        .arg(_terminal->peerText()));
    if (connected)
        summarize();
    if (file.isOpen())
        file.close();
    emit finished(result, resultError);
}
