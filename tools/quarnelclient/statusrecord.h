#ifndef STATUSRECORD_H
#define STATUSRECORD_H

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// The 24-byte connection status the terminal broadcasts on UDP 8193 when a PC
// connects or leaves:
//   0..15  headbox serial, NUL-terminated text
//   16..19 PC address     } IPv4 as a 32-bit number stored little-endian,
//   20..23 terminal       } so the last octet comes first; 0 = none
class StatusRecord
{
public:
    static constexpr int Size = 24;
    static constexpr int SerialSize = 16;

    QString headboxSerial;
    QHostAddress pc;         // null when no PC is connected
    QHostAddress terminal;   // null while the terminal has no address

    static bool decode(const QByteArray &datagram, StatusRecord *out, QString *error);
    QByteArray encode() const;
    QString toText() const;
};

#endif
