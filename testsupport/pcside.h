#ifndef TESTSUPPORT_PCSIDE_H
#define TESTSUPPORT_PCSIDE_H

// The PC end of the harness's LAN, from inside a test process.
//
// A network namespace is a property of the thread on Linux, and a socket
// belongs for life to the namespace it was created in. So a short-lived
// thread joins the PC namespace, creates (and binds or connects) the socket
// there and hands back the descriptor; a QUdpSocket/QTcpSocket in the test's
// own thread adopts it and talks from the PC's side of the cable.

#include <QByteArray>
#include <QHostAddress>
#include <QProcess>
#include <QStringList>
#include <QTcpSocket>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "harness.h"

namespace pcside {

// Runs make() on a thread that has joined the PC namespace; returns its
// result, or -1 when the namespace cannot be joined.
inline int inPcNamespace(const std::function<int()> &make)
{
    const QByteArray path = harness::pcNetns().toLocal8Bit();
    if (path.isEmpty())
        return -1;
    const int nsFd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0)
        return -1;
    int result = -1;
    std::thread t([&] {
        if (::setns(nsFd, CLONE_NEWNET) == 0)
            result = make();
    });
    t.join();
    ::close(nsFd);
    return result;
}

inline sockaddr_in ipv4(const QHostAddress &addr, quint16 port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(addr.toIPv4Address());
    return sa;
}

// A UDP socket of the PC bound to addr:port (Any receives broadcasts).
inline QUdpSocket *udpSocket(quint16 port, const QHostAddress &addr = QHostAddress::AnyIPv4,
                             QObject *parent = nullptr)
{
    const int fd = inPcNamespace([&] {
        const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (s < 0)
            return -1;
        const int one = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
        // So that a received datagram tells its destination address.
        ::setsockopt(s, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        const sockaddr_in sa = ipv4(addr, port);
        if (::bind(s, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
            ::close(s);
            return -1;
        }
        return s;
    });
    if (fd < 0)
        return nullptr;
    QUdpSocket *socket = new QUdpSocket(parent);
    if (!socket->setSocketDescriptor(fd, QAbstractSocket::BoundState)) {
        delete socket;
        ::close(fd);
        return nullptr;
    }
    return socket;
}

// A TCP connection from the PC to host:port; null when it is refused.
inline QTcpSocket *tcpConnect(const QHostAddress &host, quint16 port, QObject *parent = nullptr)
{
    const int fd = inPcNamespace([&] {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0)
            return -1;
        const sockaddr_in sa = ipv4(host, port);
        if (::connect(s, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
            ::close(s);
            return -1;
        }
        return s;
    });
    if (fd < 0)
        return nullptr;
    QTcpSocket *socket = new QTcpSocket(parent);
    if (!socket->setSocketDescriptor(fd, QAbstractSocket::ConnectedState)) {
        delete socket;
        ::close(fd);
        return nullptr;
    }
    return socket;
}

// Runs a command in the PC namespace (e.g. "ip link set pc0 down" pulls the
// cable); true when it exits with 0.
inline bool run(const QStringList &command)
{
    QStringList args{QStringLiteral("--net=") + harness::pcNetns(), QStringLiteral("--")};
    args << command;
    return QProcess::execute(QStringLiteral("nsenter"), args) == 0;
}

inline bool pullCable() { return run({"ip", "link", "set", "pc0", "down"}); }
inline bool plugCable() { return run({"ip", "link", "set", "pc0", "up"}); }

} // namespace pcside

#endif
