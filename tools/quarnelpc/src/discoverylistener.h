#ifndef QUARNELPC_DISCOVERYLISTENER_H
#define QUARNELPC_DISCOVERYLISTENER_H

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

class QUdpSocket;

namespace QuarnelPc {

// Listens for the terminal's broadcasts: the discovery JSON on one port and
// the connection status record on another.
class DiscoveryListener : public QObject
{
    Q_OBJECT
public:
    explicit DiscoveryListener(QObject *parent = nullptr);
    ~DiscoveryListener() override;

    // Several listeners on one machine may share the ports.
    bool listen(quint16 discoveryPort, quint16 statusPort, QString *error);
    void close();
    bool isListening() const;

signals:
    void discoveryReceived(const QHostAddress &sender, quint16 senderPort, const QByteArray &payload);
    void statusReceived(const QHostAddress &sender, quint16 senderPort, const QByteArray &payload);

private slots:
    void readPending();

private:
    QUdpSocket *_discovery;
    QUdpSocket *_status;
};

} // namespace QuarnelPc

#endif
