#ifndef TERMINALFRAME_H
#define TERMINALFRAME_H

#include <QByteArray>
#include <QtGlobal>

// A command frame addressed to the terminal itself, embedded in the PC's data
// stream on the data port:
//   "TALV" | lenParam (int32 LE) | code (int16 LE) | parameters | checksum (uint16 LE)
// The checksum is the byte sum of everything before it, modulo 65536.
class TerminalFrame
{
public:
    enum Code : qint16 {
        Clock = 1,
        TriggerOut = 2,
        MultiHeadLayout = 3,
        HeadboxRead = 4,
        HeadboxWrite = 5,
        HeadboxReadWrite = 6,
        Sync = 7,
        Delay = 8,
        ClearReceivePath = 9
    };

    static constexpr char Key[] = "TALV";
    static constexpr int KeySize = 4;
    static constexpr int LenParamOffset = 4;
    static constexpr int CodeOffset = 8;
    // Key, lenParam and code: the parameters start here.
    static constexpr int HeaderSize = 10;
    static constexpr int OverheadSize = 12;
    // The terminal holds a whole frame in a 64 KiB buffer.
    static constexpr int MaxParamSize = 65524;
    // Command 8's pause is bounded: a PC cannot stall the relay for longer.
    static constexpr qint32 MaxDelayMs = 60000;

    static QByteArray key() { return QByteArray(Key, KeySize); }

    static QByteArray clock(qint16 freq);
    static QByteArray triggerOut(qint32 rateCents);
    static QByteArray multiHeadLayout(quint16 numOrv, quint16 dataLen, quint16 totChannels,
                                      quint16 campXpacket, const quint16 channels[4]);
    static QByteArray headboxRead(qint16 headbox);
    static QByteArray headboxWrite(qint16 headbox);
    static QByteArray headboxReadWrite(qint16 headbox);
    static QByteArray sync(qint16 onOff);
    static QByteArray delay(qint32 ms);
    static QByteArray clearReceivePath();
    // Any code with any parameters; empty when the parameters do not fit.
    static QByteArray raw(qint16 code, const QByteArray &params);

    static quint16 checksum(const char *data, int len);
    // Parameter bytes the terminal reads for a code; other codes read none.
    static int paramSize(qint16 code);

    // Fields of a frame that begins at `frame` (at least HeaderSize bytes).
    static qint32 lenParamOf(const char *frame);
    static qint16 codeOf(const char *frame);

    // The reading side, as the terminal's interpreter sees a frame.
    struct Parsed
    {
        qint32 lenParam = 0;
        qint16 code = 0;
        QByteArray params;
        quint16 storedChecksum = 0;
        quint16 computedChecksum = 0;
        bool checksumOk() const { return storedChecksum == computedChecksum; }
    };
    // Parses one whole frame at the start of `data`; false when `data` does not
    // begin with a complete, well-formed frame.
    static bool parse(const QByteArray &data, Parsed *out);
};

#endif
