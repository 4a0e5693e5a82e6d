#ifndef QUARNELPC_QUARNELPC_H
#define QUARNELPC_QUARNELPC_H

// The PC side of the quarnel terminal's protocol (docs/protocol.md):
// Discovery finds terminals, Terminal connects to one, sends it Commands,
// waits for their "ok" and delivers the headboxes' stream.
//
// Threads: Discovery and Terminal are QObjects of the thread that creates
// them (or that they are moved to). That thread runs a Qt event loop; every
// call on them is made there, and their signals are emitted there. Nothing
// in them blocks: results arrive as signals. Command, Announcement and
// ConnectionStatus are values that any thread may copy. A program without
// a Qt event loop, or in another language, uses the C interface
// (quarnelpc_c.h), which runs these classes on threads of its own.

#include <QString>

#include "announcement.h"
#include "command.h"
#include "connectionstatus.h"
#include "discovery.h"
#include "error.h"
#include "quarnelpc_global.h"
#include "terminal.h"
#include "version.h"

namespace QuarnelPc {

// The protocol's software version, "1.9.2022.5" style.
QUARNELPC_EXPORT QString version();

// Text from the network made safe to print: every control or formatting
// character (escape sequences, bidirectional overrides, line separators)
// written as \uXXXX, as JSON writes it; the rest as it is.
QUARNELPC_EXPORT QString printable(const QString &text);

} // namespace QuarnelPc

#endif
