#include "interruptwatcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

int InterruptWatcher::fds[2] = { -1, -1 };

InterruptWatcher::InterruptWatcher(QObject *parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    _notifier = new QSocketNotifier(fds[1], QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &InterruptWatcher::readSignal);

    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    // A second Ctrl-C while the recording winds down ends the program at once.
    sa.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

InterruptWatcher::~InterruptWatcher()
{
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    delete _notifier;
    for (int &fd : fds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void InterruptWatcher::handler(int)
{
    const char c = 1;
    // Async-signal-safe; a full pipe already carries a pending wake-up.
    ssize_t r = ::write(fds[0], &c, 1);
    (void)r;
}

void InterruptWatcher::readSignal()
{
    char buf[16];
    while (::read(fds[1], buf, sizeof buf) > 0) {
    }
    emit interrupted();
}
