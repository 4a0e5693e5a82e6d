#include "quarnelpc/quarnelpc_c.h"

#include <limits>
#include <new>
#include <string>

#include "blockingdiscovery.h"
#include "blockingterminal.h"
#include "qtruntime.h"
#include "../../quarnelclient/exitcodes.h"
#include "quarnelpc/quarnelpc.h"
#include "terminalframe.h"

using QuarnelPc::BlockingDiscovery;
using QuarnelPc::BlockingTerminal;
using QuarnelPc::Command;

// One set of values: the C errors are quarnelclient's exit codes.
static_assert(int(QUARNELPC_OK) == ExitCode::Ok && int(QUARNELPC_E_FAILURE) == ExitCode::Failure
                  && int(QUARNELPC_E_USAGE) == ExitCode::Usage && int(QUARNELPC_E_UNREACHABLE) == ExitCode::Unreachable
                  && int(QUARNELPC_E_REFUSED) == ExitCode::Refused && int(QUARNELPC_E_BUSY) == ExitCode::Busy
                  && int(QUARNELPC_E_TIMED_OUT) == ExitCode::TimedOut
                  && int(QUARNELPC_E_CONNECTION_LOST) == ExitCode::ConnectionLost
                  && int(QUARNELPC_E_CHECK_FAILED) == ExitCode::CheckFailed
                  && int(QUARNELPC_E_PROTOCOL) == ExitCode::ProtocolError
                  && int(QUARNELPC_E_NO_DATA) == ExitCode::NoData,
              "the C errors differ from quarnelclient's exit codes");
static_assert(int(QUARNELPC_CLOCK) == TerminalFrame::Clock && int(QUARNELPC_TRIGGER_OUT) == TerminalFrame::TriggerOut
                  && int(QUARNELPC_MULTI_HEAD_LAYOUT) == TerminalFrame::MultiHeadLayout
                  && int(QUARNELPC_HEADBOX_READ) == TerminalFrame::HeadboxRead
                  && int(QUARNELPC_HEADBOX_WRITE) == TerminalFrame::HeadboxWrite
                  && int(QUARNELPC_HEADBOX_READ_WRITE) == TerminalFrame::HeadboxReadWrite
                  && int(QUARNELPC_SYNC) == TerminalFrame::Sync && int(QUARNELPC_DELAY) == TerminalFrame::Delay
                  && int(QUARNELPC_CLEAR_RECEIVE_PATH) == TerminalFrame::ClearReceivePath,
              "the C command codes differ from the terminal's");
static_assert(QUARNELPC_VERSION_MAJOR == QUARNELPC_SOVERSION_BUILT, "the major version is not the SONAME's");

struct quarnelpc_terminal
{
    BlockingTerminal impl;
};

struct quarnelpc_discovery
{
    BlockingDiscovery impl;
};

namespace {

thread_local std::string lastMessage;

quarnelpc_error result(int error, const QString &message)
{
    lastMessage = error == QUARNELPC_OK ? std::string() : message.toUtf8().toStdString();
    return quarnelpc_error(error);
}

quarnelpc_error usage(const QString &message)
{
    return result(QUARNELPC_E_USAGE, message);
}

bool fits16(int32_t v) { return v >= std::numeric_limits<qint16>::min() && v <= std::numeric_limits<qint16>::max(); }
bool fitsU16(int32_t v) { return v >= 0 && v <= std::numeric_limits<quint16>::max(); }

size_t valueCount(int code)
{
    switch (code) {
    case QUARNELPC_MULTI_HEAD_LAYOUT: return 8;
    case QUARNELPC_CLEAR_RECEIVE_PATH: return 0;
    default: return 1;
    }
}

// The command for code and values; invalid, with *why, when they do not fit.
Command commandFor(int code, const int32_t *v, size_t count, QString *why)
{
    if (code < QUARNELPC_CLOCK || code > QUARNELPC_CLEAR_RECEIVE_PATH) {
        *why = QStringLiteral("unknown command code %1 (quarnelpc_raw_command sends any)").arg(code);
        return Command();
    }
    if (count != valueCount(code) || (count > 0 && !v)) {
        *why = QStringLiteral("command %1 takes %2 values, not %3").arg(code).arg(valueCount(code)).arg(count);
        return Command();
    }
    const bool layout = code == QUARNELPC_MULTI_HEAD_LAYOUT;
    const bool wide = code == QUARNELPC_TRIGGER_OUT || code == QUARNELPC_DELAY;
    for (size_t i = 0; i < count; ++i) {
        if ((layout && !fitsU16(v[i])) || (!layout && !wide && !fits16(v[i]))) {
            *why = QStringLiteral("value %1 does not fit command %2").arg(v[i]).arg(code);
            return Command();
        }
    }
    switch (code) {
    case QUARNELPC_CLOCK: return Command::clock(qint16(v[0]));
    case QUARNELPC_TRIGGER_OUT: return Command::triggerOut(v[0]);
    case QUARNELPC_MULTI_HEAD_LAYOUT:
        return Command::multiHeadLayout(quint16(v[0]), quint16(v[1]), quint16(v[2]), quint16(v[3]),
                                        {quint16(v[4]), quint16(v[5]), quint16(v[6]), quint16(v[7])});
    case QUARNELPC_HEADBOX_READ: return Command::headboxRead(qint16(v[0]));
    case QUARNELPC_HEADBOX_WRITE: return Command::headboxWrite(qint16(v[0]));
    case QUARNELPC_HEADBOX_READ_WRITE: return Command::headboxReadWrite(qint16(v[0]));
    case QUARNELPC_SYNC: return Command::sync(qint16(v[0]));
    case QUARNELPC_DELAY: return Command::delay(v[0]);
    default: return Command::clearReceivePath();
    }
}

quarnelpc_error send(quarnelpc_terminal *terminal, const Command &command, int timeoutMs, double *roundTripMs)
{
    if (!terminal)
        return usage(QStringLiteral("no terminal"));
    if (timeoutMs <= 0)
        return usage(QStringLiteral("the time-out must be more than 0 ms"));
    QString message;
    const int error = terminal->impl.command(command, timeoutMs, roundTripMs, &message);
    return result(error, message);
}

} // namespace

extern "C" {

int quarnelpc_library_version(void)
{
    return QUARNELPC_VERSION;
}

const char *quarnelpc_protocol_version(void)
{
    static const QByteArray version = QuarnelPc::version().toUtf8();
    return version.constData();
}

const char *quarnelpc_error_text(int error)
{
    switch (error) {
    case QUARNELPC_OK: return "no error";
    case QUARNELPC_E_FAILURE: return "failure";
    case QUARNELPC_E_USAGE: return "bad usage";
    case QUARNELPC_E_UNREACHABLE: return "unreachable";
    case QUARNELPC_E_REFUSED: return "refused";
    case QUARNELPC_E_BUSY: return "busy with another PC";
    case QUARNELPC_E_TIMED_OUT: return "timed out";
    case QUARNELPC_E_CONNECTION_LOST: return "connection lost";
    case QUARNELPC_E_CHECK_FAILED: return "check failed";
    case QUARNELPC_E_PROTOCOL: return "protocol error";
    case QUARNELPC_E_NO_DATA: return "no bytes recorded";
    default: return "unknown error";
    }
}

const char *quarnelpc_last_message(void)
{
    return lastMessage.c_str();
}

quarnelpc_error quarnelpc_discovery_open(quarnelpc_discovery **discovery)
{
    if (!discovery)
        return usage(QStringLiteral("no place for the discovery handle"));
    *discovery = nullptr;
    QuarnelPc::QtRuntime::ensure();
    quarnelpc_discovery *d = new (std::nothrow) quarnelpc_discovery;
    if (!d)
        return result(QUARNELPC_E_FAILURE, QStringLiteral("out of memory"));
    QString message;
    const int error = d->impl.listen(&message);
    if (error != QUARNELPC_OK) {
        delete d;
        return result(error, message);
    }
    *discovery = d;
    return result(QUARNELPC_OK, QString());
}

quarnelpc_error quarnelpc_discovery_next(quarnelpc_discovery *discovery, quarnelpc_announcement *announcement,
                                         int timeout_ms)
{
    if (!discovery || !announcement)
        return usage(QStringLiteral("no discovery handle or no place for the announcement"));
    if (timeout_ms < 0)
        return usage(QStringLiteral("the time-out must not be negative"));
    QString message;
    const int error = discovery->impl.next(announcement, timeout_ms, &message);
    return result(error, message);
}

void quarnelpc_discovery_close(quarnelpc_discovery *discovery)
{
    delete discovery;
}

quarnelpc_error quarnelpc_connect(const char *host, uint16_t data_port, uint16_t answer_port, int timeout_ms,
                                  quarnelpc_terminal **terminal)
{
    if (!terminal)
        return usage(QStringLiteral("no place for the terminal handle"));
    *terminal = nullptr;
    if (!host || !*host)
        return usage(QStringLiteral("no host"));
    if (timeout_ms <= 0)
        return usage(QStringLiteral("the time-out must be more than 0 ms"));
    QuarnelPc::QtRuntime::ensure();
    quarnelpc_terminal *t = new (std::nothrow) quarnelpc_terminal;
    if (!t)
        return result(QUARNELPC_E_FAILURE, QStringLiteral("out of memory"));
    QString message;
    const int error = t->impl.open(QString::fromUtf8(host),
                                   data_port ? data_port : QuarnelPc::Terminal::defaultDataPort(),
                                   answer_port ? answer_port : QuarnelPc::Terminal::defaultAnswerPort(),
                                   timeout_ms, &message);
    if (error != QUARNELPC_OK) {
        delete t;
        return result(error, message);
    }
    *terminal = t;
    return result(QUARNELPC_OK, QString());
}

quarnelpc_error quarnelpc_command(quarnelpc_terminal *terminal, int code, const int32_t *values, size_t count,
                                  int timeout_ms, double *round_trip_ms)
{
    QString why;
    const Command command = commandFor(code, values, count, &why);
    if (!command.isValid())
        return usage(why);
    return send(terminal, command, timeout_ms, round_trip_ms);
}

quarnelpc_error quarnelpc_raw_command(quarnelpc_terminal *terminal, int code, const void *parameters, size_t size,
                                      int timeout_ms, double *round_trip_ms)
{
    if (!fits16(code) || size > size_t(Command::maxParameterSize()) || (size > 0 && !parameters))
        return usage(QStringLiteral("a raw command has a 16-bit code and up to %1 parameter bytes")
                         .arg(Command::maxParameterSize()));
    const QByteArray bytes(static_cast<const char *>(parameters), int(size));
    return send(terminal, Command::raw(qint16(code), bytes), timeout_ms, round_trip_ms);
}

quarnelpc_error quarnelpc_read(quarnelpc_terminal *terminal, void *buffer, size_t size, size_t *got,
                               int timeout_ms)
{
    if (got)
        *got = 0;
    if (!terminal || !buffer || size == 0 || !got)
        return usage(QStringLiteral("no terminal, no buffer or no place for the count"));
    if (timeout_ms < 0)
        return usage(QStringLiteral("the time-out must not be negative"));
    QString message;
    const int error = terminal->impl.read(static_cast<char *>(buffer), size, got, timeout_ms, &message);
    return result(error, message);
}

quarnelpc_error quarnelpc_set_stream_callback(quarnelpc_terminal *terminal, quarnelpc_stream_callback callback,
                                              void *user)
{
    if (!terminal)
        return usage(QStringLiteral("no terminal"));
    QString message;
    const int error = terminal->impl.setCallback(callback, user, &message);
    return result(error, message);
}

quarnelpc_error quarnelpc_close(quarnelpc_terminal *terminal, int timeout_ms)
{
    if (!terminal)
        return result(QUARNELPC_OK, QString());
    QString message;
    const int error = terminal->impl.close(timeout_ms < 0 ? 0 : timeout_ms, &message);
    // Not from its own callback: the handle would be freed under it.
    if (error == QUARNELPC_E_USAGE)
        return result(error, message);
    delete terminal;
    return result(error, message);
}

} // extern "C"
