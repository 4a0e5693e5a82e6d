#ifndef UNIXSIGNALWATCHER_H
#define UNIXSIGNALWATCHER_H

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a quit of the event loop, so that the service
// manager's stop runs the normal shutdown (threads joined, marker removed).
// A signal handler may only write to a file descriptor; the notifier picks the
// byte up in the GUI thread.
class UnixSignalWatcher : public QObject
{
    Q_OBJECT
public:
    explicit UnixSignalWatcher(QObject *parent = nullptr);
    ~UnixSignalWatcher() override;

signals:
    void TerminationRequested(int signalNumber);

private slots:
    void SignalArrived();

private:
    static void Handler(int signalNumber);
    static int _fds[2];
    QSocketNotifier *_notifier;
};

#endif
