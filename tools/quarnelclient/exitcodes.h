#ifndef EXITCODES_H
#define EXITCODES_H

// Exit status of quarnelclient; also the failure kinds of its network units.
namespace ExitCode {
enum : int {
    Ok = 0,
    Failure = 1,        // anything else: a file that cannot be written, a port in use
    Usage = 2,          // bad command line
    Unreachable = 3,    // host not found, no route, network unreachable
    Refused = 4,        // nothing listens on the port
    Busy = 5,           // the terminal closed the connection at once: another PC has it
    TimedOut = 6,       // no connection, no "ok" or no data in time; discover heard nothing
    ConnectionLost = 7, // the terminal closed the connection while working
    CheckFailed = 8     // the recorded stream has lost or corrupted bytes
};
}

#endif
