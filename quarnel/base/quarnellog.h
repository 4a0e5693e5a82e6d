#ifndef QUARNELLOG_H
#define QUARNELLOG_H

#include <QObject>
#include <QString>

// Carries event texts from any thread to the GUI thread. The object lives in
// the GUI thread; an automatic connection queues the signal when AddLogItem is
// called from a worker, so receivers always run in the GUI thread.
class QuarnelLog : public QObject
{
    Q_OBJECT
public:
    explicit QuarnelLog(QObject *parent = nullptr);

    void AddLogItem(QString item);

signals:
    void AddLogItemSignal(QString item);
};

#endif
