#include "networkcabledetector.h"

#include <QNetworkInterface>
#include <QTimer>

#include "orvinterface.h"

NetworkCableDetector::NetworkCableDetector(QuarnelLog *log, OrvInterface *orvInter, QObject *parent)
    : QObject(parent),
      _log(log),
      orvInt(orvInter),
      interfacePresence(NoPresenceResult),
      netPlugged(false),
      timer(new QTimer(this)),
      currentInterface(QStringLiteral("eth0"))
{
    connect(timer, &QTimer::timeout, this, &NetworkCableDetector::CheckCable);
    timer->start(1000);
}

void NetworkCableDetector::ForceNotificationStatus()
{
    interfacePresence = NoPresenceResult;
}

void NetworkCableDetector::CheckCable()
{
    const QNetworkInterface iface = QNetworkInterface::interfaceFromName(currentInterface);
    if (iface.isValid()) {
        CheckAddress();
        const QNetworkInterface::InterfaceFlags linkUp = QNetworkInterface::IsUp | QNetworkInterface::IsRunning;
        CheckLink((iface.flags() & linkUp) == linkUp);
    }
    CheckPresence();
}

void NetworkCableDetector::CheckAddress()
{
    if (!curIp.isNull())
        return;
    // Every match is reported, not just the first: the last one stays.
    const QList<QHostAddress> all = QNetworkInterface::allAddresses();
    for (const QHostAddress &addr : all) {
        if (addr.protocol() != QAbstractSocket::IPv4Protocol || addr == QHostAddress(QHostAddress::LocalHost))
            continue;
        curIp = addr;
        emit IpAddress(curIp);
    }
}

void NetworkCableDetector::CheckLink(bool running)
{
    if (running) {
        if (!netPlugged)
            emit NetworkCablePlugged();
        netPlugged = true;
        return;
    }
    if (netPlugged)
        emit NetworkCableUnplugged();
    netPlugged = false;
}

void NetworkCableDetector::CheckPresence()
{
    if (!orvInt)
        return;
    int reading = interfacePresence;
    for (short i = 0; i < TENTATIVI; ++i) {
        reading = orvInt->CheckInterface();
        if (reading == interfacePresence)
            return;
    }
    interfacePresence = reading;
    emit UsbStatus(interfacePresence >= 0);
}
