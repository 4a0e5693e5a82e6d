#ifndef NETWORKCABLEDETECTOR_H
#define NETWORKCABLEDETECTOR_H

#include <QHostAddress>
#include <QObject>
#include <QString>

class OrvInterface;
class QuarnelLog;
class QTimer;

// Polls once a second: the terminal's IPv4 address (until one is found), the
// link state of the Ethernet interface and the presence of the headbox
// interface. Each is reported only when it changes.
class NetworkCableDetector : public QObject
{
    Q_OBJECT
public:
    NetworkCableDetector(QuarnelLog *log, OrvInterface *orvInter, QObject *parent);

    // The next tick reports the headbox interface again, changed or not.
    void ForceNotificationStatus();

    // Consecutive differing presence readings needed to accept a new result:
    // one odd reading must not make the hub reset the link.
    static const short TENTATIVI = 3;

signals:
    void NetworkCableUnplugged();
    void NetworkCablePlugged();
    void UsbStatus(bool present);
    void IpAddress(QHostAddress addr);

public slots:
    void CheckCable();

protected:
    void CheckAddress();
    void CheckLink(bool running);
    void CheckPresence();

    // No real reading equals this, so the first tick always reports.
    static const int NoPresenceResult = 9999;

    QuarnelLog *_log;
    OrvInterface *orvInt;
    int interfacePresence;
    QHostAddress curIp;
    bool netPlugged;
    QTimer *timer;
    QString currentInterface;
};

#endif
