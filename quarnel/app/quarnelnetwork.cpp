#include "quarnelnetwork.h"

#include <QDebug>
#include <QTextCodec>
#include <QUdpSocket>

#include <cstring>

#include "headboxchecker.h"
#include "interfacereader.h"
#include "networkcabledetector.h"
#include "orv.h"
#include "orvinterfacezelk.h"
#include "quarnellog.h"
#include "quarnelprotocol.h"
#include "statusrecord.h"

namespace {

// An address the panel can be reached at on its /24 LAN: IPv4 unicast, not
// "this network", loopback, link-local, multicast or reserved, and neither
// the network nor the broadcast address of its 255.255.255.0 network.
bool IsUsableHostAddress(const QHostAddress &addr)
{
    if (addr.protocol() != QAbstractSocket::IPv4Protocol)
        return false;
    const quint32 n = addr.toIPv4Address();
    const quint32 first = n >> 24;
    if (first == 0 || first == 127 || first >= 224)
        return false;
    if ((n >> 16) == 0xA9FE) // 169.254/16
        return false;
    const quint32 host = n & 0xFF;
    return host != 0 && host != 0xFF;
}

} // namespace

QuarnelNetwork::QuarnelNetwork(QObject *parent)
    : QObject(parent)
{
    Construct(nullptr);
}

QuarnelNetwork::QuarnelNetwork(OrvInterface *orvInter, QObject *parent)
    : QObject(parent)
{
    Construct(orvInter);
}

void QuarnelNetwork::Construct(OrvInterface *orvInter)
{
    ipAddr = QHostAddress();
    _udpSocket = nullptr;
    _orv = nullptr;
    orvInterface = nullptr;
    _checkHeadboxConnected = nullptr;
    _interfaceReader = nullptr;
    networkCableDetector = nullptr;
    std::memset(deviceSN, 0, sizeof deviceSN);
    std::memset(&connectionStatus, 0, sizeof connectionStatus);
    examRunning = false;
    linkUp = false;

    _log = new QuarnelLog;
    connect(_log, &QuarnelLog::AddLogItemSignal, this, &QuarnelNetwork::LogItemAdded);

    LogItemAdded(QStringLiteral("Checking quarnel"));

    orvInterface = orvInter ? orvInter : new OrvInterfaceZelk(_log);
    connect(orvInterface, &OrvInterface::FirmwareVersion, this, &QuarnelNetwork::FirmwareInfo);

    networkCableDetector = new NetworkCableDetector(_log, orvInterface, nullptr);
    connect(networkCableDetector, &NetworkCableDetector::UsbStatus, this, &QuarnelNetwork::UsbPresence);
    connect(networkCableDetector, &NetworkCableDetector::NetworkCablePlugged, this, &QuarnelNetwork::NetworkPlugged);
    connect(networkCableDetector, &NetworkCableDetector::NetworkCableUnplugged, this, &QuarnelNetwork::NetworkUnplugged);
    connect(networkCableDetector, &NetworkCableDetector::IpAddress, this, &QuarnelNetwork::IpAddr);
}

QuarnelNetwork::~QuarnelNetwork()
{
    if (_udpSocket) {
        _udpSocket->close();
        delete _udpSocket;
        _udpSocket = nullptr;
    }
    // The relay first: a PC still connected has its exam ended as when it
    // leaves (a long write to the headboxes cut, its queued bytes dropped,
    // the headboxes stopped), and the checker, resumed by that, does not
    // check the link under a running relay. The relay's Stop also ends a
    // paused loop, without a resume that would let it start another pass.
    if (_interfaceReader) {
        if (examRunning)
            _interfaceReader->ClientDisconnected();
        _interfaceReader->Stop();
    }
    // A paused checker looks at its stop flag only once resumed (Stop does).
    if (_checkHeadboxConnected)
        _checkHeadboxConnected->Stop();
    delete networkCableDetector;
    delete _checkHeadboxConnected;
    delete _interfaceReader;
    delete _orv;
    delete orvInterface;

    LogItemAdded(QStringLiteral("End program"));

    delete _log;
}

void QuarnelNetwork::UsbPresence(bool found)
{
    if (!found) {
        linkUp = false;
        LogItemAdded(QStringLiteral("Error: interface NOT present!"));
        if (_interfaceReader && _checkHeadboxConnected)
            disconnect(_interfaceReader, &InterfaceReader::EndExamOrDisconnection, _checkHeadboxConnected, &HeadboxChecker::Resume);
        if (_checkHeadboxConnected)
            _checkHeadboxConnected->Pause();
        if (orvInterface)
            orvInterface->ResetInterface();
        return;
    }

    // A repeated report of a link that is up must not run the set-up
    // sequence under the running checker.
    if (linkUp)
        return;
    LogItemAdded(QStringLiteral("interface present"));
    orvInterface->Open();
    if (orvInterface->SetInterface() != 0) {
        // The detector reports the interface again at its next tick.
        qDebug("RIPROVAAAAAAAAAAAAAAA");
        orvInterface->Close();
        networkCableDetector->ForceNotificationStatus();
        return;
    }

    BuildWorkers();

    // Made again on every set-up because a loss removes it; unique, so that a
    // second report of a present interface cannot double it.
    connect(_interfaceReader, &InterfaceReader::EndExamOrDisconnection, _checkHeadboxConnected, &HeadboxChecker::Resume,
            Qt::ConnectionType(Qt::AutoConnection | Qt::UniqueConnection));
    linkUp = true;
    LogItemAdded(QStringLiteral("quarnel Status: OK"));
}

void QuarnelNetwork::BuildWorkers()
{
    if (!_orv)
        _orv = new Orv(orvInterface, _log, this);

    if (!_checkHeadboxConnected) {
        _checkHeadboxConnected = new HeadboxChecker(_orv);
        _checkHeadboxConnected->start();
        // Broadcast first: the datagram goes out before deviceSN changes.
        connect(_checkHeadboxConnected, &HeadboxChecker::ConnectionFound,
                this, &QuarnelNetwork::SendBroadcastRequest);
        connect(_checkHeadboxConnected, &HeadboxChecker::ConnectionFound,
                this, &QuarnelNetwork::HeadboxPlugged);
    } else {
        _checkHeadboxConnected->Resume();
    }

    if (_interfaceReader)
        return;
    ClientDisconnected();
    _interfaceReader = new InterfaceReader(_orv, _log);
    connect(_interfaceReader, &InterfaceReader::ReadyToStartExam, _checkHeadboxConnected, &HeadboxChecker::Pause);
    connect(networkCableDetector, &NetworkCableDetector::NetworkCableUnplugged, _interfaceReader, &InterfaceReader::ClientDisconnected);
    connect(_interfaceReader, &InterfaceReader::IpHost, this, &QuarnelNetwork::SendBroadcastStatusConnected);
    connect(_interfaceReader, &InterfaceReader::EndExamOrDisconnection, this, &QuarnelNetwork::ClientDisconnected);
    connect(_interfaceReader, &InterfaceReader::ReadyToStartExam, this, &QuarnelNetwork::ClientConnected);
    connect(_interfaceReader, &InterfaceReader::IpHostName, this, &QuarnelNetwork::NewHostName);
    _interfaceReader->start();
}

void QuarnelNetwork::HeadboxPlugged(bool plugged, QString devId, short nDevs)
{
    // A check that ended after the relay paused the checker: the exam has
    // the link, and the report is stale.
    if (examRunning)
        return;
    emit headboxPluggedState(plugged, devId, nDevs);

    std::memset(deviceSN, 0, sizeof deviceSN);
    if (!plugged)
        return;
    // A serial longer than the field is cut to fit with its terminator.
    const QByteArray text = devId.toLocal8Bit();
    int n = qMin(text.size(), int(sizeof deviceSN) - 1);
    if (n < text.size() && QTextCodec::codecForLocale()->mibEnum() == 106) {
        // UTF-8: do not leave half a character behind.
        while (n > 0 && (uchar(text.at(n)) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(deviceSN, text.constData(), size_t(n));
}

void QuarnelNetwork::LogItemAdded(QString item)
{
    emit AddLogItem(item);
}

void QuarnelNetwork::NetworkPlugged()
{
    emit NetworkCableState(true);
}

void QuarnelNetwork::NetworkUnplugged()
{
    emit NetworkCableState(false);
}

void QuarnelNetwork::ClientConnected()
{
    examRunning = true;
    emit ClientConnectionState(true);
}

void QuarnelNetwork::ClientDisconnected()
{
    examRunning = false;
    emit ClientConnectionState(false);
    SendStatus(QHostAddress());
}

void QuarnelNetwork::IpAddr(QHostAddress addr)
{
    ipAddr = addr;
    emit IpAddress(addr, system.IsFirstTime());
    if (!_udpSocket)
        CreateSocket();
    qDebug().noquote() << QStringLiteral("*****************") + addr.toString();
}

void QuarnelNetwork::UserChangeIp(QHostAddress newIp)
{
    if (newIp.isNull())
        return;
    // Written to the interface configuration, such an address would leave
    // the panel unreachable until it is reinstalled.
    if (!IsUsableHostAddress(newIp)) {
        LogItemAdded(QStringLiteral("Address refused: ") + newIp.toString());
        return;
    }
    // The first time, keeping the address shown must still make it static
    // and store that it was set, or the dialog opens at every start.
    if (newIp == ipAddr && !system.IsFirstTime())
        return;
    // Only a running exam is ended: without a PC the relay's stop sequence
    // would drive the link while the checker is using it.
    if (_interfaceReader && examRunning)
        _interfaceReader->ClientDisconnected();

    // eth0 is back on its old address: the hub, its broadcasts and the
    // records keep it, or they would leave from an address nobody has.
    QString failure;
    if (!system.ChangeIp(newIp, &failure)) {
        LogItemAdded(failure);
        return;
    }

    ipAddr = newIp;
    emit IpAddress(ipAddr, false);

    if (!_udpSocket)
        return;
    _udpSocket->close();
    delete _udpSocket;
    _udpSocket = nullptr;
    CreateSocket();
}

void QuarnelNetwork::TurnOffDisplay()
{
    if (orvInterface)
        orvInterface->DisplayPower(false);
}

void QuarnelNetwork::TurnOnDisplay()
{
    if (orvInterface)
        orvInterface->DisplayPower(true);
}

void QuarnelNetwork::CreateSocket()
{
    // Bound to the terminal's address so that broadcasts leave from it; the
    // socket is never read.
    _udpSocket = new QUdpSocket(this);
    _udpSocket->bind(ipAddr, 0);
}

void QuarnelNetwork::SendBroadcastRequest(bool headboxConnected, QString devId, short nDevs)
{
    // A terminal with a PC is silent on the discovery port, also for a
    // check that ended (its report queued) after the relay paused the checker.
    if (!headboxConnected || examRunning)
        return;
    emit headboxPluggedState(true, devId, nDevs);
    if (!_udpSocket)
        return;

    _log->AddLogItem(QStringLiteral("Send Broadcast Request ") + devId + QStringLiteral("  devices=")
                     + QString::number(nDevs));
    jBroadcast.name = devId;
    jBroadcast.numDevices = nDevs;
    _udpSocket->writeDatagram(jBroadcast.encode(), QHostAddress::Broadcast, QuarnelProtocol::DiscoveryPort);
}

void QuarnelNetwork::SendBroadcastStatusConnected(QHostAddress ip)
{
    SendStatus(ip);
}

void QuarnelNetwork::SendStatus(const QHostAddress &pc)
{
    connectionStatus.ipPc = StatusRecord::addressField(pc);
    connectionStatus.ipQuarnel = StatusRecord::addressField(ipAddr);
    std::memcpy(connectionStatus.headboxSN, deviceSN, sizeof connectionStatus.headboxSN);
    if (!_udpSocket)
        return;
    _udpSocket->writeDatagram(reinterpret_cast<const char *>(&connectionStatus), sizeof connectionStatus,
                              QHostAddress::Broadcast, QuarnelProtocol::StatusPort);
}
