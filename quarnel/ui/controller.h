#ifndef CONTROLLER_H
#define CONTROLLER_H

#include <QHostAddress>
#include <QObject>
#include <QString>

class QuarnelNetwork;

// Sits between the hub and the panel's windows: relays state reports, drops
// repeated headbox reports, keeps the address and firmware text for the setup
// dialog and reads the hidden corner-button sequences.
class Controller : public QObject
{
    Q_OBJECT
public:
    Controller(QuarnelNetwork *quarnel, QObject *parent);

    // Read by the setup dialog when it opens.
    QHostAddress ipAddress;
    QString fwVer;

signals:
    void HeadboxPluggedChangeState(bool plugged, QString device, short count);
    void NetworkCableState(bool plugged);
    void ClientConnectionState(bool connected);
    void ShowSetupDialog();
    void ClosedSetup();
    void ExitProgram();
    void HostName(QString name);
    void FirmwareInfo(QString version);
    void AddLogItem(QString item);
    void UserChangeIp(QHostAddress address);
    void TurnOffDisplay();
    void TurnOnDisplay();

public slots:
    void HeadboxPlugged(bool plugged, QString device, short count);
    void FirmwareVersion(QString version);
    void PasswordCheck(int index);
    void CloseSetupDialog(QHostAddress address, bool apply);
    void IpAddr(QHostAddress address, bool first);

private:
    bool Matches(const int (&sequence)[4]) const;

    QuarnelNetwork *quarnel;
    bool firstPlug;
    bool plugStatus;
    bool firstTimeIp;
    int password[4];
    const int passwordSetup[4];
    const int passwordExit[4];
};

#endif
