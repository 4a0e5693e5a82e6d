#ifndef QUARNELNETWORK_H
#define QUARNELNETWORK_H

#include <QHostAddress>
#include <QObject>
#include <QString>

#include "discoverymessage.h"
#include "system.h"
#include "tbroadcastconnstatus.h"

class HeadboxChecker;
class InterfaceReader;
class NetworkCableDetector;
class Orv;
class OrvInterface;
class QUdpSocket;
class QuarnelLog;

// The hub: owns everything below the user interface (event log, headbox
// link, cable detector, protocol object, presence checker, relay thread, the
// broadcast socket), wires them together, turns their events into the state
// signals the panel shows and stops everything in a fixed order at the end.
// Lives in, and is only used from, the GUI thread.
class QuarnelNetwork : public QObject
{
    Q_OBJECT
public:
    explicit QuarnelNetwork(QObject *parent);
    virtual ~QuarnelNetwork();

signals:
    void AddLogItem(QString item);
    void headboxPluggedState(bool plugged, QString devId, short nDevs);
    void NetworkCableState(bool plugged);
    void ClientConnectionState(bool connected);
    void NewHostName(QString hostName);
    void IpAddress(QHostAddress addr, bool firstTime);
    void FirmwareInfo(QString version);

public slots:
    void SendBroadcastRequest(bool headboxConnected, QString devId, short nDevs);
    void HeadboxPlugged(bool plugged, QString devId, short nDevs);
    void LogItemAdded(QString item);
    void UsbPresence(bool found);
    void NetworkPlugged();
    void NetworkUnplugged();
    void ClientConnected();
    void ClientDisconnected();
    void IpAddr(QHostAddress addr);
    void UserChangeIp(QHostAddress newIp);
    void TurnOffDisplay();
    void TurnOnDisplay();
    void SendBroadcastStatusConnected(QHostAddress ip);

protected:
    // For tests: the hub takes ownership of orvInter and uses it in place of
    // the FPGA-backed link.
    QuarnelNetwork(OrvInterface *orvInter, QObject *parent);

    QHostAddress ipAddr;
    DiscoveryMessage jBroadcast;
    QUdpSocket *_udpSocket;
    QuarnelLog *_log;
    Orv *_orv;
    OrvInterface *orvInterface;
    System system;
    HeadboxChecker *_checkHeadboxConnected;
    InterfaceReader *_interfaceReader;
    NetworkCableDetector *networkCableDetector;
    tBroadcastConnStatus connectionStatus;
    char deviceSN[16];
    // A PC is connected: the relay has the link and the checker is paused.
    bool examRunning;
    // Set up and not reported lost since: the workers are using the link.
    bool linkUp;

private:
    void Construct(OrvInterface *orvInter);
    void BuildWorkers();
    void CreateSocket();
    void SendStatus(const QHostAddress &pc);
};

#endif
