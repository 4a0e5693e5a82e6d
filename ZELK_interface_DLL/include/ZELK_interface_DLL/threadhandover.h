#ifndef THREADHANDOVER_H
#define THREADHANDOVER_H

// Public: a QThread of the library's user that is deleted after wait() (the
// program's presence checker) states its end as the library's reader does,
// so that the ThreadSanitizer build checks its shutdown too. Macros only:
// the library exports nothing for them.
//
// A QThread's end reaches the thread that waits for it inside Qt, which
// Debian does not build for ThreadSanitizer: the sanitizer cannot see that
// hand-over and takes the deletes after QThread::wait() for races with the
// thread's last steps. A thread states it with THREAD_HANDOVER_ENDED(this) as
// the last step of run(); its destructor, which the owner calls only after
// wait(), with THREAD_HANDOVER_JOINED(this) before anything is freed.
// Outside the ThreadSanitizer build both are empty.

#if defined(__SANITIZE_THREAD__)
#define THREAD_HANDOVER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define THREAD_HANDOVER_TSAN 1
#endif
#endif

#ifdef THREAD_HANDOVER_TSAN
#include <sanitizer/tsan_interface.h>
#define THREAD_HANDOVER_ENDED(thread) __tsan_release(static_cast<void *>(thread))
#define THREAD_HANDOVER_JOINED(thread) __tsan_acquire(static_cast<void *>(thread))
#else
#define THREAD_HANDOVER_ENDED(thread) static_cast<void>(thread)
#define THREAD_HANDOVER_JOINED(thread) static_cast<void>(thread)
#endif

#endif
