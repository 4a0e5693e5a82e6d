#ifndef STATUSRECORD_H
#define STATUSRECORD_H

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include "tbroadcastconnstatus.h"

// The 24-byte connection status the terminal broadcasts when a PC connects or
// leaves (layout: tBroadcastConnStatus):
//   0..15  headbox serial, NUL-terminated text
//   16..19 PC address     } IPv4 as a 32-bit number stored little-endian,
//   20..23 terminal       } so the last octet comes first; 0 = none
class StatusRecord
{
public:
    static constexpr int Size = int(sizeof(tBroadcastConnStatus));
    static constexpr int SerialSize = int(sizeof(tBroadcastConnStatus::headboxSN));

    QString headboxSerial;
    QHostAddress pc;         // null when no PC is connected
    QHostAddress terminal;   // null while the terminal has no address

    // What an address field holds for a: its IPv4 number stored
    // little-endian; 0 for a null address or one that is neither IPv4 nor
    // IPv4-mapped.
    static quint32 addressField(const QHostAddress &a);

    static bool decode(const QByteArray &datagram, StatusRecord *out, QString *error);
    QByteArray encode() const;
    QString toText() const;
};

#endif
