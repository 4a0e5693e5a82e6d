#ifndef REGISTERTOOL_H
#define REGISTERTOOL_H

#include "registermap.h"

#include <QByteArray>
#include <QTextStream>
#include <cstdint>

class dxusb;

// Bring-up and service operations on the FPGA's register block. Each one
// touches only the registers it names: reading never writes, and nothing
// takes a received word off the FIFO unless the operation is about
// received data. Results are exit statuses for the command line.
class RegisterTool
{
public:
    enum Status { Ok = 0, Failed = 1 };

    // block is lent, not owned.
    RegisterTool(dxusb *block, QTextStream &out);

    // Writes the test pattern to register 1, checks the read-back in
    // register 11 and prints the firmware version (registers 12, 13).
    int verify();
    int readRegister(int reg);
    int writeRegister(int reg, uint64_t value);
    // The registers the system reads, except register 10: a read there
    // consumes a received word.
    int dump();
    // Selects the channel both ways (register 15), discards what was already
    // waiting, sends CR LF "RDJW" code CR LF and prints what comes back
    // within waitMs.
    int command(const QByteArray &code, int channel, int waitMs);

    static constexpr int registerCount = RegisterMap::registerCount;
    static constexpr int maxChannel = RegisterMap::LinkConfig::channelMask;

private:
    QByteArray drain(int maxWords);
    void printBytes(const QByteArray &bytes);

    dxusb *_block;
    QTextStream &_out;
};

#endif
