#ifndef QUARNELPC_NETWORKTHREAD_H
#define QUARNELPC_NETWORKTHREAD_H

#include <QThread>

#include <functional>

namespace QuarnelPc {

class NetworkMailbox;

// The thread that runs the Qt objects of one C handle, so that a slow
// callback of one terminal never holds up another. Work reaches it through
// a NetworkMailbox; objects that work creates live on it, and its owner deletes
// them there before the thread ends. Qt delivers no event to any thread
// without a QCoreApplication: QtRuntime::ensure() comes first.
class NetworkThread : public QThread
{
public:
    NetworkThread();
    ~NetworkThread() override;

    // Runs work on this thread and returns once it is done; on this thread
    // itself, runs it at once.
    void call(const std::function<void()> &work);
    // Queues work for this thread and returns.
    void post(const std::function<void()> &work);
    bool isCurrent() const;

private:
    NetworkMailbox *mailbox;
};

} // namespace QuarnelPc

#endif
