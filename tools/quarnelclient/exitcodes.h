#ifndef EXITCODES_H
#define EXITCODES_H

#include <quarnelpc/error.h>

// Exit status of quarnelclient: the library's failure kinds, and the
// client's own.
namespace ExitCode {
enum : int {
    Ok = int(QuarnelPc::Error::NoError),
    Failure = int(QuarnelPc::Error::Failure),               // a file that cannot be written, a port in use
    Usage = 2,                                              // bad command line
    Unreachable = int(QuarnelPc::Error::Unreachable),       // host not found, no route, network unreachable
    Refused = int(QuarnelPc::Error::Refused),               // nothing listens on the port
    Busy = int(QuarnelPc::Error::Busy),                     // the terminal closed the connection at once: another PC has it
    TimedOut = int(QuarnelPc::Error::TimedOut),             // no connection, no "ok" or no data in time; discover heard nothing
    ConnectionLost = int(QuarnelPc::Error::ConnectionLost), // the terminal closed the connection while working
    CheckFailed = 8,                                        // the recorded stream has lost or corrupted bytes
    ProtocolError = int(QuarnelPc::Error::ProtocolError),   // the terminal broke the protocol: an "ok" for no command
    NoData = 10                                             // record ended without a byte of the stream
};
}

#endif
