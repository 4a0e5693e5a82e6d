#ifndef SYSTEM_H
#define SYSTEM_H

#include <QHostAddress>

// Applies a static IPv4 address to "eth0" through ifupdown and remembers
// that the user has set one.
class System
{
public:
    // True until the first address change, across restarts of the program.
    bool IsFirstTime();

    // Blocks while the interface is taken down, reconfigured and brought up
    // (up to twice the shell time limit). An interfaces file that cannot be
    // written stays as it was; the reason goes to the debug stream and the
    // first-time flag is left unset.
    void ChangeIp(QHostAddress ip);

private:
    // Replaces /etc/network/interfaces by text so that a power cut leaves the
    // old or the new file; false when the old file stays.
    bool SaveInterfaces(const QByteArray &text);
    void RunShell(const QByteArray &command);
};

#endif
