#include "headboxchecker.h"

#include <QDebug>
#include <QDeadlineTimer>
#include <QTime>
#include <cstring>

#include "orv.h"
#include "threadhandover.h"

namespace {
const unsigned long cyclePauseMs = 300;
// Longer than any check of a working link (channel pause, answer wait and
// four empty channel reads); a link that hangs must not freeze the panel.
const int pauseWaitLimitMs = 3000;

QString now()
{
    return QTime::currentTime().toString("hh:mm:ss");
}
} // namespace

HeadboxChecker::HeadboxChecker(Orv *orv)
    : QThread(nullptr), pause(false), end(false), _orv(orv)
{
    memset(serialNum, 0, sizeof(serialNum));
}

HeadboxChecker::~HeadboxChecker()
{
    THREAD_HANDOVER_JOINED(this);
}

void HeadboxChecker::run()
{
    {
        QMutexLocker lock(&sync);
        pause = false;
    }
    QString password;
    QString serialNumber;
    short numDevices = 0;

    while (!end) {
        sync.lock();
        while (pause)
            pauseCond.wait(&sync);
        checking = true;
        sync.unlock();

        const int r = _orv ? _orv->CheckDevice(&password, &serialNumber, &numDevices) : -1;
        {
            QMutexLocker lock(&sync);
            checking = false;
            idleCond.wakeAll();
        }
        if (r == 0) {
            const QString text = serialNumber.left(serialNumber.indexOf(QChar('\0')));
            emit ConnectionFound(true, text, numDevices);
            qDebug().noquote() << serialNumber;
        } else if (!pause) {
            emit ConnectionFound(false, QString(), 0);
        }

        if (end)
            break;
        Rest(cyclePauseMs);
    }
    THREAD_HANDOVER_ENDED(this);
}

void HeadboxChecker::Rest(unsigned long ms)
{
    msleep(ms);
}

int HeadboxChecker::PauseWaitLimitMs() const
{
    return pauseWaitLimitMs;
}

void HeadboxChecker::Terminate()
{
    end = true;
}

void HeadboxChecker::Stop()
{
    Resume();
    Terminate();
    wait();
}

void HeadboxChecker::Resume()
{
    qDebug().noquote() << now() + " check headbox resume";
    QMutexLocker lock(&sync);
    pause = false;
    pauseCond.wakeAll();
}

void HeadboxChecker::Pause()
{
    qDebug().noquote() << now() + " check headbox pause";
    bool gaveUp = false;
    {
        QMutexLocker lock(&sync);
        pause = true;
        // Called from the loop's own thread (a direct connection), the check
        // under way is the caller's: waiting for it would never end.
        if (QThread::currentThread() == this)
            return;
        QDeadlineTimer deadline(PauseWaitLimitMs());
        while (checking && idleCond.wait(&sync, deadline)) {
        }
        gaveUp = checking;
    }
    if (gaveUp)
        qDebug().noquote() << now() + " check headbox pause: check still under way after "
                                  + QString::number(PauseWaitLimitMs()) + " ms";
}
