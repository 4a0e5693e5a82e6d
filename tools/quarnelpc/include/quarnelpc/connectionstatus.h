#ifndef QUARNELPC_CONNECTIONSTATUS_H
#define QUARNELPC_CONNECTIONSTATUS_H

#include <QByteArray>
#include <QHostAddress>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>

#include "quarnelpc_global.h"

namespace QuarnelPc {

class ConnectionStatusData;

// One status record: a terminal says which PC, if any, it now serves.
class QUARNELPC_EXPORT ConnectionStatus
{
public:
    ConnectionStatus();
    ConnectionStatus(const ConnectionStatus &other);
    ConnectionStatus &operator=(const ConnectionStatus &other);
    ~ConnectionStatus();

    // Decodes a datagram heard on the status port; an invalid status, with
    // *error set, when it is not one.
    static ConnectionStatus fromDatagram(const QByteArray &datagram, const QHostAddress &sender,
                                         quint16 senderPort, QString *error = nullptr);

    bool isValid() const;
    QHostAddress sender() const;
    quint16 senderPort() const;
    QString headboxSerial() const;
    // The PC it serves; null when it serves none.
    QHostAddress pc() const;
    // The address the terminal gives for itself; null while it has none.
    QHostAddress terminal() const;
    QByteArray datagram() const;
    // One line: serial (escaped, see printable()), PC and terminal.
    QString toText() const;

private:
    QSharedDataPointer<ConnectionStatusData> d;
};

} // namespace QuarnelPc

Q_DECLARE_METATYPE(QuarnelPc::ConnectionStatus)

#endif
