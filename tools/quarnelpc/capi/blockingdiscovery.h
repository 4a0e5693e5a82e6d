#ifndef QUARNELPC_BLOCKINGDISCOVERY_H
#define QUARNELPC_BLOCKINGDISCOVERY_H

#include <QQueue>
#include <QString>

#include <condition_variable>
#include <mutex>

#include "networkthread.h"
#include "quarnelpc/quarnelpc_c.h"

namespace QuarnelPc {

class Announcement;
class Discovery;

// Discovery for the C interface: a Discovery on a network thread of its own,
// whose announcements wait in a short queue until taken.
class BlockingDiscovery
{
public:
    // Terminals repeat their announcements: the oldest go when nobody takes them.
    static constexpr size_t QueueLimit = 64;

    BlockingDiscovery();
    ~BlockingDiscovery();

    int listen(QString *message);
    int next(quarnelpc_announcement *out, int timeoutMs, QString *message);

private:
    void announced(const Announcement &announcement);

    NetworkThread net;
    Discovery *discovery = nullptr;   // lives on net

    std::mutex lock;
    std::condition_variable changed;
    QQueue<quarnelpc_announcement> heard;
};

} // namespace QuarnelPc

#endif
