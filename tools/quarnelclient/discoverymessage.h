#ifndef DISCOVERYMESSAGE_H
#define DISCOVERYMESSAGE_H

#include <QByteArray>
#include <QString>

// The JSON object the terminal broadcasts on UDP 8192 while it is free and
// finds a headbox: where it is connected, the headbox serial, how many
// headboxes and which TCP port takes the PC.
class DiscoveryMessage
{
public:
    QString connectedTo;
    QString name;
    int numDevices = 0;
    int remoteTerminalPort = 0;

    static bool parse(const QByteArray &datagram, DiscoveryMessage *out, QString *error);
    QString toText() const;
};

#endif
