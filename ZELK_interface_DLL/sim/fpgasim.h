#ifndef FPGASIM_H
#define FPGASIM_H

#include "registermap.h"
#include "zelk_interface_dll_global.h"

#include <QByteArray>
#include <QList>
#include <QVector>
#include <cstdint>

// A simulated FPGA register block with up to four emulated headboxes on its
// serial link. The library's "sim" register backend talks to the one
// process-wide instance; tests drive and observe it from the hardware side.
//
// Registers (registermap.h), as the simulator plays them:
//   testPattern        latched; testReadBack returns it (or a wrong value
//                      when verification is set to fail)
//   firmwareMajor/Minor  the configured version
//   transmit           one byte to the headboxes on the write channel;
//                      channel 0 reaches every headbox
//   linkConfig         read channel, write channel, sync
//   linkControl        flush empties every receive FIFO
//   panelControl       displayOff
//   fifoCount          whole 64-bit words waiting on the read channel
//   fifoData           next word of the read channel (0 when none waits)
// Every write is logged. Reads of other registers return 0.
//
// Channels: each of the channels 0..4 has its own receive FIFO of 64-bit
// words (stream bytes packed least significant byte first; a trailing part
// of a word waits until the word is complete). A single headbox answers on
// channel 0; with several, headbox n answers on channel n and nothing
// arrives on channel 0. Headbox n hears bytes written on channel 0 and on
// channel n.
//
// Headboxes: the frame CR LF "RDJW" "002002" CR LF makes every headbox that
// hears it answer its 16-byte serial number with the two bytes of every
// 16-bit unit swapped. CR LF "RDJW" "008000" CR LF stops its stream. Any
// other byte comes back unchanged on the headbox's channel (loopback), except
// while streaming, when it is taken silently so the stream stays checkable.
// Bytes that may still become a frame are held back; a frame left incomplete
// for 100 ms comes back like other bytes.
// Switching sync on (linkConfig's sync bit, off -> on) starts every headbox
// streaming the pattern of streampattern.h from sequence 0; switching it
// off stops them. Stream words are generated when fifoCount and fifoData
// are read: from the elapsed time and the configured byte rate, or, with
// rate 0, as fast as they are read (the FIFO is topped up to 4096 words
// whenever fifoCount is read). A FIFO holds at most fifoCapacityWords words;
// words beyond that are lost (the stream's sequence numbers show the gap).
struct ZELK_INTERFACE_DLL_EXPORT FpgaSimConfig
{
    int headboxes = 1;             // 0..4
    QList<QByteArray> serials;     // serial text per headbox, at most 16 bytes;
                                   // headboxes without one get defaultSerial(n)
    uint16_t firmwareMajor = 3;    // read as firmwareMajor
    uint16_t firmwareMinor = 14;   // read as firmwareMinor
    uint64_t byteRate = 0;         // stream bytes per second per headbox; 0 = as fast as read
    bool verifyFails = false;      // testReadBack never matches testPattern

    // ZELK_SIM_HEADBOXES, ZELK_SIM_SERIALS (comma-separated),
    // ZELK_SIM_FIRMWARE ("major.minor"), ZELK_SIM_RATE (bytes/s, 0 = as fast
    // as read), ZELK_SIM_VERIFY_FAIL (1 = fail). Unset ones keep the defaults.
    static FpgaSimConfig fromEnvironment();
    // "SIM-0000/00-n": a serial the headbox protocol accepts.
    static QByteArray defaultSerial(int headbox);
};

struct FpgaSimWrite
{
    int reg;
    uint64_t value;
};

class FpgaSimPrivate;

class ZELK_INTERFACE_DLL_EXPORT FpgaSim
{
public:
    static constexpr int channels = 1 << RegisterMap::LinkConfig::channelWidth;   // headboxes use 0..4
    static constexpr int maxHeadboxes = 4;
    // Less than the library's ring takes in one batch (32767 words): the reader
    // moves all announced words or none, so a deeper FIFO could stall it.
    static constexpr uint64_t fifoCapacityWords = 16384;
    // Logs keep at most this many entries (older ones are dropped).
    static constexpr int logLimit = 1 << 20;

    // The process-wide simulated FPGA, configured from the environment when
    // first used.
    static FpgaSim *instance();

    // A fresh FPGA: registers 0, FIFOs and logs empty, no stream, forced
    // reads released, headboxes as configured.
    void reset(const FpgaSimConfig &config);
    void reset();   // from the environment
    FpgaSimConfig config() const;

    // Register access as the FPGA sees it (used by the library's backend).
    uint64_t read(int reg);
    void write(int reg, uint64_t value);

    // Observation.
    QVector<FpgaSimWrite> writes() const;        // every register write, in order
    QVector<uint64_t> writesTo(int reg) const;   // values written to one register, in order
    void clearWrites();                          // also clears sentOnChannel/receivedBy
    uint64_t readCount(int reg) const;           // reads of a register since reset
    uint64_t register15() const;
    int readChannel() const;
    int writeChannel() const;
    bool syncOn() const;
    bool displayOn() const;                      // panelControl's displayOff clear
    QByteArray sentOnChannel(int channel) const; // transmit bytes while the write channel was channel
    QByteArray receivedBy(int headbox) const;    // bytes that reached headbox 1..n
    QByteArray lastCommand(int headbox) const;   // command of the last whole frame headbox 1..n took
    int headboxChannel(int headbox) const;       // channel headbox 1..n answers on
    bool streaming(int headbox) const;
    uint64_t streamedWords(int headbox) const;   // stream words generated since sync on
    uint64_t fifoWords(int channel) const;       // whole words waiting (a paced stream generated up to now)
    uint64_t lostWords(int channel) const;       // words dropped on a full FIFO
    uint64_t emptyReads() const;                 // fifoData reads with nothing waiting

    // The simulator's clock: CLOCK_MONOTONIC, or, once a test holds it, a
    // time that moves only by advanceClock. Stream pacing, the stream's time
    // words and the give-up time of a half frame follow it, so a test can
    // drive them without waiting. reset() lets go of it.
    void holdClock();                 // held at the present time
    void advanceClock(uint64_t ns);   // moves a held clock only
    uint64_t clockNs() const;         // on the scale of StreamPattern::nowNs()

    // Stimulus.
    void inject(int channel, const QByteArray &bytes);   // bytes as received on a channel
    // Reads of reg return value (fifoData reads then leave the FIFO alone)
    // until released: lets tests play a glitching or absent FPGA.
    void forceRead(int reg, uint64_t value);
    void releaseRead(int reg);

private:
    FpgaSim();
    ~FpgaSim();
    Q_DISABLE_COPY(FpgaSim)

    FpgaSimPrivate *d;
};

#endif
