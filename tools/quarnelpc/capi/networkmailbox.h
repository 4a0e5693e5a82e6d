#ifndef QUARNELPC_NETWORKMAILBOX_H
#define QUARNELPC_NETWORKMAILBOX_H

#include <QObject>
#include <QQueue>

#include <condition_variable>
#include <functional>
#include <mutex>

namespace QuarnelPc {

// Work for a NetworkThread, handed over under a mutex of its own: a queued
// call would hand its captures over inside Qt, which Debian does not build
// for ThreadSanitizer, so the sanitizer could not tell it from a race. A
// bare event only wakes the thread.
class NetworkMailbox : public QObject
{
public:
    // Queues work and returns.
    void post(const std::function<void()> &work);
    // Queues work and returns once it has run.
    void call(const std::function<void()> &work);

protected:
    bool event(QEvent *event) override;

private:
    struct Letter
    {
        std::function<void()> work;
        bool *done;   // set under lock once run; null for post()
    };

    void deliver(const Letter &letter);

    std::mutex lock;
    std::condition_variable ran;
    QQueue<Letter> letters;
};

} // namespace QuarnelPc

#endif
