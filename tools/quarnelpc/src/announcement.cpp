#include "quarnelpc/announcement.h"

#include <QSharedData>

#include "discoverymessage.h"
#include "quarnelpc/quarnelpc.h"

namespace QuarnelPc {

class AnnouncementData : public QSharedData
{
public:
    bool valid = false;
    DiscoveryMessage message;
    QHostAddress sender;
    quint16 senderPort = 0;
    QByteArray datagram;
};

Announcement::Announcement() : d(new AnnouncementData) {}
Announcement::Announcement(const Announcement &other) = default;
Announcement &Announcement::operator=(const Announcement &other) = default;
Announcement::~Announcement() = default;

Announcement Announcement::fromDatagram(const QByteArray &datagram, const QHostAddress &sender,
                                        quint16 senderPort, QString *error)
{
    Announcement a;
    a.d->sender = sender;
    a.d->senderPort = senderPort;
    a.d->datagram = datagram;
    QString why;
    a.d->valid = DiscoveryMessage::parse(datagram, &a.d->message, &why);
    if (error)
        *error = why;
    return a;
}

bool Announcement::isValid() const { return d->valid; }
QHostAddress Announcement::terminal() const { return d->sender; }
quint16 Announcement::senderPort() const { return d->senderPort; }
QString Announcement::headboxSerial() const { return d->valid ? d->message.name : QString(); }
int Announcement::headboxCount() const { return d->valid ? d->message.numDevices : 0; }
quint16 Announcement::dataPort() const { return d->valid ? quint16(d->message.remoteTerminalPort) : quint16(0); }
QString Announcement::connectedTo() const { return d->valid ? d->message.connectedTo : QString(); }
QByteArray Announcement::datagram() const { return d->datagram; }
QString Announcement::toText() const
{
    if (!d->valid)
        return QString();
    DiscoveryMessage shown = d->message;
    shown.name = printable(shown.name);
    shown.connectedTo = printable(shown.connectedTo);
    return shown.toText();
}

} // namespace QuarnelPc
