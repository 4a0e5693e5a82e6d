#ifndef STREAMMODEL_H
#define STREAMMODEL_H

// What the relay's tests, benchmark and fuzz target build PC streams from:
// frames (also wrong on purpose) and an independent model of how a PC stream
// splits into headbox data and frames, worked out in one pass over a plain
// array, to check the relay against.

#include <QByteArray>
#include <QVector>
#include <QtEndian>

#include "terminalframe.h"

namespace relaytest {

inline QByteArray le16(qint16 v)
{
    char b[2];
    qToLittleEndian<qint16>(v, b);
    return QByteArray(b, 2);
}

inline QByteArray le32(qint32 v)
{
    char b[4];
    qToLittleEndian<qint32>(v, b);
    return QByteArray(b, 4);
}

// A frame of the protocol; lenParam other than the parameters' size, or a
// spoilt checksum, on request.
inline QByteArray frame(qint16 code, const QByteArray &params = QByteArray(), qint64 lenParam = -1,
                        bool spoilChecksum = false)
{
    QByteArray f = TerminalFrame::raw(code, params);
    if (lenParam < 0 && !spoilChecksum)
        return f;
    if (lenParam >= 0)
        f.replace(TerminalFrame::LenParamOffset, 4, le32(qint32(lenParam)));
    const int body = f.size() - 2;
    const quint16 sum = quint16(TerminalFrame::checksum(f.constData(), body) + (spoilChecksum ? 1 : 0));
    return f.left(body) + le16(qint16(sum));
}

struct StreamModel
{
    QByteArray data;
    QVector<QByteArray> frames;
    QVector<int> dataBeforeFrame;
    QByteArray waiting;
};

inline StreamModel model(const QByteArray &stream)
{
    static const QByteArray key("TALV");
    StreamModel m;
    int i = 0;
    const int n = stream.size();
    while (i < n) {
        const int rest = n - i;
        if (rest < 4 && key.startsWith(stream.mid(i))) {
            m.waiting = stream.mid(i);
            break;
        }
        if (stream.mid(i, 4) != key) {
            m.data.append(stream.at(i));
            ++i;
            continue;
        }
        if (rest < 12) {
            m.waiting = stream.mid(i);
            break;
        }
        qint32 lenParam = 0;
        for (int k = 3; k >= 0; --k)
            lenParam = qint32((quint32(lenParam) << 8) | static_cast<unsigned char>(stream.at(i + 4 + k)));
        if (lenParam < 0 || lenParam > 65524) {
            i += 4;
            continue;
        }
        if (rest < lenParam + 12) {
            m.waiting = stream.mid(i);
            break;
        }
        m.dataBeforeFrame.append(m.data.size());
        m.frames.append(stream.mid(i, lenParam + 12));
        i += lenParam + 12;
    }
    return m;
}

// Whether the relay executes and answers a frame: a good checksum and as
// many parameter bytes as its command reads.
inline bool answered(const QByteArray &f)
{
    const int body = f.size() - 2;
    const quint16 given = qFromLittleEndian<quint16>(f.constData() + body);
    return given == TerminalFrame::checksum(f.constData(), body)
        && body - TerminalFrame::HeaderSize >= TerminalFrame::paramSize(TerminalFrame::codeOf(f.constData()));
}

} // namespace relaytest

#endif
