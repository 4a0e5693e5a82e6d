#include "quarnelpc/discovery.h"

#include "discoverylistener.h"
#include "quarnelprotocol.h"

namespace QuarnelPc {

class Discovery::Private
{
public:
    DiscoveryListener *listener = nullptr;
    QString error;
};

Discovery::Discovery(QObject *parent) : QObject(parent), d(new Private)
{
    qRegisterMetaType<QuarnelPc::Announcement>("QuarnelPc::Announcement");
    qRegisterMetaType<QuarnelPc::ConnectionStatus>("QuarnelPc::ConnectionStatus");
    d->listener = new DiscoveryListener(this);
    connect(d->listener, &DiscoveryListener::discoveryReceived, this,
            [this](const QHostAddress &sender, quint16 port, const QByteArray &datagram) {
                QString why;
                const Announcement a = Announcement::fromDatagram(datagram, sender, port, &why);
                if (a.isValid())
                    emit announced(a);
                else
                    emit invalidAnnouncement(sender, port, datagram, why);
            });
    connect(d->listener, &DiscoveryListener::statusReceived, this,
            [this](const QHostAddress &sender, quint16 port, const QByteArray &datagram) {
                QString why;
                const ConnectionStatus s = ConnectionStatus::fromDatagram(datagram, sender, port, &why);
                if (s.isValid())
                    emit statusReceived(s);
                else
                    emit invalidStatus(sender, port, datagram, why);
            });
}

Discovery::~Discovery()
{
    d->listener->disconnect(this);
    delete d->listener;
}

bool Discovery::listen()
{
    return listen(QuarnelProtocol::DiscoveryPort, QuarnelProtocol::StatusPort);
}

bool Discovery::listen(quint16 discoveryPort, quint16 statusPort)
{
    d->error.clear();
    return d->listener->listen(discoveryPort, statusPort, &d->error);
}

void Discovery::close() { d->listener->close(); }
bool Discovery::isListening() const { return d->listener->isListening(); }
QString Discovery::errorString() const { return d->error; }
quint16 Discovery::defaultDiscoveryPort() { return QuarnelProtocol::DiscoveryPort; }
quint16 Discovery::defaultStatusPort() { return QuarnelProtocol::StatusPort; }

} // namespace QuarnelPc
