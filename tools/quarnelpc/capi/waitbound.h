#ifndef QUARNELPC_WAITBOUND_H
#define QUARNELPC_WAITBOUND_H

#include <QtGlobal>

#include <chrono>

namespace QuarnelPc {

// How long a caller waits for a result that a timer on the network thread
// delivers after ms: the timer decides; the margin lets it fire on a loaded
// machine and only guards against a thread that no longer runs.
inline std::chrono::milliseconds waitBound(qint64 ms)
{
    constexpr qint64 SafetyMarginMs = 5000;
    return std::chrono::milliseconds(ms + SafetyMarginMs);
}

} // namespace QuarnelPc

#endif
