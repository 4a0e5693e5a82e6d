#ifndef QUARNELPC_ANNOUNCEMENT_H
#define QUARNELPC_ANNOUNCEMENT_H

#include <QByteArray>
#include <QHostAddress>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>

#include "quarnelpc_global.h"

namespace QuarnelPc {

class AnnouncementData;

// One discovery message: a terminal that is free and has found its
// headboxes says where it is.
class QUARNELPC_EXPORT Announcement
{
public:
    Announcement();
    Announcement(const Announcement &other);
    Announcement &operator=(const Announcement &other);
    ~Announcement();

    // Decodes a datagram heard on the discovery port; an invalid
    // announcement, with *error set, when it is not one.
    static Announcement fromDatagram(const QByteArray &datagram, const QHostAddress &sender,
                                     quint16 senderPort, QString *error = nullptr);

    bool isValid() const;
    // The terminal: the datagram's sender.
    QHostAddress terminal() const;
    quint16 senderPort() const;
    // Serial text of the first headbox found ("name").
    QString headboxSerial() const;
    // Headboxes found ("num_devices").
    int headboxCount() const;
    // The data port to connect to ("remote_terminal_port").
    quint16 dataPort() const;
    QString connectedTo() const;
    QByteArray datagram() const;
    // One line: serial, headbox count, port and connection; the texts from
    // the network escaped (printable()).
    QString toText() const;

private:
    QSharedDataPointer<AnnouncementData> d;
};

} // namespace QuarnelPc

Q_DECLARE_METATYPE(QuarnelPc::Announcement)

#endif
