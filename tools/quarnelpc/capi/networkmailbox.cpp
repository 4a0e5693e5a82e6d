#include "networkmailbox.h"

#include <QCoreApplication>
#include <QEvent>

namespace QuarnelPc {

namespace {
const QEvent::Type Wake = QEvent::Type(QEvent::User + 1);
}

void NetworkMailbox::post(const std::function<void()> &work)
{
    deliver({work, nullptr});
}

void NetworkMailbox::call(const std::function<void()> &work)
{
    bool done = false;
    deliver({work, &done});
    std::unique_lock<std::mutex> l(lock);
    ran.wait(l, [&done] { return done; });
}

void NetworkMailbox::deliver(const Letter &letter)
{
    // Made before the letter goes in, so that the lock orders it too.
    QEvent *wake = new QEvent(Wake);
    {
        std::lock_guard<std::mutex> l(lock);
        letters.enqueue(letter);
    }
    QCoreApplication::postEvent(this, wake);
}

bool NetworkMailbox::event(QEvent *event)
{
    std::unique_lock<std::mutex> l(lock);
    if (event->type() != Wake) {
        l.unlock();
        return QObject::event(event);
    }
    while (!letters.isEmpty()) {
        const Letter letter = letters.dequeue();
        l.unlock();
        letter.work();
        l.lock();
        if (letter.done) {
            *letter.done = true;
            ran.notify_all();
        }
    }
    return true;
}

} // namespace QuarnelPc
