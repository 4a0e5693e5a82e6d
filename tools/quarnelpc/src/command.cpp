#include "quarnelpc/command.h"

#include <QSharedData>
#include <QtEndian>

#include <algorithm>

#include "terminalframe.h"

namespace QuarnelPc {

class CommandData : public QSharedData
{
public:
    QByteArray frame;
    QString text;
};

Command::Command() : d(new CommandData) {}
Command::Command(const Command &other) = default;
Command &Command::operator=(const Command &other) = default;
Command::~Command() = default;

Command::Command(const QByteArray &frame, const QString &text) : d(new CommandData)
{
    d->frame = frame;
    d->text = text;
}

Command Command::clock(qint16 value)
{
    return Command(TerminalFrame::clock(value), QStringLiteral("clock %1").arg(value));
}

Command Command::triggerOut(qint32 rateCents)
{
    return Command(TerminalFrame::triggerOut(rateCents),
                   rateCents == 0 ? QStringLiteral("trigger off") : QStringLiteral("trigger %1").arg(rateCents));
}

Command Command::multiHeadLayout(quint16 headboxes, quint16 dataLength, quint16 totalChannels,
                                 quint16 samplesPerPacket, const std::array<quint16, 4> &channels)
{
    return Command(TerminalFrame::multiHeadLayout(headboxes, dataLength, totalChannels, samplesPerPacket,
                                                  channels.data()),
                   QStringLiteral("layout %1 %2 %3 %4 %5 %6 %7 %8")
                       .arg(headboxes).arg(dataLength).arg(totalChannels).arg(samplesPerPacket)
                       .arg(channels[0]).arg(channels[1]).arg(channels[2]).arg(channels[3]));
}

Command Command::headboxRead(qint16 channel)
{
    return Command(TerminalFrame::headboxRead(channel), QStringLiteral("read %1").arg(channel));
}

Command Command::headboxWrite(qint16 channel)
{
    return Command(TerminalFrame::headboxWrite(channel), QStringLiteral("write %1").arg(channel));
}

Command Command::headboxReadWrite(qint16 channel)
{
    return Command(TerminalFrame::headboxReadWrite(channel), QStringLiteral("readwrite %1").arg(channel));
}

Command Command::sync(qint16 on)
{
    const QString text = on == 0 ? QStringLiteral("sync off")
                       : on == 1 ? QStringLiteral("sync on")
                                 : QStringLiteral("sync %1").arg(on);
    return Command(TerminalFrame::sync(on), text);
}

Command Command::delay(qint32 ms)
{
    return Command(TerminalFrame::delay(ms), QStringLiteral("delay %1").arg(ms));
}

Command Command::clearReceivePath()
{
    return Command(TerminalFrame::clearReceivePath(), QStringLiteral("clear"));
}

Command Command::raw(qint16 code, const QByteArray &parameters)
{
    QString text = QStringLiteral("raw %1").arg(code);
    if (!parameters.isEmpty())
        text += QLatin1Char(' ') + QString::fromLatin1(parameters.toHex());
    return Command(TerminalFrame::raw(code, parameters), text);
}

int Command::maxParameterSize()
{
    return TerminalFrame::MaxParamSize;
}

bool Command::isValid() const
{
    return !d->frame.isEmpty();
}

qint16 Command::code() const
{
    return isValid() ? TerminalFrame::codeOf(d->frame.constData()) : qint16(0);
}

QByteArray Command::frame() const
{
    return d->frame;
}

QString Command::text() const
{
    return d->text;
}

void Command::setText(const QString &text)
{
    d->text = text;
}

int Command::pauseMs() const
{
    TerminalFrame::Parsed p;
    if (!TerminalFrame::parse(d->frame, &p) || p.code != TerminalFrame::Delay
        || p.params.size() < TerminalFrame::paramSize(TerminalFrame::Delay))
        return 0;
    // As the terminal reads it: signed, and bounded.
    const qint32 ms = qFromLittleEndian<qint32>(p.params.constData());
    return std::clamp<qint32>(ms, 0, TerminalFrame::MaxDelayMs);
}

bool Command::operator==(const Command &other) const
{
    return d->frame == other.d->frame && d->text == other.d->text;
}

} // namespace QuarnelPc
