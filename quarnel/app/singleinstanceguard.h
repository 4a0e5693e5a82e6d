#ifndef SINGLEINSTANCEGUARD_H
#define SINGLEINSTANCEGUARD_H

#include <QSharedMemory>
#include <QSystemSemaphore>

// Keeps a second quarnel from running on the same machine. The members are
// declared so that destruction runs marker handle, clean-up handle, semaphore:
// destroying the marker handle detaches it and so removes the segment.
class SingleInstanceGuard
{
public:
    SingleInstanceGuard();

    // True when this process is now the running instance.
    bool Acquire();

private:
    QSystemSemaphore _semaphore;
    QSharedMemory _cleanup;
    QSharedMemory _marker;
};

#endif
