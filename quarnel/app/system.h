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
    // (up to twice the shell time limit). Failures are not reported.
    void ChangeIp(QHostAddress ip);

private:
    void RunShell(const QByteArray &command);
};

#endif
