#include "singleinstanceguard.h"

SingleInstanceGuard::SingleInstanceGuard()
    : _semaphore("semShareMem", 1, QSystemSemaphore::Open)
    , _cleanup("memOneInstance")
    , _marker("memOneInstance")
{
}

bool SingleInstanceGuard::Acquire()
{
    // Serialises the check-and-create below between instances starting at once.
    _semaphore.acquire();

    // A process killed without detaching leaves its segment behind with no
    // attachment; attaching and detaching here removes it, while the segment
    // of a live instance survives because that instance is still attached.
    if (_cleanup.attach(QSharedMemory::ReadWrite))
        _cleanup.detach();

    if (_marker.attach(QSharedMemory::ReadWrite)) {
        _semaphore.release(1);
        return false;
    }

    // Failure to create only loses the marker; the instance runs regardless.
    _marker.create(1, QSharedMemory::ReadWrite);
    _semaphore.release(1);
    return true;
}
