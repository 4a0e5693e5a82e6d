#include "statusrecord.h"

#include <QtEndian>

#include <cstring>

namespace {

QHostAddress addressAt(const char *p)
{
    const quint32 n = qFromLittleEndian<quint32>(p);
    return n == 0 ? QHostAddress() : QHostAddress(n);
}

void putAddress(const QHostAddress &a, char *p)
{
    bool ok = false;
    quint32 n = a.isNull() ? 0 : a.toIPv4Address(&ok);
    if (!ok)
        n = 0;
    qToLittleEndian<quint32>(n, p);
}

QString addressText(const QHostAddress &a)
{
    return a.isNull() ? QStringLiteral("none") : a.toString();
}

} // namespace

bool StatusRecord::decode(const QByteArray &datagram, StatusRecord *out, QString *error)
{
    if (datagram.size() != Size) {
        *error = QStringLiteral("status record of %1 bytes, expected %2").arg(datagram.size()).arg(Size);
        return false;
    }
    const char *d = datagram.constData();
    // Bytes after the terminator carry no meaning.
    const int len = int(qstrnlen(d, SerialSize));
    out->headboxSerial = QString::fromLatin1(d, len);
    out->pc = addressAt(d + 16);
    out->terminal = addressAt(d + 20);
    return true;
}

QByteArray StatusRecord::encode() const
{
    QByteArray r(Size, '\0');
    const QByteArray sn = headboxSerial.toLatin1().left(SerialSize - 1);
    memcpy(r.data(), sn.constData(), size_t(sn.size()));
    putAddress(pc, r.data() + 16);
    putAddress(terminal, r.data() + 20);
    return r;
}

QString StatusRecord::toText() const
{
    return QStringLiteral("serial \"%1\" pc %2 terminal %3")
        .arg(headboxSerial, addressText(pc), addressText(terminal));
}
