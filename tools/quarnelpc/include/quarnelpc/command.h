#ifndef QUARNELPC_COMMAND_H
#define QUARNELPC_COMMAND_H

#include <QByteArray>
#include <QMetaType>
#include <QSharedDataPointer>
#include <QString>

#include <array>

#include "quarnelpc_global.h"

namespace QuarnelPc {

class CommandData;

// One command frame for the terminal itself (key "TALV", length, code,
// parameters, checksum), built by the factories below; see
// docs/protocol.md for what each command does. A default-constructed or
// over-long command is invalid.
class QUARNELPC_EXPORT Command
{
public:
    Command();
    Command(const Command &other);
    Command &operator=(const Command &other);
    ~Command();

    // Code 1: the link's sampling clock code (8, 12, 16 or 24; others mean code 0).
    static Command clock(qint16 value);
    // Code 2: the trigger output at rateCents / 100 Hz; 0 switches it off.
    static Command triggerOut(qint32 rateCents);
    // Code 3: the multi-headbox layout; all zero switches it off.
    static Command multiHeadLayout(quint16 headboxes, quint16 dataLength, quint16 totalChannels,
                                   quint16 samplesPerPacket, const std::array<quint16, 4> &channels);
    // Codes 4, 5 and 6: the channel read from, written to, or both
    // (0: the shared channel; 1 to 4: the headboxes).
    static Command headboxRead(qint16 channel);
    static Command headboxWrite(qint16 channel);
    static Command headboxReadWrite(qint16 channel);
    // Code 7: non-zero switches sync on (the headboxes stream), 0 off.
    static Command sync(qint16 on);
    // Code 8: the terminal pauses ms milliseconds (it bounds them to a minute).
    static Command delay(qint32 ms);
    // Code 9: drops the headbox bytes the terminal holds for the PC.
    static Command clearReceivePath();
    // Any code with any parameter bytes; invalid beyond maxParameterSize().
    static Command raw(qint16 code, const QByteArray &parameters);

    static int maxParameterSize();

    bool isValid() const;
    qint16 code() const;
    // The bytes that go on the data port.
    QByteArray frame() const;
    // A short description for messages ("clock 8", "sync on"); may be replaced.
    QString text() const;
    void setText(const QString &text);
    // How long the terminal pauses before it answers this command (command
    // 8's pause as the terminal bounds it; 0 for the others).
    int pauseMs() const;

    bool operator==(const Command &other) const;
    bool operator!=(const Command &other) const { return !(*this == other); }

private:
    Command(const QByteArray &frame, const QString &text);
    QSharedDataPointer<CommandData> d;
};

} // namespace QuarnelPc

Q_DECLARE_METATYPE(QuarnelPc::Command)

#endif
