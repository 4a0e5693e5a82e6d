#include "fpgasim.h"

#include "registermap.h"
#include "streampattern.h"

#include <QList>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

namespace {

namespace Reg = RegisterMap;
namespace Link = RegisterMap::LinkConfig;

// The registers the system uses: 0 to 15.
constexpr int registerCount = Reg::linkConfig + 1;
constexpr int channelCount = FpgaSim::channels;
// With rate 0 the FIFO is kept this full while the stream runs.
constexpr uint64_t fastFill = 4096;
// A frame that stops arriving half-way is given up after this long and its
// bytes come back like any others.
constexpr uint64_t frameTimeoutNs = 100 * 1000 * 1000;
const char frameTemplate[] = "\r\nRDJW000000\r\n";
constexpr int frameLength = 14;

// a * b / c rounded down without a 128-bit type (the panel is 32-bit):
// exact while (c - 1) * b fits in 64 bits.
uint64_t mulDiv(uint64_t a, uint64_t b, uint64_t c)
{
    return a / c * b + a % c * b / c;
}

// The register block's lock. The reader takes it for every register access,
// millions of times a second, and holds it briefly: a mutex's lock and unlock
// cost the simulator more than the access itself. A waiter yields, so that a
// holder sharing its core gets on.
class SimLock
{
public:
    void lock()
    {
        while (held.exchange(true, std::memory_order_acquire)) {
            while (held.load(std::memory_order_relaxed))
                std::this_thread::yield();
        }
    }
    void unlock() { held.store(false, std::memory_order_release); }

private:
    std::atomic<bool> held{false};
};

// A FIFO's words: a ring of fixed capacity, its storage taken with the first
// word. Each stream word passes through it once at full speed, where a deque
// spent more on its blocks than the simulator on the word.
class WordRing
{
public:
    size_t size() const { return count; }
    bool empty() const { return count == 0; }
    void clear() { head = count = 0; }
    uint64_t front() const { return slots[head]; }
    void pop_front()
    {
        head = (head + 1) % capacity;
        --count;
    }
    // The callers keep within the capacity; a word beyond it is dropped.
    void push_back(uint64_t w)
    {
        if (count == capacity)
            return;
        if (!slots)
            slots.reset(new uint64_t[capacity]);
        slots[(head + count) % capacity] = w;
        ++count;
    }

private:
    static constexpr size_t capacity = FpgaSim::fifoCapacityWords;
    std::unique_ptr<uint64_t[]> slots;
    size_t head = 0;
    size_t count = 0;
};

struct Fifo
{
    WordRing words;
    unsigned char part[8] = {};
    int partLen = 0;
    uint64_t lost = 0;
};

struct Headbox
{
    QByteArray serial;
    QByteArray pending;          // bytes that may still become a frame
    uint64_t pendingSinceNs = 0;
    bool streaming = false;
    uint64_t startNs = 0;
    uint64_t produced = 0;       // stream words generated, lost ones included
    QByteArray received;
    QByteArray lastCommand;      // command characters of the last whole frame
};

bool framePrefix(const QByteArray &p)
{
    for (int i = 0; i < p.size(); ++i) {
        if ((i < 6 || i >= 12) && p.at(i) != frameTemplate[i])
            return false;
    }
    return true;
}

void appendCapped(QByteArray &log, char byte)
{
    if (log.size() >= FpgaSim::logLimit)
        log.remove(0, FpgaSim::logLimit / 2);
    log.append(byte);
}

} // namespace

class FpgaSimPrivate
{
public:
    void reset(const FpgaSimConfig &c);
    uint64_t read(int reg);
    void write(int reg, uint64_t value);

    int readChannel() const { return int(reg15 & Link::readChannel); }
    int writeChannel() const { return int((reg15 & Link::writeChannel) >> Link::writeChannelShift); }
    int outChannel(int h) const { return config.headboxes == 1 ? 0 : h + 1; }
    bool hears(int h, int channel) const { return channel == 0 || channel == h + 1; }

    void pushWord(int channel, uint64_t w);
    void pushBytes(int channel, const char *p, int n);
    void advance(int channel, uint64_t now, bool reading);
    void stream(int h, uint64_t now, bool reading);
    void headboxByte(int h, unsigned char b, uint64_t now);
    void echo(int h, const QByteArray &bytes);
    void frame(int h, const QByteArray &f);
    void syncChanged(bool on, uint64_t now);
    uint64_t now() const { return clockHeld ? heldNs : StreamPattern::nowNs(); }

    mutable SimLock lock;
    bool clockHeld = false;
    uint64_t heldNs = 0;
    FpgaSimConfig config;
    uint64_t reg1Latch = 0;
    uint64_t reg8 = 0;
    uint64_t reg15 = 0;
    Fifo fifo[channelCount];
    Headbox headbox[FpgaSim::maxHeadboxes];
    QVector<FpgaSimWrite> log;
    QByteArray sent[channelCount];
    uint64_t reads[registerCount] = {};
    uint64_t emptyReads = 0;
    bool forced[registerCount] = {};
    uint64_t forcedValue[registerCount] = {};
};

void FpgaSimPrivate::reset(const FpgaSimConfig &c)
{
    config = c;
    config.headboxes = qBound(0, config.headboxes, FpgaSim::maxHeadboxes);
    reg1Latch = reg8 = reg15 = 0;
    for (Fifo &f : fifo)
        f = Fifo();
    for (int h = 0; h < FpgaSim::maxHeadboxes; ++h) {
        headbox[h] = Headbox();
        QByteArray serial = h < config.serials.size() ? config.serials.at(h) : FpgaSimConfig::defaultSerial(h + 1);
        headbox[h].serial = serial.left(16);
    }
    log.clear();
    for (QByteArray &s : sent)
        s.clear();
    for (int r = 0; r < registerCount; ++r) {
        reads[r] = 0;
        forced[r] = false;
        forcedValue[r] = 0;
    }
    emptyReads = 0;
    clockHeld = false;
}

void FpgaSimPrivate::pushWord(int channel, uint64_t w)
{
    Fifo &f = fifo[channel];
    uint64_t whole = w;
    if (f.partLen) {
        // The waiting bytes and the first bytes of w make a whole word; the
        // rest of w waits in their place. Shifts, not eight single bytes: a
        // stream that follows an odd number of bytes goes this way throughout.
        const int shift = 8 * f.partLen;
        uint64_t waiting = 0;
        for (int i = f.partLen - 1; i >= 0; --i)
            waiting = (waiting << 8) | f.part[i];
        whole = waiting | (w << shift);
        const uint64_t rest = w >> (64 - shift);
        for (int i = 0; i < f.partLen; ++i)
            f.part[i] = static_cast<unsigned char>(rest >> (8 * i));
    }
    if (f.words.size() >= FpgaSim::fifoCapacityWords) {
        ++f.lost;
        return;
    }
    f.words.push_back(whole);
}

void FpgaSimPrivate::pushBytes(int channel, const char *p, int n)
{
    Fifo &f = fifo[channel];
    for (int i = 0; i < n; ++i) {
        f.part[f.partLen++] = static_cast<unsigned char>(p[i]);
        if (f.partLen < 8)
            continue;
        f.partLen = 0;
        if (f.words.size() >= FpgaSim::fifoCapacityWords)
            ++f.lost;
        else
            f.words.push_back(StreamPattern::loadWord(f.part));
    }
}

void FpgaSimPrivate::stream(int h, uint64_t now, bool reading)
{
    Headbox &hb = headbox[h];
    Fifo &f = fifo[outChannel(h)];
    if (config.byteRate == 0) {
        if (!reading)
            return;
        while (f.words.size() < fastFill)
            pushWord(outChannel(h), StreamPattern::word(h + 1, hb.produced++, now));
        return;
    }
    const uint64_t elapsed = now > hb.startNs ? now - hb.startNs : 0;
    const uint64_t due = mulDiv(elapsed, config.byteRate, 8000000000u);
    if (due <= hb.produced)
        return;
    const uint64_t n = due - hb.produced;
    const uint64_t room = FpgaSim::fifoCapacityWords - qMin<uint64_t>(f.words.size(), FpgaSim::fifoCapacityWords);
    const uint64_t made = qMin(n, room);
    for (uint64_t i = 0; i < made; ++i) {
        const uint64_t seq = hb.produced + i;
        // The moment its last byte arrived at the configured rate.
        const uint64_t at = hb.startNs + mulDiv(seq + 1, 8000000000u, config.byteRate);
        pushWord(outChannel(h), StreamPattern::word(h + 1, seq, at));
    }
    f.lost += n - made;
    hb.produced = due;
}

void FpgaSimPrivate::advance(int channel, uint64_t now, bool reading)
{
    for (int h = 0; h < config.headboxes; ++h) {
        if (outChannel(h) != channel)
            continue;
        Headbox &hb = headbox[h];
        if (!hb.pending.isEmpty() && now - hb.pendingSinceNs > frameTimeoutNs) {
            echo(h, hb.pending);
            hb.pending.clear();
        }
        if (hb.streaming)
            stream(h, now, reading);
    }
}

void FpgaSimPrivate::echo(int h, const QByteArray &bytes)
{
    // A streaming headbox takes commands silently: its stream stays checkable.
    if (headbox[h].streaming)
        return;
    pushBytes(outChannel(h), bytes.constData(), bytes.size());
}

void FpgaSimPrivate::frame(int h, const QByteArray &f)
{
    const QByteArray command = f.mid(6, 6);
    headbox[h].lastCommand = command;
    if (command == "002002") {
        QByteArray answer = headbox[h].serial.leftJustified(16, '\0', true);
        char *a = answer.data();
        for (int i = 0; i + 1 < answer.size(); i += 2)
            std::swap(a[i], a[i + 1]);
        pushBytes(outChannel(h), answer.constData(), answer.size());
        return;
    }
    if (command == "008000") {
        headbox[h].streaming = false;
        return;
    }
    echo(h, f);
}

void FpgaSimPrivate::headboxByte(int h, unsigned char b, uint64_t now)
{
    Headbox &hb = headbox[h];
    appendCapped(hb.received, char(b));
    if (hb.pending.isEmpty())
        hb.pendingSinceNs = now;
    hb.pending.append(char(b));
    while (!hb.pending.isEmpty() && !framePrefix(hb.pending)) {
        echo(h, hb.pending.left(1));
        hb.pending.remove(0, 1);
    }
    if (hb.pending.size() == frameLength) {
        const QByteArray f = hb.pending;
        hb.pending.clear();
        frame(h, f);
    }
}

void FpgaSimPrivate::syncChanged(bool on, uint64_t now)
{
    for (int h = 0; h < config.headboxes; ++h) {
        Headbox &hb = headbox[h];
        if (on) {
            // The stream of the words that arrived before is complete.
            advance(outChannel(h), now, false);
            hb.streaming = true;
            hb.startNs = now;
            hb.produced = 0;
        } else {
            if (hb.streaming)
                stream(h, now, false);
            hb.streaming = false;
        }
    }
}

uint64_t FpgaSimPrivate::read(int reg)
{
    if (reg < 0 || reg >= registerCount)
        return 0;
    ++reads[reg];
    if (forced[reg])
        return forcedValue[reg];
    switch (reg) {
    case Reg::fifoCount:
        advance(readChannel(), now(), true);
        return fifo[readChannel()].words.size();
    case Reg::fifoData: {
        Fifo &f = fifo[readChannel()];
        if (f.words.empty())
            advance(readChannel(), now(), true);
        if (f.words.empty()) {
            ++emptyReads;
            return 0;
        }
        const uint64_t w = f.words.front();
        f.words.pop_front();
        return w;
    }
    case Reg::testReadBack:
        return config.verifyFails ? reg1Latch ^ 0xFFFF : reg1Latch;
    case Reg::firmwareMajor:
        return config.firmwareMajor;
    case Reg::firmwareMinor:
        return config.firmwareMinor;
    default:
        return 0;
    }
}

void FpgaSimPrivate::write(int reg, uint64_t value)
{
    if (reg < 0 || reg >= registerCount)
        return;
    if (log.size() >= FpgaSim::logLimit)
        log.remove(0, FpgaSim::logLimit / 2);
    log.append({reg, value});
    switch (reg) {
    case Reg::testPattern:
        reg1Latch = value;
        break;
    case Reg::linkControl:
        // The clean pulse (flush, then running): flush empties every receive
        // FIFO, a waiting part of a word included.
        if (value == Reg::LinkControl::flush) {
            for (Fifo &f : fifo) {
                f.words.clear();
                f.partLen = 0;
            }
        }
        break;
    case Reg::panelControl:
        reg8 = value;
        break;
    case Reg::transmit: {
        const uint64_t now = this->now();
        const int channel = writeChannel();
        const unsigned char byte = static_cast<unsigned char>(value & Reg::transmitMask);
        appendCapped(sent[channel], char(byte));
        for (int h = 0; h < config.headboxes; ++h) {
            if (hears(h, channel))
                headboxByte(h, byte, now);
        }
        break;
    }
    case Reg::linkConfig: {
        const bool was = reg15 & Link::sync;
        const bool on = value & Link::sync;
        // The stream of a headbox that is not read keeps its pace: bring the
        // old read channel up to date before switching away from it.
        const uint64_t now = this->now();
        advance(readChannel(), now, false);
        reg15 = value;
        if (was != on)
            syncChanged(on, now);
        break;
    }
    default:
        break;
    }
}

FpgaSimConfig FpgaSimConfig::fromEnvironment()
{
    FpgaSimConfig c;
    bool ok = false;
    if (qEnvironmentVariableIsSet("ZELK_SIM_HEADBOXES")) {
        const int n = qEnvironmentVariableIntValue("ZELK_SIM_HEADBOXES", &ok);
        if (ok && n >= 0 && n <= FpgaSim::maxHeadboxes)
            c.headboxes = n;
        else
            fprintf(stderr, "ZELK_interface_DLL: ZELK_SIM_HEADBOXES must be 0 to 4\n");
    }
    if (qEnvironmentVariableIsSet("ZELK_SIM_SERIALS")) {
        const QList<QByteArray> serials = qgetenv("ZELK_SIM_SERIALS").split(',');
        for (const QByteArray &s : serials)
            c.serials.append(s.left(16));
    }
    if (qEnvironmentVariableIsSet("ZELK_SIM_FIRMWARE")) {
        const QList<QByteArray> parts = qgetenv("ZELK_SIM_FIRMWARE").split('.');
        bool okMajor = false, okMinor = false;
        const uint major = parts.size() == 2 ? parts.at(0).toUInt(&okMajor) : 0;
        const uint minor = parts.size() == 2 ? parts.at(1).toUInt(&okMinor) : 0;
        if (okMajor && okMinor && major <= 0xFFFF && minor <= 0xFFFF) {
            c.firmwareMajor = uint16_t(major);
            c.firmwareMinor = uint16_t(minor);
        } else {
            fprintf(stderr, "ZELK_interface_DLL: ZELK_SIM_FIRMWARE must be major.minor\n");
        }
    }
    if (qEnvironmentVariableIsSet("ZELK_SIM_RATE")) {
        const qulonglong rate = qgetenv("ZELK_SIM_RATE").toULongLong(&ok);
        if (ok)
            c.byteRate = rate;
        else
            fprintf(stderr, "ZELK_interface_DLL: ZELK_SIM_RATE must be bytes per second\n");
    }
    if (qEnvironmentVariableIsSet("ZELK_SIM_VERIFY_FAIL"))
        c.verifyFails = qEnvironmentVariableIntValue("ZELK_SIM_VERIFY_FAIL") != 0;
    return c;
}

QByteArray FpgaSimConfig::defaultSerial(int headbox)
{
    return QByteArray("SIM-0000/00-") + QByteArray::number(headbox);
}

FpgaSim *FpgaSim::instance()
{
    // Never destroyed: a reader thread may still poll while the process exits.
    static FpgaSim *sim = new FpgaSim;
    return sim;
}

FpgaSim::FpgaSim() : d(new FpgaSimPrivate)
{
    d->reset(FpgaSimConfig::fromEnvironment());
}

FpgaSim::~FpgaSim()
{
    delete d;
}

void FpgaSim::reset(const FpgaSimConfig &config)
{
    std::lock_guard<SimLock> g(d->lock);
    d->reset(config);
}

void FpgaSim::reset()
{
    reset(FpgaSimConfig::fromEnvironment());
}

FpgaSimConfig FpgaSim::config() const
{
    std::lock_guard<SimLock> g(d->lock);
    return d->config;
}

uint64_t FpgaSim::read(int reg)
{
    std::lock_guard<SimLock> g(d->lock);
    return d->read(reg);
}

void FpgaSim::write(int reg, uint64_t value)
{
    std::lock_guard<SimLock> g(d->lock);
    d->write(reg, value);
}

QVector<FpgaSimWrite> FpgaSim::writes() const
{
    std::lock_guard<SimLock> g(d->lock);
    return d->log;
}

QVector<uint64_t> FpgaSim::writesTo(int reg) const
{
    std::lock_guard<SimLock> g(d->lock);
    QVector<uint64_t> values;
    for (const FpgaSimWrite &w : d->log) {
        if (w.reg == reg)
            values.append(w.value);
    }
    return values;
}

void FpgaSim::clearWrites()
{
    std::lock_guard<SimLock> g(d->lock);
    d->log.clear();
    for (QByteArray &s : d->sent)
        s.clear();
    for (Headbox &hb : d->headbox)
        hb.received.clear();
}

uint64_t FpgaSim::readCount(int reg) const
{
    std::lock_guard<SimLock> g(d->lock);
    return reg >= 0 && reg < registerCount ? d->reads[reg] : 0;
}

uint64_t FpgaSim::register15() const
{
    std::lock_guard<SimLock> g(d->lock);
    return d->reg15;
}

int FpgaSim::readChannel() const
{
    std::lock_guard<SimLock> g(d->lock);
    return d->readChannel();
}

int FpgaSim::writeChannel() const
{
    std::lock_guard<SimLock> g(d->lock);
    return d->writeChannel();
}

bool FpgaSim::syncOn() const
{
    std::lock_guard<SimLock> g(d->lock);
    return d->reg15 & Link::sync;
}

bool FpgaSim::displayOn() const
{
    std::lock_guard<SimLock> g(d->lock);
    return !(d->reg8 & Reg::PanelControl::displayOff);
}

QByteArray FpgaSim::sentOnChannel(int channel) const
{
    std::lock_guard<SimLock> g(d->lock);
    return channel >= 0 && channel < channelCount ? d->sent[channel] : QByteArray();
}

QByteArray FpgaSim::lastCommand(int headbox) const
{
    std::lock_guard<SimLock> g(d->lock);
    return headbox >= 1 && headbox <= d->config.headboxes ? d->headbox[headbox - 1].lastCommand : QByteArray();
}

QByteArray FpgaSim::receivedBy(int headbox) const
{
    std::lock_guard<SimLock> g(d->lock);
    return headbox >= 1 && headbox <= d->config.headboxes ? d->headbox[headbox - 1].received : QByteArray();
}

int FpgaSim::headboxChannel(int headbox) const
{
    std::lock_guard<SimLock> g(d->lock);
    return headbox >= 1 && headbox <= d->config.headboxes ? d->outChannel(headbox - 1) : -1;
}

bool FpgaSim::streaming(int headbox) const
{
    std::lock_guard<SimLock> g(d->lock);
    return headbox >= 1 && headbox <= d->config.headboxes && d->headbox[headbox - 1].streaming;
}

uint64_t FpgaSim::streamedWords(int headbox) const
{
    std::lock_guard<SimLock> g(d->lock);
    return headbox >= 1 && headbox <= d->config.headboxes ? d->headbox[headbox - 1].produced : 0;
}

uint64_t FpgaSim::fifoWords(int channel) const
{
    std::lock_guard<SimLock> g(d->lock);
    if (channel < 0 || channel >= channelCount)
        return 0;
    d->advance(channel, d->now(), false);
    return d->fifo[channel].words.size();
}

uint64_t FpgaSim::lostWords(int channel) const
{
    std::lock_guard<SimLock> g(d->lock);
    return channel >= 0 && channel < channelCount ? d->fifo[channel].lost : 0;
}

uint64_t FpgaSim::emptyReads() const
{
    std::lock_guard<SimLock> g(d->lock);
    return d->emptyReads;
}

void FpgaSim::holdClock()
{
    std::lock_guard<SimLock> g(d->lock);
    if (d->clockHeld)
        return;
    d->heldNs = StreamPattern::nowNs();
    d->clockHeld = true;
}

void FpgaSim::advanceClock(uint64_t ns)
{
    std::lock_guard<SimLock> g(d->lock);
    if (d->clockHeld)
        d->heldNs += ns;
}

uint64_t FpgaSim::clockNs() const
{
    std::lock_guard<SimLock> g(d->lock);
    return d->now();
}

void FpgaSim::inject(int channel, const QByteArray &bytes)
{
    std::lock_guard<SimLock> g(d->lock);
    if (channel >= 0 && channel < channelCount)
        d->pushBytes(channel, bytes.constData(), bytes.size());
}

void FpgaSim::forceRead(int reg, uint64_t value)
{
    std::lock_guard<SimLock> g(d->lock);
    if (reg < 0 || reg >= registerCount)
        return;
    d->forced[reg] = true;
    d->forcedValue[reg] = value;
}

void FpgaSim::releaseRead(int reg)
{
    std::lock_guard<SimLock> g(d->lock);
    if (reg >= 0 && reg < registerCount)
        d->forced[reg] = false;
}
