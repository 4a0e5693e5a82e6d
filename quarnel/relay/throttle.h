#ifndef THROTTLE_H
#define THROTTLE_H

#include <QElapsedTimer>

// Diagnostics that a spinning loop could repeat endlessly go out at most
// once per second each. Each instance is used by one thread only.
class Throttle
{
public:
    bool due()
    {
        if (last.isValid() && last.elapsed() < 1000)
            return false;
        last.start();
        return true;
    }

private:
    QElapsedTimer last;
};

#endif
