#include "commandframe.h"

#include <QtEndian>

#include <algorithm>

#include "terminalframe.h"

namespace {

inline unsigned byteAt(const char *s, long i)
{
    return static_cast<unsigned char>(s[i]);
}

// Offset of the first whole key; otherwise, with *partial set, of the
// longest key prefix that ends the bytes; otherwise -1.
long findKey(const char *bytes, long n, bool *partial)
{
    *partial = false;
    const char *end = bytes + n;
    const char *key = TerminalFrame::Key;
    const char *at = std::search(bytes, end, key, key + TerminalFrame::KeySize);
    if (at != end)
        return at - bytes;
    for (long len = std::min<long>(n, TerminalFrame::KeySize - 1); len > 0; --len) {
        if (std::equal(end - len, end, key)) {
            *partial = true;
            return n - len;
        }
    }
    return -1;
}

} // namespace

CommandFrame::Pass CommandFrame::scan(const char *bytes, long n)
{
    if (n <= 0)
        return Pass();
    bool partial = false;
    const long pos = findKey(bytes, n, &partial);
    Pass pass;
    if (partial)
        pass = pos > 0 ? keyless(pos) : Pass();
    else if (pos < 0)
        pass = keyless(n);
    else
        pass = atKey(bytes, n, pos);
    pass.searched = n;
    return pass;
}

CommandFrame::Pass CommandFrame::keyless(long count)
{
    Pass pass;
    pass.keyless = true;
    pass.data = std::min(count, keylessChunk);
    pass.log = QStringLiteral("num bytes = %1").arg(count);
    return pass;
}

CommandFrame::Pass CommandFrame::atKey(const char *bytes, long n, long pos)
{
    Pass pass;
    pass.data = pos;
    const long rest = n - pos;
    if (rest < TerminalFrame::OverheadSize)
        return pass;
    const qint32 lenParam = TerminalFrame::lenParamOf(bytes + pos);
    if (lenParam < 0 || lenParam > TerminalFrame::MaxParamSize) {
        // Such a frame could never be queued whole: drop its key, scan on.
        pass.dropped = TerminalFrame::KeySize;
        pass.log = QStringLiteral("Command key dropped: parameter length %1 out of range").arg(lenParam);
        return pass;
    }
    if (rest >= lenParam + TerminalFrame::OverheadSize)
        pass.frame = lenParam + TerminalFrame::OverheadSize;
    return pass;
}

CommandFrame::Pass CommandFrame::look(CircularQueue<char> *queue, char *staging)
{
    // The relay thread is the queue's only consumer, so the count can only
    // grow between here and the copy; the copy holds exactly n bytes.
    const long n = queue->NumData();
    queue->Get(staging, n);
    return scan(staging, n);
}

void CommandFrame::take(CircularQueue<char> *queue, const Pass &pass, char *staging)
{
    // Bytes queued after look() may begin a frame: they stay for the next
    // pass, never taken with the searched ones as data.
    queue->Read(staging, pass.taken());
}

CommandFrame::Command CommandFrame::decode(const char *s, long len)
{
    Command c;
    c.status = -1;
    if (len < TerminalFrame::OverheadSize)
        return c;
    const qint32 lenParam = TerminalFrame::lenParamOf(s);
    const long lenCmd = long(lenParam) + TerminalFrame::OverheadSize;
    if (lenParam < 0 || lenCmd != len)
        return c;
    c.code = TerminalFrame::codeOf(s);
    const quint16 binCheckSum = qFromLittleEndian<quint16>(s + lenCmd - 2);
    const quint16 checkSum = TerminalFrame::checksum(s, int(lenCmd - 2));
    if (binCheckSum != checkSum) {
        c.log = QStringLiteral("!!!! ERROREEEEE CHECKSUM!!!!%1  %2  %3  %4  %5  %6")
                    .arg(c.code)
                    .arg(lenCmd)
                    .arg(binCheckSum)
                    .arg(byteAt(s, lenCmd - 1))
                    .arg(byteAt(s, lenCmd - 2))
                    .arg(checkSum);
        return c;
    }
    // A shorter frame would make the command read past its own end.
    const int needed = TerminalFrame::paramSize(c.code);
    if (lenParam < needed) {
        c.status = -2;
        c.log = QStringLiteral("Command %1 not executed: %2 parameter bytes, %3 needed")
                    .arg(c.code)
                    .arg(lenParam)
                    .arg(needed);
        return c;
    }
    c.status = 0;
    const char *params = s + TerminalFrame::HeaderSize;
    if (needed == 2)
        c.value = qFromLittleEndian<qint16>(params);
    else if (needed == 4)
        c.value = qFromLittleEndian<qint32>(params);
    else if (needed == 16)
        for (int k = 0; k < 8; ++k)
            c.layout[k] = qFromLittleEndian<quint16>(params + 2 * k);
    if (c.code == TerminalFrame::Delay)
        c.value = std::clamp(c.value, 0, maxCommandSleepMs);
    return c;
}
