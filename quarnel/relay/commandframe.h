#ifndef COMMANDFRAME_H
#define COMMANDFRAME_H

#include <QString>
#include <QtGlobal>

#include "circularqueue.h"
#include "terminalframe.h"

// Terminal command frames in the PC's stream, as the relay thread meets them:
// which bytes at the head of the stream are headbox data, which form a whole
// frame to execute and which are dropped; and what a frame asks for. Plain
// and synchronous: bytes in, decisions and log texts out.
class CommandFrame
{
public:
    // Key-less data goes to the headbox in chunks of at most this size.
    static constexpr long keylessChunk = 2048;
    static constexpr qint32 maxCommandSleepMs = TerminalFrame::MaxDelayMs;

    // What one scanner pass does with the head of the stream, in this order:
    // `data` bytes to the headbox, then either a whole frame of `frame`
    // bytes to execute or `dropped` bytes that are thrown away.
    struct Pass
    {
        long searched = 0;
        long data = 0;
        // No whole key ahead: the data is one chunk of key-less bytes, whose
        // write is checked.
        bool keyless = false;
        long frame = 0;
        long dropped = 0;
        // Event log line of the pass, if any.
        QString log;

        long taken() const { return data + frame + dropped; }
    };

    // The decision for the n bytes at the head of the stream. Only the 1-3
    // bytes that may begin a key, or an incomplete frame, wait for more.
    static Pass scan(const char *bytes, long n);

    // One pass over the PC-to-headbox queue, in two steps: look() copies the
    // bytes queued now into staging (at least the queue's capacity) and
    // decides on exactly those; take() removes exactly the bytes that pass
    // names, whatever has been queued since.
    static Pass look(CircularQueue<char> *queue, char *staging);
    static void take(CircularQueue<char> *queue, const Pass &pass, char *staging);

    // A whole frame, checked and decoded for the interpreter.
    struct Command
    {
        // 0: to be executed; -1: length or checksum wrong; -2: fewer
        // parameter bytes than the command reads.
        short status = 0;
        // Event log line of a frame that is not executed.
        QString log;
        qint16 code = 0;
        // The one parameter of codes 1, 2 and 4 to 8; for code 8 the pause
        // in milliseconds, bounded to 0 ... maxCommandSleepMs.
        qint32 value = 0;
        // Code 3: numOrv, dataLen, totChannels, campXpacket, then the four
        // channel counts.
        quint16 layout[8] = {};
    };

    static Command decode(const char *frame, long len);

private:
    static Pass keyless(long count);
    static Pass atKey(const char *bytes, long n, long pos);
};

#endif
