#ifndef QUARNELPC_QUARNELPC_H
#define QUARNELPC_QUARNELPC_H

// The PC side of the quarnel terminal's protocol (docs/protocol.md):
// Discovery finds terminals, Terminal connects to one, sends it Commands,
// waits for their "ok" and delivers the headboxes' stream.

#include <QString>

#include "announcement.h"
#include "command.h"
#include "connectionstatus.h"
#include "discovery.h"
#include "error.h"
#include "quarnelpc_global.h"
#include "terminal.h"

namespace QuarnelPc {

// The protocol's software version, "1.9.2022.5" style.
QUARNELPC_EXPORT QString version();

} // namespace QuarnelPc

#endif
