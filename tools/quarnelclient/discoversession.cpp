#include "discoversession.h"

#include "discoverylistener.h"
#include "discoverymessage.h"
#include "exitcodes.h"
#include "statusrecord.h"

#include <QJsonDocument>
#include <QTextStream>
#include <QTime>

DiscoverSession::DiscoverSession(const Options &options, QTextStream *stream, QObject *parent)
    : QObject(parent), opts(options), out(stream), _listener(new DiscoveryListener(this))
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, SIGNAL(timeout()), this, SLOT(timedOut()));
    connect(_listener, SIGNAL(discoveryReceived(QHostAddress,quint16,QByteArray)),
            this, SLOT(discovery(QHostAddress,quint16,QByteArray)));
    connect(_listener, SIGNAL(statusReceived(QHostAddress,quint16,QByteArray)),
            this, SLOT(status(QHostAddress,quint16,QByteArray)));
}

DiscoverSession::~DiscoverSession()
{
    delete _listener;
}

void DiscoverSession::start()
{
    QString error;
    if (!_listener->listen(opts.discoveryPort, opts.statusPort, &error)) {
        finish(ExitCode::Failure, error);
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

void DiscoverSession::discovery(const QHostAddress &sender, quint16 port, const QByteArray &payload)
{
    if (done)
        return;
    DiscoveryMessage m;
    QString error;
    *out << prefix("discovery", sender, port);
    if (DiscoveryMessage::parse(payload, &m, &error))
        *out << QJsonDocument::fromJson(payload).toJson(QJsonDocument::Compact) << "  (" << m.toText() << ")\n";
    else
        *out << "INVALID (" << error << "): " << payload.left(200).toPercentEncoding(" {}\":,_-.") << "\n";
    out->flush();
    counted();
}

void DiscoverSession::status(const QHostAddress &sender, quint16 port, const QByteArray &payload)
{
    if (done)
        return;
    StatusRecord r;
    QString error;
    *out << prefix("status", sender, port);
    if (StatusRecord::decode(payload, &r, &error))
        *out << r.toText() << "\n";
    else
        *out << "INVALID (" << error << "): " << payload.left(64).toHex(' ') << "\n";
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
