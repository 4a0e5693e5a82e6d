#ifndef STREAMPATTERN_H
#define STREAMPATTERN_H

#include <QByteArray>
#include <QString>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

// The sample stream of the simulated headboxes, and a checker for it.
//
// The stream is a sequence of 64-bit words, each sent least significant byte
// first; word number seq (0, 1, 2, ... from the moment sync goes on) of
// headbox h (1..4) is:
//
//   seq % 128 != 127  sequence word
//                       bits 56-63  0xA0 | h
//                       bits  0-55  seq
//   seq % 128 == 127  time word
//                       bits 56-63  0xB0 | h
//                       bits 48-55  (seq >> 7) & 0xFF
//                       bits  0-47  CLOCK_MONOTONIC in ns, modulo 2^48, at
//                                   which the word entered the FPGA FIFO
//
// So every byte but the time stamps is known in advance, and a time word
// every kilobyte lets a receiver on the same machine measure the latency.
class StreamPattern
{
public:
    static constexpr uint64_t timeWordPeriod = 128;
    static constexpr uint64_t timeMask = (uint64_t(1) << 48) - 1;
    static constexpr uint64_t seqMask = (uint64_t(1) << 56) - 1;

    static bool isTimeWord(uint64_t seq) { return seq % timeWordPeriod == timeWordPeriod - 1; }

    static uint64_t word(int headbox, uint64_t seq, uint64_t timeNs)
    {
        if (!isTimeWord(seq))
            return (uint64_t(0xA0 | headbox) << 56) | (seq & seqMask);
        return (uint64_t(0xB0 | headbox) << 56) | (((seq >> 7) & 0xFF) << 48) | (timeNs & timeMask);
    }

    static uint64_t nowNs()
    {
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
    }

    // Words firstSeq .. firstSeq + count - 1 as stream bytes.
    static QByteArray bytes(int headbox, uint64_t firstSeq, uint64_t count, uint64_t timeNs = 0)
    {
        QByteArray out(int(count * 8), Qt::Uninitialized);
        for (uint64_t i = 0; i < count; ++i)
            storeWord(out.data() + i * 8, word(headbox, firstSeq + i, timeNs));
        return out;
    }

    static void storeWord(char *dst, uint64_t w)
    {
        for (int b = 0; b < 8; ++b)
            dst[b] = char((w >> (8 * b)) & 0xFF);
    }

    static uint64_t loadWord(const unsigned char *src)
    {
        uint64_t w = 0;
        for (int b = 7; b >= 0; --b)
            w = (w << 8) | src[b];
        return w;
    }
};

// Checks a received stream, fed in chunks of any size, word by word.
// It reports the first fault with its byte offset and counts lost,
// duplicated (or reordered) and corrupted words. A word whose sequence
// number is off is judged by the word after it: a jump (the check goes on
// from the new number, so one gap counts once) or one corrupted word.
// With lockOn, bytes before the first word 0 are skipped (a stream that
// follows other traffic on the channel); otherwise the stream must begin
// with the first byte fed. Headbox 0 learns the headbox from the first word.
class StreamChecker
{
public:
    explicit StreamChecker(int headbox = 0, bool lockOn = false)
        : m_headbox(headbox), m_locked(!lockOn) {}

    // The latency of a time word is measured against the time its bytes
    // arrived: now, or the arrival time given (on the clock of the stamps).
    void feed(const QByteArray &data) { feed(data, StreamPattern::nowNs()); }
    void feed(const QByteArray &data, uint64_t arrivalNs)
    {
        feed(data.constData(), size_t(data.size()), arrivalNs);
    }
    void feed(const void *data, size_t size) { feed(data, size, StreamPattern::nowNs()); }

    void feed(const void *data, size_t size, uint64_t arrivalNs)
    {
        const unsigned char *p = static_cast<const unsigned char *>(data);
        const uint64_t now = arrivalNs;
        while (size > 0) {
            if (!m_locked) {
                lockOnByte(*p++, now);
                --size;
                continue;
            }
            const size_t take = qMin(size, size_t(8 - m_partLen));
            memcpy(m_part + m_partLen, p, take);
            m_partLen += int(take);
            p += take;
            size -= take;
            if (m_partLen == 8) {
                checkWord(StreamPattern::loadWord(m_part), now);
                m_partLen = 0;
            }
        }
    }

    bool ok() const { return m_error.isEmpty() && !m_pending; }
    QString firstError() const
    {
        if (m_error.isEmpty() && m_pending)
            return QStringLiteral("byte offset %1 (word %2): unexpected last word: %3")
                .arg(m_pendingWord * 8).arg(m_pendingWord).arg(m_pendingDetail);
        return m_error;
    }
    uint64_t bytes() const { return m_words * 8 + uint64_t(m_partLen); }
    uint64_t words() const { return m_words; }
    uint64_t nextSequence() const { return m_seq; }
    uint64_t lostWords() const { return m_lost; }
    uint64_t duplicatedWords() const { return m_duplicated; }
    uint64_t corruptWords() const { return m_corrupt; }
    uint64_t skippedBytes() const { return m_skipped; }
    int headbox() const { return m_headbox; }

    uint64_t latencySamples() const { return m_latCount; }
    int64_t latencyMinNs() const { return m_latCount ? m_latMin : 0; }
    int64_t latencyMaxNs() const { return m_latCount ? m_latMax : 0; }
    double latencyMeanNs() const { return m_latCount ? m_latSum / double(m_latCount) : 0.0; }
    // Percentile (0..100) of the kept latency samples: the first
    // maxLatencySamples time words (a gigabyte of stream and more).
    static constexpr size_t maxLatencySamples = size_t(1) << 21;
    int64_t latencyPercentileNs(double percent) const
    {
        if (m_latSamples.empty())
            return 0;
        std::vector<int64_t> v(m_latSamples);
        const double clamped = std::min(100.0, std::max(0.0, percent));
        const size_t k = std::min(v.size() - 1, size_t(clamped / 100.0 * double(v.size())));
        std::nth_element(v.begin(), v.begin() + k, v.end());
        return v[k];
    }

private:
    void lockOnByte(unsigned char b, uint64_t now)
    {
        // Word 0 is seven zero bytes followed by the tag 0xA1..0xA4.
        m_window[m_windowLen++] = b;
        if (m_windowLen == 8) {
            const unsigned char tag = m_window[7];
            bool zeros = true;
            for (int i = 0; i < 7; ++i)
                zeros = zeros && m_window[i] == 0;
            const bool tagOk = m_headbox ? tag == (0xA0 | m_headbox) : (tag >= 0xA1 && tag <= 0xA4);
            if (zeros && tagOk) {
                m_locked = true;
                m_windowLen = 0;
                checkWord(StreamPattern::loadWord(m_window), now);
                return;
            }
            memmove(m_window, m_window + 1, 7);
            m_windowLen = 7;
            ++m_skipped;
        }
    }

    void fail(uint64_t word, const QString &what)
    {
        if (m_error.isEmpty())
            m_error = QStringLiteral("byte offset %1 (word %2): %3").arg(word * 8).arg(word).arg(what);
    }

    bool matches(uint64_t got, uint64_t seq) const
    {
        return got == StreamPattern::word(m_headbox, seq, got);
    }

    void checkWord(uint64_t got, uint64_t now)
    {
        if (m_headbox == 0) {
            const int tag = int(got >> 56);
            m_headbox = (tag & 0xF) >= 1 && (tag & 0xF) <= 4 ? (tag & 0xF) : 1;
        }
        if (m_pending)
            resolve(got);
        if (matches(got, m_seq)) {
            if (StreamPattern::isTimeWord(m_seq))
                latency(got, now);
        } else {
            mismatch(got, StreamPattern::word(m_headbox, m_seq, 0));
        }
        ++m_seq;
        ++m_words;
    }

    void mismatch(uint64_t got, uint64_t expected)
    {
        int firstByte = 0;
        while (firstByte < 8 && ((got ^ expected) >> (8 * firstByte) & 0xFF) == 0)
            ++firstByte;
        const QString detail = QStringLiteral("expected 0x%1, got 0x%2 (first wrong byte %3 of the word)")
                                   .arg(expected, 16, 16, QLatin1Char('0'))
                                   .arg(got, 16, 16, QLatin1Char('0')).arg(firstByte);
        const bool seqWordOfOurs = (got >> 56) == uint64_t(0xA0 | m_headbox);
        const uint64_t gotSeq = got & StreamPattern::seqMask;
        if (!seqWordOfOurs || gotSeq == m_seq) {
            ++m_corrupt;
            fail(m_words, QStringLiteral("corrupted: ") + detail);
            return;
        }
        // A sequence jump or one corrupted word: the next word tells.
        m_pending = true;
        m_pendingWord = m_words;
        m_pendingGotSeq = gotSeq;
        m_pendingOldSeq = m_seq;
        m_pendingDetail = detail;
    }

    void resolve(uint64_t next)
    {
        m_pending = false;
        const uint64_t jumped = m_pendingGotSeq + 1;
        if (!matches(next, jumped) || matches(next, m_pendingOldSeq + 1)) {
            ++m_corrupt;
            fail(m_pendingWord, QStringLiteral("corrupted: ") + m_pendingDetail);
            return;
        }
        if (m_pendingGotSeq > m_pendingOldSeq) {
            m_lost += m_pendingGotSeq - m_pendingOldSeq;
            fail(m_pendingWord, QStringLiteral("%1 words lost: ").arg(m_pendingGotSeq - m_pendingOldSeq)
                                    + m_pendingDetail);
        } else {
            m_duplicated += m_pendingOldSeq - m_pendingGotSeq;
            fail(m_pendingWord, QStringLiteral("duplicated or reordered (%1 words back): ")
                                    .arg(m_pendingOldSeq - m_pendingGotSeq) + m_pendingDetail);
        }
        m_seq = jumped;
    }

    void latency(uint64_t got, uint64_t now)
    {
        const int64_t d = int64_t((now - got) & StreamPattern::timeMask);
        if (m_latCount == 0 || d < m_latMin)
            m_latMin = d;
        if (m_latCount == 0 || d > m_latMax)
            m_latMax = d;
        m_latSum += double(d);
        ++m_latCount;
        if (m_latSamples.size() < maxLatencySamples)
            m_latSamples.push_back(d);
    }

    int m_headbox;
    bool m_locked;
    unsigned char m_part[8] = {};
    int m_partLen = 0;
    unsigned char m_window[8] = {};
    int m_windowLen = 0;
    uint64_t m_seq = 0;
    uint64_t m_words = 0;
    uint64_t m_lost = 0;
    uint64_t m_duplicated = 0;
    uint64_t m_corrupt = 0;
    uint64_t m_skipped = 0;
    uint64_t m_latCount = 0;
    int64_t m_latMin = 0;
    int64_t m_latMax = 0;
    double m_latSum = 0;
    std::vector<int64_t> m_latSamples;
    bool m_pending = false;
    uint64_t m_pendingWord = 0;
    uint64_t m_pendingGotSeq = 0;
    uint64_t m_pendingOldSeq = 0;
    QString m_pendingDetail;
    QString m_error;
};

#endif
