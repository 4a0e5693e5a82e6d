#include "connectionpolicy.h"

#include <QTcpSocket>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {
bool IsConnected(QTcpSocket *s)
{
    return s->state() == QAbstractSocket::ConnectedState && s->socketDescriptor() >= 0;
}

// What the kernel knows of the connection, which Qt does not show.
bool ReadTcpInfo(QTcpSocket *s, tcp_info *info)
{
    socklen_t len = sizeof(*info);
    return getsockopt(int(s->socketDescriptor()), IPPROTO_TCP, TCP_INFO, info, &len) == 0;
}
} // namespace

bool ConnectionPolicy::PeerHasClosed(QTcpSocket *s)
{
    if (!IsConnected(s))
        return true;
    tcp_info info {};
    if (!ReadTcpInfo(s, &info))
        return false;
    // CLOSE_WAIT: the peer's FIN has arrived, whatever data precedes it.
    return info.tcpi_state == TCP_CLOSE_WAIT || info.tcpi_state == TCP_CLOSE
        || info.tcpi_state == TCP_LAST_ACK;
}

void ConnectionPolicy::EnableKeepAlive(QTcpSocket *s)
{
    s->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const qintptr fd = s->socketDescriptor();
    if (fd < 0)
        return;
    const int idle = 10;
    const int interval = 5;
    const int probes = 3;
    setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
}

bool ConnectionPolicy::PeerVanished(QTcpSocket *s)
{
    tcp_info info {};
    if (!IsConnected(s) || !ReadTcpInfo(s, &info))
        return false;
    return info.tcpi_unacked > 0 && info.tcpi_last_ack_recv >= unsigned(vanishedAfterMs);
}

void ConnectionPolicy::SmallSendBuffer(QTcpSocket *s)
{
    s->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 16384);
}

bool ConnectionPolicy::AnswerAllowed(const QHostAddress &peer, QTcpSocket *dataClient)
{
    // The dual-stack servers may report an IPv4 peer in its mapped form.
    return !dataClient || peer.isEqual(dataClient->peerAddress(), QHostAddress::TolerantConversion);
}

QString ConnectionPolicy::AddressText(const QHostAddress &a)
{
    bool isV4 = false;
    const quint32 v4 = a.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : a.toString();
}

QString ConnectionPolicy::RefusedText(const QHostAddress &peer)
{
    return QStringLiteral("Connection from %1 refused: a PC is already connected").arg(AddressText(peer));
}

QString ConnectionPolicy::AnswerRefusedText(const QHostAddress &peer, const QHostAddress &pc)
{
    return QStringLiteral("Answer connection from %1 refused: the PC at %2 is connected")
        .arg(AddressText(peer), AddressText(pc));
}

QString ConnectionPolicy::AnswerClosedText(const QHostAddress &peer, const QHostAddress &pc)
{
    return QStringLiteral("Answer connection from %1 closed: the PC at %2 is connected")
        .arg(AddressText(peer), AddressText(pc));
}

QString ConnectionPolicy::AnswerUnreadText(const QHostAddress &peer, qint64 unsent)
{
    return QStringLiteral("Answer connection from %1 closed: %2 bytes of answers unread")
        .arg(AddressText(peer))
        .arg(unsent);
}

QString ConnectionPolicy::VanishedText(const QHostAddress &peer)
{
    return QStringLiteral("Connection from %1 closed: nothing acknowledged for %2 s")
        .arg(AddressText(peer))
        .arg(vanishedAfterMs / 1000);
}

void ConnectionPolicy::Drop(QTcpSocket *s, QObject *receiver)
{
    s->disconnect(receiver);
    s->close();
    s->deleteLater();
}
