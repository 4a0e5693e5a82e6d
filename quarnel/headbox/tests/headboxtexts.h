#ifndef HEADBOXTEXTS_H
#define HEADBOXTEXTS_H

// What the headbox tests compare: the texts a spy recorded, and a serial as
// a headbox sends it.

#include <QByteArray>
#include <QSignalSpy>
#include <QStringList>

#include <utility>

// The first argument of every recorded signal (the log texts), in order.
inline QStringList logTexts(const QSignalSpy &spy)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        out.append(args.at(0).toString());
    return out;
}

// A headbox sends its serial as 16-bit units with the two bytes swapped.
inline QByteArray onTheWire(QByteArray serial)
{
    serial = serial.leftJustified(16, '\0', true);
    char *bytes = serial.data();
    for (int i = 0; i + 1 < serial.size(); i += 2)
        std::swap(bytes[i], bytes[i + 1]);
    return serial;
}

#endif
