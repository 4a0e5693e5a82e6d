#include "networkthread.h"

#include "networkmailbox.h"

namespace QuarnelPc {

NetworkThread::NetworkThread() : mailbox(new NetworkMailbox)
{
    setObjectName(QStringLiteral("quarnelpc"));
    mailbox->moveToThread(this);
    start();
}

NetworkThread::~NetworkThread()
{
    quit();
    wait();
    // The thread has ended: nothing runs on the mailbox any more.
    delete mailbox;
}

void NetworkThread::call(const std::function<void()> &work)
{
    if (isCurrent()) {
        work();
        return;
    }
    mailbox->call(work);
}

void NetworkThread::post(const std::function<void()> &work)
{
    mailbox->post(work);
}

bool NetworkThread::isCurrent() const
{
    return QThread::currentThread() == this;
}

} // namespace QuarnelPc
