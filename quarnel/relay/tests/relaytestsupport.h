#ifndef RELAYTESTSUPPORT_H
#define RELAYTESTSUPPORT_H

// Helpers shared by the relay's tests and its fuzz target: a terminal command
// frame encoder, an independent model of how the PC stream splits into
// headbox data and frames, and a probe into the relay's queues.

#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <QMutex>
#include <QMutexLocker>
#include <QVector>

#include <atomic>

#include "interfacereader.h"

namespace relaytest {

inline void putLe(QByteArray &out, quint64 value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xFF));
}

inline quint16 checksum(const QByteArray &bytes)
{
    quint16 sum = 0;
    for (char c : bytes)
        sum = quint16(sum + static_cast<unsigned char>(c));
    return sum;
}

// "TALV", lenParam, code, parameters, checksum. lenParam defaults to the
// parameters' size; the checksum can be spoilt on purpose.
inline QByteArray frame(qint16 code, const QByteArray &params = QByteArray(),
                        qint64 lenParam = -1, bool spoilChecksum = false)
{
    QByteArray f("TALV");
    putLe(f, quint64(quint32(qint32(lenParam < 0 ? params.size() : lenParam))), 4);
    putLe(f, quint16(code), 2);
    f.append(params);
    putLe(f, quint16(checksum(f) + (spoilChecksum ? 1 : 0)), 2);
    return f;
}

inline QByteArray le16(qint16 v)
{
    QByteArray b;
    putLe(b, quint16(v), 2);
    return b;
}

inline QByteArray le32(qint32 v)
{
    QByteArray b;
    putLe(b, quint32(v), 4);
    return b;
}

// What a correct relay does with a whole PC stream, worked out in one pass
// over a plain array: headbox data, the frames in order with the number of
// data bytes ahead of each, and what stays waiting at the end.
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

// Whether a frame is one the relay executes and answers: a good checksum
// and as many parameter bytes as its command reads.
inline bool answered(const QByteArray &f)
{
    const int len = f.size();
    const quint16 sum = checksum(f.left(len - 2));
    const quint16 given = quint16(static_cast<unsigned char>(f.at(len - 2))
                                  | (static_cast<unsigned char>(f.at(len - 1)) << 8));
    if (sum != given)
        return false;
    const qint16 code = qint16(static_cast<unsigned char>(f.at(8)) | (static_cast<unsigned char>(f.at(9)) << 8));
    const int lenParam = len - 12;
    int needed = 0;
    if (code == 1 || (code >= 4 && code <= 7))
        needed = 2;
    else if (code == 2 || code == 8)
        needed = 4;
    else if (code == 3)
        needed = 16;
    return lenParam >= needed;
}

} // namespace relaytest

// Reaches into the relay's queues and records command 8's pauses instead of
// sleeping when asked to.
class InterfaceReaderProbe : public InterfaceReader
{
public:
    using InterfaceReader::InterfaceReader;

    std::atomic<bool> recordSleeps{false};

    QVector<unsigned long> sleeps() const
    {
        QMutexLocker lock(&sleepMutex);
        return sleepsTaken;
    }
    long towardsHeadboxQueued() { return bufTcpToOrv1->NumData(); }
    long towardsPcQueued() { return bufOrvToTcp->NumData(); }
    bool queueTowardsPc(QByteArray bytes)
    {
        return bufOrvToTcp->Write(reinterpret_cast<unsigned char *>(bytes.data()), bytes.size()) == 0;
    }
    bool queueTowardsHeadbox(QByteArray bytes)
    {
        return bufTcpToOrv1->Write(bytes.data(), bytes.size()) == 0;
    }
    QByteArray waitingTowardsHeadbox()
    {
        QByteArray out(int(bufTcpToOrv1->NumData()), '\0');
        bufTcpToOrv1->Get(out.data(), out.size());
        return out;
    }
    void purgeTowardsHeadbox() { bufTcpToOrv1->Purge(); }
    // Takes a waiting connection at once, before the event loop has served
    // anything else (the end of an earlier connection, for instance).
    bool acceptDataNow(int ms) { return _tcpServer->waitForNewConnection(ms); }
    bool acceptAnswerNow(int ms) { return tcpServerAnswer->waitForNewConnection(ms); }
    // Accepted sockets still alive (they are children of their servers).
    int liveSockets() const
    {
        return _tcpServer->findChildren<QTcpSocket *>().size()
            + tcpServerAnswer->findChildren<QTcpSocket *>().size();
    }
    void scan() { DataToHeadboxAndParseCommand(); }

protected:
    void CommandSleep(unsigned long ms) override
    {
        if (!recordSleeps.load()) {
            InterfaceReader::CommandSleep(ms);
            return;
        }
        QMutexLocker lock(&sleepMutex);
        sleepsTaken.append(ms);
    }

private:
    mutable QMutex sleepMutex;
    QVector<unsigned long> sleepsTaken;
};

#endif
