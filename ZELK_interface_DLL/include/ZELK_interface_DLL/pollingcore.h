#ifndef POLLINGCORE_H
#define POLLINGCORE_H

#include <sched.h>

// Public: the core the library's reader polls on, for a thread of its user
// that polls the library beside it (the program's relay thread). Such a
// thread calls PollingCore::join() once at the start of its run(); it must be
// started from the thread that opened the library, or from one with the same
// allowed cores, so that both choose the same core.
//
// The library's reader and the program's relay thread poll without sleeping.
// Both keep to one core, the highest the process was given, and yield it on
// every pass that leaves nothing waiting for them: they take turns within
// microseconds, and the other core of the panel stays free for the GUI thread
// (which writes to the PC's socket), the network stack and the display.
// Spread over both cores, the pollers left the GUI thread and the network
// stack a core only where one of them yielded or was preempted. With a
// single core nothing is pinned: the yields alone hand the core on.
namespace PollingCore {

// The pollers' core: the highest in the calling thread's allowed set, or -1
// when the set has a single core or cannot be read. Threads started by the
// same thread inherit the same set and so agree on the core.
inline int choose()
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || CPU_COUNT(&allowed) < 2)
        return -1;
    for (int cpu = CPU_SETSIZE - 1; cpu >= 0; --cpu) {
        if (CPU_ISSET(cpu, &allowed))
            return cpu;
    }
    return -1;
}

// Pins the calling thread to the pollers' core; false when it stays free.
inline bool join()
{
    const int cpu = choose();
    if (cpu < 0)
        return false;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return sched_setaffinity(0, sizeof one, &one) == 0;
}

} // namespace PollingCore

#endif
