#ifndef INTERRUPTWATCHER_H
#define INTERRUPTWATCHER_H

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal, so a recording can end cleanly
// (sync off, orderly disconnect) when the user presses Ctrl-C.
class InterruptWatcher : public QObject
{
    Q_OBJECT
public:
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;

signals:
    void interrupted();

private slots:
    void readSignal();

private:
    static void handler(int);
    static int fds[2];
    QSocketNotifier *_notifier = nullptr;
};

#endif
