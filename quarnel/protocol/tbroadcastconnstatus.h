#ifndef TBROADCASTCONNSTATUS_H
#define TBROADCASTCONNSTATUS_H

#include <cstddef>

#include <QtGlobal>

// The status datagram, sent as it lies in memory. PC programs read it as a
// packed little-endian record: the address fields hold the IPv4 number
// (first octet most significant) stored little-endian, so the last octet
// travels first.
struct tBroadcastConnStatus
{
    char headboxSN[16]; // NUL-terminated, at most 15 bytes of text
    quint32 ipPc;       // 0 when no PC is connected
    quint32 ipQuarnel;  // 0 while the terminal's address is unknown
};

static_assert(sizeof(tBroadcastConnStatus) == 24, "the status datagram is 24 bytes");
static_assert(offsetof(tBroadcastConnStatus, headboxSN) == 0, "serial text at offset 0");
static_assert(offsetof(tBroadcastConnStatus, ipPc) == 16, "PC address at offset 16");
static_assert(offsetof(tBroadcastConnStatus, ipQuarnel) == 20, "terminal address at offset 20");
static_assert(Q_BYTE_ORDER == Q_LITTLE_ENDIAN, "the record goes on the wire as it lies in memory");

#endif
