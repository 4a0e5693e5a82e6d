#include "blockingdiscovery.h"

#include <QObject>

#include <chrono>
#include <cstring>

#include "quarnelpc/discovery.h"

namespace QuarnelPc {

namespace {

template <size_t N>
void copyText(char (&to)[N], const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    const size_t n = std::min(size_t(utf8.size()), N - 1);
    std::memcpy(to, utf8.constData(), n);
    to[n] = '\0';
}

} // namespace

BlockingDiscovery::BlockingDiscovery()
{
    net.call([this] {
        discovery = new Discovery;
        QObject::connect(discovery, &Discovery::announced, discovery,
                         [this](const Announcement &a) { announced(a); });
    });
}

BlockingDiscovery::~BlockingDiscovery()
{
    net.call([this] {
        delete discovery;
        discovery = nullptr;
    });
}

int BlockingDiscovery::listen(QString *message)
{
    bool listening = false;
    net.call([&] {
        listening = discovery->listen();
        *message = discovery->errorString();
    });
    return listening ? QUARNELPC_OK : QUARNELPC_E_FAILURE;
}

int BlockingDiscovery::next(quarnelpc_announcement *out, int timeoutMs, QString *message)
{
    std::unique_lock<std::mutex> l(lock);
    if (!changed.wait_for(l, std::chrono::milliseconds(timeoutMs), [this] { return !heard.isEmpty(); })) {
        *message = QStringLiteral("no terminal heard within %1 ms").arg(timeoutMs);
        return QUARNELPC_E_TIMED_OUT;
    }
    *out = heard.dequeue();
    return QUARNELPC_OK;
}

void BlockingDiscovery::announced(const Announcement &a)
{
    quarnelpc_announcement c{};
    copyText(c.terminal, a.terminal().toString());
    copyText(c.headbox_serial, a.headboxSerial());
    c.headbox_count = a.headboxCount();
    c.data_port = a.dataPort();
    copyText(c.connected_to, a.connectedTo());
    std::lock_guard<std::mutex> l(lock);
    if (size_t(heard.size()) == QueueLimit)
        heard.dequeue();
    heard.enqueue(c);
    changed.notify_all();
}

} // namespace QuarnelPc
