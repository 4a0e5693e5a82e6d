#include "statusrecord.h"

#include <QtEndian>

#include <cstring>

namespace {

QHostAddress addressOf(quint32 field)
{
    const quint32 n = qFromLittleEndian(field);
    return n == 0 ? QHostAddress() : QHostAddress(n);
}

QString addressText(const QHostAddress &a)
{
    return a.isNull() ? QStringLiteral("none") : a.toString();
}

} // namespace

quint32 StatusRecord::addressField(const QHostAddress &a)
{
    bool ok = false;
    const quint32 n = a.toIPv4Address(&ok);
    return qToLittleEndian(ok ? n : 0u);
}

bool StatusRecord::decode(const QByteArray &datagram, StatusRecord *out, QString *error)
{
    if (datagram.size() != Size) {
        *error = QStringLiteral("status record of %1 bytes, expected %2").arg(datagram.size()).arg(Size);
        return false;
    }
    tBroadcastConnStatus r;
    std::memcpy(&r, datagram.constData(), sizeof r);
    // Bytes after the terminator carry no meaning.
    out->headboxSerial = QString::fromLatin1(r.headboxSN, int(qstrnlen(r.headboxSN, SerialSize)));
    out->pc = addressOf(r.ipPc);
    out->terminal = addressOf(r.ipQuarnel);
    return true;
}

QByteArray StatusRecord::encode() const
{
    tBroadcastConnStatus r;
    std::memset(&r, 0, sizeof r);
    const QByteArray sn = headboxSerial.toLatin1().left(SerialSize - 1);
    std::memcpy(r.headboxSN, sn.constData(), size_t(sn.size()));
    r.ipPc = addressField(pc);
    r.ipQuarnel = addressField(terminal);
    return QByteArray(reinterpret_cast<const char *>(&r), Size);
}

QString StatusRecord::toText() const
{
    return QStringLiteral("serial \"%1\" pc %2 terminal %3")
        .arg(headboxSerial, addressText(pc), addressText(terminal));
}
