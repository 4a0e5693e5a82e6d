#include "networkthread.h"

#include <QObject>

namespace QuarnelPc {

NetworkThread::NetworkThread() : context(new QObject)
{
    setObjectName(QStringLiteral("quarnelpc"));
    context->moveToThread(this);
    start();
}

NetworkThread::~NetworkThread()
{
    quit();
    wait();
    // The thread has ended: nothing runs on the context any more.
    delete context;
}

void NetworkThread::call(const std::function<void()> &work)
{
    if (isCurrent()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(context, work, Qt::BlockingQueuedConnection);
}

void NetworkThread::post(const std::function<void()> &work)
{
    QMetaObject::invokeMethod(context, work, Qt::QueuedConnection);
}

bool NetworkThread::isCurrent() const
{
    return QThread::currentThread() == this;
}

} // namespace QuarnelPc
