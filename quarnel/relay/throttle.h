#ifndef THROTTLE_H
#define THROTTLE_H

#include <QElapsedTimer>

// Something a spinning loop could repeat endlessly happens at most once per
// interval: diagnostics once a second each. Each instance is used by one
// thread only.
class Throttle
{
public:
    explicit Throttle(qint64 intervalNs = 1000000000) : interval(intervalNs) {}

    bool due()
    {
        if (last.isValid() && last.nsecsElapsed() < interval)
            return false;
        last.start();
        return true;
    }

private:
    qint64 interval;
    QElapsedTimer last;
};

#endif
