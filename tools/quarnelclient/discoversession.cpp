#include "discoversession.h"

#include "exitcodes.h"

#include <QJsonDocument>
#include <QTextStream>
#include <QTime>

DiscoverSession::DiscoverSession(const Options &options, QTextStream *stream, QObject *parent)
    : QObject(parent), opts(options), out(stream), _discovery(new QuarnelPc::Discovery(this))
{
    using QuarnelPc::Discovery;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, &DiscoverSession::timedOut);
    connect(_discovery, &Discovery::announced, this, &DiscoverSession::announced);
    connect(_discovery, &Discovery::statusReceived, this, &DiscoverSession::status);
    connect(_discovery, &Discovery::invalidAnnouncement, this, &DiscoverSession::invalidAnnouncement);
    connect(_discovery, &Discovery::invalidStatus, this, &DiscoverSession::invalidStatus);
}

DiscoverSession::~DiscoverSession()
{
    delete _discovery;
}

void DiscoverSession::start()
{
    if (!_discovery->listen(opts.discoveryPort, opts.statusPort)) {
        finish(ExitCode::Failure, _discovery->errorString());
        return;
    }
    *out << "listening on UDP " << opts.discoveryPort << " (discovery) and " << opts.statusPort
         << " (status)\n";
    out->flush();
    if (opts.timeoutSeconds > 0)
        timer.start(int(opts.timeoutSeconds * 1000));
}

QString DiscoverSession::prefix(const char *kind, const QHostAddress &sender, quint16 port) const
{
    return QStringLiteral("%1 %2 from %3:%4  ")
        .arg(QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz")), QLatin1String(kind),
             sender.toString()).arg(port);
}

void DiscoverSession::announced(const QuarnelPc::Announcement &a)
{
    if (done)
        return;
    *out << prefix("discovery", a.terminal(), a.senderPort())
         << QuarnelPc::printable(QString::fromUtf8(QJsonDocument::fromJson(a.datagram()).toJson(QJsonDocument::Compact)))
         << "  (" << a.toText() << ")\n";
    out->flush();
    counted();
}

void DiscoverSession::invalidAnnouncement(const QHostAddress &sender, quint16 port, const QByteArray &payload,
                                          const QString &reason)
{
    if (done)
        return;
    *out << prefix("discovery", sender, port) << "INVALID (" << reason
         << "): " << payload.left(200).toPercentEncoding(" {}\":,_-.") << "\n";
    out->flush();
    counted();
}

void DiscoverSession::status(const QuarnelPc::ConnectionStatus &s)
{
    if (done)
        return;
    *out << prefix("status", s.sender(), s.senderPort()) << s.toText() << "\n";
    out->flush();
    counted();
}

void DiscoverSession::invalidStatus(const QHostAddress &sender, quint16 port, const QByteArray &payload,
                                    const QString &reason)
{
    if (done)
        return;
    *out << prefix("status", sender, port) << "INVALID (" << reason << "): " << payload.left(64).toHex(' ') << "\n";
    out->flush();
    counted();
}

void DiscoverSession::counted()
{
    ++heard;
    if (opts.count > 0 && heard >= opts.count)
        finish(ExitCode::Ok, QString());
}

void DiscoverSession::timedOut()
{
    stop();
}

void DiscoverSession::stop()
{
    if (heard > 0)
        finish(ExitCode::Ok, QString());
    else
        finish(ExitCode::TimedOut, QStringLiteral("no terminal heard on UDP %1 or %2")
                                       .arg(opts.discoveryPort).arg(opts.statusPort));
}

void DiscoverSession::finish(int code, const QString &error)
{
    if (done)
        return;
    done = true;
    timer.stop();
    emit finished(code, error);
}
