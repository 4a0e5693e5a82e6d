#ifndef QUARNELPC_DISCOVERY_H
#define QUARNELPC_DISCOVERY_H

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

#include "announcement.h"
#include "connectionstatus.h"
#include "quarnelpc_global.h"

namespace QuarnelPc {

// Listens for the terminals' broadcasts: discovery messages from free
// terminals and status records when a PC connects or leaves. Several
// programs on one PC may listen at once.
class QUARNELPC_EXPORT Discovery : public QObject
{
    Q_OBJECT
public:
    explicit Discovery(QObject *parent = nullptr);
    ~Discovery() override;

    // On the terminal's ports; false, with errorString(), when a port
    // cannot be bound.
    bool listen();
    bool listen(quint16 discoveryPort, quint16 statusPort);
    void close();
    bool isListening() const;
    QString errorString() const;

    static quint16 defaultDiscoveryPort();
    static quint16 defaultStatusPort();

signals:
    void announced(const QuarnelPc::Announcement &announcement);
    void statusReceived(const QuarnelPc::ConnectionStatus &status);
    // Datagrams on these ports that are not what a terminal sends.
    void invalidAnnouncement(const QHostAddress &sender, quint16 senderPort, const QByteArray &datagram,
                             const QString &reason);
    void invalidStatus(const QHostAddress &sender, quint16 senderPort, const QByteArray &datagram,
                       const QString &reason);

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace QuarnelPc

#endif
