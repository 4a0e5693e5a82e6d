#include "unixsignalwatcher.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

int UnixSignalWatcher::_fds[2] = {-1, -1};

UnixSignalWatcher::UnixSignalWatcher(QObject *parent)
    : QObject(parent)
    , _notifier(nullptr)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, _fds) != 0)
        return;
    _notifier = new QSocketNotifier(_fds[1], QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &UnixSignalWatcher::SignalArrived);

    struct sigaction action = {};
    action.sa_handler = &UnixSignalWatcher::Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

UnixSignalWatcher::~UnixSignalWatcher()
{
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    delete _notifier;
    for (int &fd : _fds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void UnixSignalWatcher::Handler(int signalNumber)
{
    const char byte = static_cast<char>(signalNumber);
    const ssize_t ignored = ::write(_fds[0], &byte, 1);
    (void)ignored;
}

void UnixSignalWatcher::SignalArrived()
{
    char byte = 0;
    if (::read(_fds[1], &byte, 1) != 1)
        return;
    emit TerminationRequested(static_cast<unsigned char>(byte));
}
