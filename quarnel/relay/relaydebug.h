#ifndef RELAYDEBUG_H
#define RELAYDEBUG_H

#include <QDebug>
#include <QString>
#include <QTime>

// The relay's lines on the debug stream, most with the time of day ahead.
namespace RelayDebug {

inline void Line(const QString &text)
{
    qDebug().noquote() << text;
}

inline void WithTime(const QString &text)
{
    Line(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")) + QLatin1Char(' ') + text);
}

} // namespace RelayDebug

#endif
