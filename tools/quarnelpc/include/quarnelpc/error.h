#ifndef QUARNELPC_ERROR_H
#define QUARNELPC_ERROR_H

#include <QMetaType>

namespace QuarnelPc {

// Why a connection to a terminal failed. The values are quarnelclient's
// exit codes for the same failures.
enum class Error : int {
    NoError = 0,
    Failure = 1,        // anything else: a port in use, an unexpected socket error
    Unreachable = 3,    // host not found, no route, network unreachable
    Refused = 4,        // nothing listens on the port (the terminal is not running yet)
    Busy = 5,           // the terminal closed the connection at once: another PC has it
    TimedOut = 6,       // no connection within the connect time-out
    ConnectionLost = 7, // the terminal closed the connection, or the network failed, while working
    ProtocolError = 9   // the terminal broke the protocol: an "ok" with no command waiting for it
};

} // namespace QuarnelPc

Q_DECLARE_METATYPE(QuarnelPc::Error)

#endif
