#include "discoverylistener.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

namespace QuarnelPc {

DiscoveryListener::DiscoveryListener(QObject *parent)
    : QObject(parent), _discovery(new QUdpSocket(this)), _status(new QUdpSocket(this))
{
    connect(_discovery, &QUdpSocket::readyRead, this, &DiscoveryListener::readPending);
    connect(_status, &QUdpSocket::readyRead, this, &DiscoveryListener::readPending);
}

DiscoveryListener::~DiscoveryListener()
{
    delete _status;
    delete _discovery;
}

bool DiscoveryListener::listen(quint16 discoveryPort, quint16 statusPort, QString *error)
{
    close();
    const QAbstractSocket::BindMode mode = QAbstractSocket::ShareAddress | QAbstractSocket::ReuseAddressHint;
    if (!_discovery->bind(QHostAddress::AnyIPv4, discoveryPort, mode)) {
        *error = QStringLiteral("cannot listen on UDP %1: %2").arg(discoveryPort).arg(_discovery->errorString());
        return false;
    }
    if (!_status->bind(QHostAddress::AnyIPv4, statusPort, mode)) {
        *error = QStringLiteral("cannot listen on UDP %1: %2").arg(statusPort).arg(_status->errorString());
        _discovery->close();
        return false;
    }
    return true;
}

void DiscoveryListener::close()
{
    _discovery->close();
    _status->close();
}

bool DiscoveryListener::isListening() const
{
    return _discovery->state() == QAbstractSocket::BoundState;
}

void DiscoveryListener::readPending()
{
    QUdpSocket *s = qobject_cast<QUdpSocket *>(sender());
    // A receiver may close the listener from its handler (a program that
    // has found its terminal): a closed socket is not asked again.
    while (s && s->state() == QAbstractSocket::BoundState && s->hasPendingDatagrams()) {
        const QNetworkDatagram d = s->receiveDatagram();
        if (!d.isValid())
            return;
        QHostAddress from = d.senderAddress();
        bool mapped = false;
        const quint32 v4 = from.toIPv4Address(&mapped);
        if (mapped)
            from = QHostAddress(v4);
        if (s == _discovery)
            emit discoveryReceived(from, quint16(d.senderPort()), d.data());
        else
            emit statusReceived(from, quint16(d.senderPort()), d.data());
    }
}

} // namespace QuarnelPc
