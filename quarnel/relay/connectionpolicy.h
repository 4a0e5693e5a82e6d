#ifndef CONNECTIONPOLICY_H
#define CONNECTIONPOLICY_H

#include <QHostAddress>
#include <QString>

class QObject;
class QTcpSocket;

// Who may use the relay's ports, and how their sockets are treated: one PC
// at a time on the data port, its answers to it alone. GUI thread.
class ConnectionPolicy
{
public:
    // The peer has closed (or the connection is gone), even if the end has
    // not been served yet: a PC that reconnects at once is not refused.
    static bool PeerHasClosed(QTcpSocket *s);
    // A PC that vanished without closing frees the terminal in about 25 s:
    // by keepalive while nothing is sent to it, by PeerVanished otherwise.
    static void EnableKeepAlive(QTcpSocket *s);
    // Data sent to the peer has waited vanishedAfterMs for an acknowledgement:
    // the peer is gone (power cut, crash, its cable pulled). Keepalive sends
    // no probe while sent data is unacknowledged, and TCP's retransmissions
    // give up only after about 15 minutes. A TCP user time-out would also
    // end a PC that is alive but does not read (its zero window); that one
    // acknowledges the window probes and is not taken for gone here.
    static bool PeerVanished(QTcpSocket *s);
    static constexpr int vanishedAfterMs = 25000;
    // An answer connection needs little room in the kernel; left to itself,
    // the kernel grows a send buffer to megabytes for a peer that does not read.
    static void SmallSendBuffer(QTcpSocket *s);
    // While a PC streams (dataClient set), its answers go to it alone.
    static bool AnswerAllowed(const QHostAddress &peer, QTcpSocket *dataClient);
    // Plain IPv4 where the address is one: the dual-stack servers report an
    // IPv4 PC in its mapped form (::ffff:a.b.c.d).
    static QString AddressText(const QHostAddress &a);
    static QString RefusedText(const QHostAddress &peer);
    static QString AnswerRefusedText(const QHostAddress &peer, const QHostAddress &pc);
    static QString AnswerClosedText(const QHostAddress &peer, const QHostAddress &pc);
    static QString AnswerUnreadText(const QHostAddress &peer, qint64 unsent);
    static QString VanishedText(const QHostAddress &peer);
    // Ends a connection: nothing more reaches receiver, the socket is closed
    // and deleted once its signals are served.
    static void Drop(QTcpSocket *s, QObject *receiver);
};

#endif
