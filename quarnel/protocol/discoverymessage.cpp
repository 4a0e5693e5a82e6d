#include "discoverymessage.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

namespace {

const char connectedToKey[] = "connected_to";
const char nameKey[] = "name";
const char numDevicesKey[] = "num_devices";
const char portKey[] = "remote_terminal_port";

bool integerMember(const QJsonObject &o, const char *key, double min, double max, int *out,
                   QString *error)
{
    const QJsonValue v = o.value(QLatin1String(key));
    const double d = v.toDouble();
    if (!v.isDouble() || d != double(qint64(d)) || d < min || d > max) {
        *error = QStringLiteral("\"%1\" is not an integer from %2 to %3")
                     .arg(QLatin1String(key)).arg(min).arg(max);
        return false;
    }
    *out = int(d);
    return true;
}

bool stringMember(const QJsonObject &o, const char *key, QString *out, QString *error)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString()) {
        *error = QStringLiteral("\"%1\" is missing or not a string").arg(QLatin1String(key));
        return false;
    }
    *out = v.toString();
    return true;
}

} // namespace

QByteArray DiscoveryMessage::encode() const
{
    QJsonObject o;
    o.insert(QLatin1String(connectedToKey), connectedTo);
    o.insert(QLatin1String(nameKey), name);
    o.insert(QLatin1String(numDevicesKey), numDevices);
    o.insert(QLatin1String(portKey), remoteTerminalPort);
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

bool DiscoveryMessage::parse(const QByteArray &datagram, DiscoveryMessage *out, QString *error)
{
    QJsonParseError pe;
    const QJsonDocument doc = QJsonDocument::fromJson(datagram, &pe);
    if (pe.error != QJsonParseError::NoError) {
        *error = QStringLiteral("not JSON: %1 at offset %2").arg(pe.errorString()).arg(pe.offset);
        return false;
    }
    if (!doc.isObject()) {
        *error = QStringLiteral("JSON is not an object");
        return false;
    }
    const QJsonObject o = doc.object();
    DiscoveryMessage m;
    if (!stringMember(o, connectedToKey, &m.connectedTo, error)
        || !stringMember(o, nameKey, &m.name, error)
        || !integerMember(o, numDevicesKey, 0, 32767, &m.numDevices, error)
        || !integerMember(o, portKey, 1, 65535, &m.remoteTerminalPort, error))
        return false;
    *out = m;
    return true;
}

QString DiscoveryMessage::toText() const
{
    return QStringLiteral("headbox \"%1\" devices %2 port %3 via %4")
        .arg(name).arg(numDevices).arg(remoteTerminalPort).arg(connectedTo);
}
