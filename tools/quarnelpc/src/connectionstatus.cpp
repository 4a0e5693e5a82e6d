#include "quarnelpc/connectionstatus.h"

#include <QSharedData>

#include "quarnelpc/quarnelpc.h"
#include "statusrecord.h"

namespace QuarnelPc {

class ConnectionStatusData : public QSharedData
{
public:
    bool valid = false;
    StatusRecord record;
    QHostAddress sender;
    quint16 senderPort = 0;
    QByteArray datagram;
};

ConnectionStatus::ConnectionStatus() : d(new ConnectionStatusData) {}
ConnectionStatus::ConnectionStatus(const ConnectionStatus &other) = default;
ConnectionStatus &ConnectionStatus::operator=(const ConnectionStatus &other) = default;
ConnectionStatus::~ConnectionStatus() = default;

ConnectionStatus ConnectionStatus::fromDatagram(const QByteArray &datagram, const QHostAddress &sender,
                                                quint16 senderPort, QString *error)
{
    ConnectionStatus s;
    s.d->sender = sender;
    s.d->senderPort = senderPort;
    s.d->datagram = datagram;
    QString why;
    s.d->valid = StatusRecord::decode(datagram, &s.d->record, &why);
    if (error)
        *error = why;
    return s;
}

bool ConnectionStatus::isValid() const { return d->valid; }
QHostAddress ConnectionStatus::sender() const { return d->sender; }
quint16 ConnectionStatus::senderPort() const { return d->senderPort; }
QString ConnectionStatus::headboxSerial() const { return d->record.headboxSerial; }
QHostAddress ConnectionStatus::pc() const { return d->record.pc; }
QHostAddress ConnectionStatus::terminal() const { return d->record.terminal; }
QByteArray ConnectionStatus::datagram() const { return d->datagram; }
QString ConnectionStatus::toText() const
{
    if (!d->valid)
        return QString();
    StatusRecord shown = d->record;
    shown.headboxSerial = printable(shown.headboxSerial);
    return shown.toText();
}

} // namespace QuarnelPc
