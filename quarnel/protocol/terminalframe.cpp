#include "terminalframe.h"

#include <QtEndian>

#include <cstring>

namespace {

QByteArray int16Param(qint16 v)
{
    QByteArray p(2, '\0');
    qToLittleEndian<qint16>(v, p.data());
    return p;
}

QByteArray int32Param(qint32 v)
{
    QByteArray p(4, '\0');
    qToLittleEndian<qint32>(v, p.data());
    return p;
}

} // namespace

quint16 TerminalFrame::checksum(const char *data, int len)
{
    quint32 sum = 0;
    for (int i = 0; i < len; ++i)
        sum += static_cast<unsigned char>(data[i]);
    return static_cast<quint16>(sum & 0xFFFF);
}

int TerminalFrame::paramSize(qint16 code)
{
    switch (code) {
    case Clock: case HeadboxRead: case HeadboxWrite: case HeadboxReadWrite: case Sync:
        return 2;
    case TriggerOut: case Delay:
        return 4;
    case MultiHeadLayout:
        return 16;
    default:
        return 0;
    }
}

qint32 TerminalFrame::lenParamOf(const char *frame)
{
    return qFromLittleEndian<qint32>(frame + LenParamOffset);
}

qint16 TerminalFrame::codeOf(const char *frame)
{
    return qFromLittleEndian<qint16>(frame + CodeOffset);
}

QByteArray TerminalFrame::raw(qint16 code, const QByteArray &params)
{
    if (params.size() > MaxParamSize)
        return QByteArray();
    QByteArray f(HeaderSize + params.size() + 2, '\0');
    char *d = f.data();
    memcpy(d, key().constData(), KeySize);
    qToLittleEndian<qint32>(params.size(), d + LenParamOffset);
    qToLittleEndian<qint16>(code, d + CodeOffset);
    if (!params.isEmpty())
        memcpy(d + HeaderSize, params.constData(), size_t(params.size()));
    const int body = HeaderSize + params.size();
    qToLittleEndian<quint16>(checksum(d, body), d + body);
    return f;
}

QByteArray TerminalFrame::clock(qint16 freq) { return raw(Clock, int16Param(freq)); }
QByteArray TerminalFrame::triggerOut(qint32 rateCents) { return raw(TriggerOut, int32Param(rateCents)); }
QByteArray TerminalFrame::headboxRead(qint16 headbox) { return raw(HeadboxRead, int16Param(headbox)); }
QByteArray TerminalFrame::headboxWrite(qint16 headbox) { return raw(HeadboxWrite, int16Param(headbox)); }
QByteArray TerminalFrame::headboxReadWrite(qint16 headbox) { return raw(HeadboxReadWrite, int16Param(headbox)); }
QByteArray TerminalFrame::sync(qint16 onOff) { return raw(Sync, int16Param(onOff)); }
QByteArray TerminalFrame::delay(qint32 ms) { return raw(Delay, int32Param(ms)); }
QByteArray TerminalFrame::clearReceivePath() { return raw(ClearReceivePath, QByteArray()); }

QByteArray TerminalFrame::multiHeadLayout(quint16 numOrv, quint16 dataLen, quint16 totChannels,
                                          quint16 campXpacket, const quint16 channels[4])
{
    const quint16 values[8] = { numOrv, dataLen, totChannels, campXpacket,
                                channels[0], channels[1], channels[2], channels[3] };
    QByteArray p(16, '\0');
    for (int i = 0; i < 8; ++i)
        qToLittleEndian<quint16>(values[i], p.data() + 2 * i);
    return raw(MultiHeadLayout, p);
}

bool TerminalFrame::parse(const QByteArray &data, Parsed *out)
{
    if (data.size() < OverheadSize || !data.startsWith(key()))
        return false;
    const char *d = data.constData();
    const qint32 lenParam = lenParamOf(d);
    if (lenParam < 0 || lenParam > MaxParamSize || data.size() < lenParam + OverheadSize)
        return false;
    out->lenParam = lenParam;
    out->code = codeOf(d);
    out->params = data.mid(HeaderSize, lenParam);
    const int body = HeaderSize + lenParam;
    // Low byte first, exactly as the interpreter rebuilds it.
    out->storedChecksum = quint16(quint8(d[body]) + 256 * quint8(d[body + 1]));
    out->computedChecksum = checksum(d, body);
    return true;
}
