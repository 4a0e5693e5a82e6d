#ifndef SYSTEM_H
#define SYSTEM_H

#include <QHostAddress>
#include <QString>

// Applies a static IPv4 address to "eth0" through ifupdown and remembers
// that the user has set one.
class System
{
public:
    // True until the first address change, across restarts of the program.
    bool IsFirstTime();

    // Blocks while the interface is taken down, reconfigured and brought up
    // (up to twice the shell time limit). False when the interfaces file
    // could not be written: it stays as it was, eth0 comes back with its old
    // address, the first-time flag is left unset and failure (when given)
    // receives the debug line that says why.
    bool ChangeIp(QHostAddress ip, QString *failure = nullptr);

    // At start-up, before anything uses the network: when a change was cut
    // short (the program killed between ifdown and the return of ifup),
    // restarts eth0 from the interfaces file as it stands. True when it did.
    bool ResumeInterruptedChange();

private:
    // Replaces /etc/network/interfaces by text so that a power cut leaves the
    // old or the new file; false when the old file stays, with the reason.
    bool SaveInterfaces(const QByteArray &text, QString *reason);
    void RunShell(const QByteArray &command);
};

#endif
