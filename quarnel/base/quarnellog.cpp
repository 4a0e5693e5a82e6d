#include "quarnellog.h"

QuarnelLog::QuarnelLog(QObject *parent)
    : QObject(parent)
{
}

void QuarnelLog::AddLogItem(QString item)
{
    emit AddLogItemSignal(item);
}
