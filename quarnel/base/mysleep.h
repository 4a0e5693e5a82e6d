#ifndef MYSLEEP_H
#define MYSLEEP_H

#include <QThread>

// Never started: objects that are not threads hold one only to reach
// QThread's sleep functions.
class MySleep : public QThread
{
public:
    using QThread::msleep;
    using QThread::usleep;

protected:
    void run() override {}
};

#endif
