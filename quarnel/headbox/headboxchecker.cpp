#include "headboxchecker.h"

#include <QDebug>
#include <QTime>
#include <cstring>

#include "orv.h"

namespace {
const unsigned long cyclePauseMs = 300;

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
        msleep(cyclePauseMs);
    }
}

void HeadboxChecker::Terminate()
{
    end = true;
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
    QMutexLocker lock(&sync);
    pause = true;
    while (checking)
        idleCond.wait(&sync);
}
