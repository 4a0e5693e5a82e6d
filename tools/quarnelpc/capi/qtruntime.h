#ifndef QUARNELPC_QTRUNTIME_H
#define QUARNELPC_QTRUNTIME_H

namespace QuarnelPc {

// Qt delivers events (socket activity, timers, queued calls) only in a
// process that has a QCoreApplication. A Qt program has its own; for any
// other caller of the C interface the library makes one, once, on a thread
// of its own that keeps it until the process ends, so that the caller's
// threads stay free of Qt. The caller's locale is kept (Qt would set the
// environment's).
class QtRuntime
{
public:
    // Before the first QObject of a C handle: the QCoreApplication must come
    // first, or the calling thread would count as Qt's main thread.
    static void ensure();
};

} // namespace QuarnelPc

#endif
