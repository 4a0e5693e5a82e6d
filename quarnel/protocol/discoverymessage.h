#ifndef DISCOVERYMESSAGE_H
#define DISCOVERYMESSAGE_H

#include <QByteArray>
#include <QString>

#include "quarnelprotocol.h"

// The JSON object the terminal broadcasts while it is free and finds a
// headbox: where it is connected, the headbox serial, how many headboxes and
// which TCP port takes the PC. The defaults are the terminal's own values
// before its first headbox report.
class DiscoveryMessage
{
public:
    QString connectedTo = QStringLiteral("cable");
    QString name;
    int numDevices = 0;
    int remoteTerminalPort = QuarnelProtocol::DataPort;

    // The terminal's text: indented, members in key order, one per line.
    QByteArray encode() const;
    static bool parse(const QByteArray &datagram, DiscoveryMessage *out, QString *error);
    QString toText() const;
};

#endif
