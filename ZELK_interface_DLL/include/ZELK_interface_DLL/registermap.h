#ifndef REGISTERMAP_H
#define REGISTERMAP_H

#include <cstdint>

// The FPGA's register block as this system uses it: the library, the headbox
// layer, the simulated FPGA and zelkreg name registers and fields only from
// here. 64-bit registers, register n at byte offset 8 * n of the window. A
// number can mean one thing when written and another when read (9 and 11).
// The values of registers 5 and 8 and the framing sequence of register 0
// come from the FPGA image, outside this tree: they are named here, not
// explained.
//
// No register reads back what was written, so whoever changes part of one
// keeps a shadow. Register 15 has two, one per layer:
// - OrvInterface::reg15, the program's: every register-15 write of the
//   headbox layer (channels, sync, clock, link set-up) starts from it and
//   reaches the FPGA through write_on_register;
// - interface::reg15_status, the library's: its own register-15 operations
//   (start, setORV, sync_start, set_baudrate, setTotalChannel) start from it.
// write_on_register leaves the library's shadow alone, so the two differ as
// soon as the program has written register 15, and the FPGA holds whichever
// was written last. The program never calls the library's register-15
// operations; a caller of the facade that does keeps to one of the two ways.
namespace RegisterMap {

// The block behind the HPS-to-FPGA bridge.
constexpr long long bridgeBase = 0xC0000000LL;
constexpr int blockOffset = 0x10000;
constexpr long long windowBase = bridgeBase + blockOffset;
constexpr int windowBytes = 4096;
constexpr int registerCount = windowBytes / 8;

// Written.
constexpr int framingControl = 0;    // Framing
constexpr int testPattern = 1;       // testPatternValue, read back through testReadBack
constexpr int triggerControl = 2;    // Trigger::on or Trigger::off
constexpr int triggerDivider = 3;    // two writes: the low half, then the high half
constexpr int linkControl = 5;       // LinkControl
constexpr int panelControl = 8;      // PanelControl
constexpr int frameGeometry = 9;     // two writes: channels in all, then the trigger channel - 1
constexpr int headboxChannels = 11;  // two writes: headboxes 1 and 2, then 3 and 4 (HeadboxChannels)
constexpr int transmit = 14;         // one byte (transmitMask) to the headboxes on the write channel
constexpr int linkConfig = 15;       // LinkConfig

// Read.
constexpr int fifoCount = 9;         // whole words waiting in the read channel's receive FIFO
constexpr int fifoData = 10;         // its next word, stream bytes least significant first; the read takes it
constexpr int testReadBack = 11;     // testPatternValue when the FPGA answers
constexpr int firmwareMajor = 12;    // firmware version, first number (versionMask)
constexpr int firmwareMinor = 13;    // firmware version, second number (versionMask)

constexpr uint64_t testPatternValue = 0xAAAA;
constexpr uint64_t versionMask = 0xFFFF;
constexpr uint64_t transmitMask = 0xFF;

// Register 15, 16 bits wide.
namespace LinkConfig {
constexpr uint16_t bits = 0xFFFF;
constexpr int channelWidth = 3;   // channels 0-7; 0 is the shared one, 1-4 the headboxes
constexpr uint16_t channelMask = (1u << channelWidth) - 1;
constexpr uint16_t readChannel = channelMask;   // bits 0-2: the channel read from
constexpr int writeChannelShift = 3;
constexpr uint16_t writeChannel = channelMask << writeChannelShift;   // bits 3-5: the channel written to
constexpr uint16_t linkOn = 0x0080;   // bit 7: set by the link set-up
constexpr uint16_t sync = 0x0800;     // bit 11: the headboxes stream
constexpr int clockShift = 12;
constexpr uint16_t clockCode = 0x3000;   // bits 12-13: sampling clock (baud-rate) code 0-3

// The register's bits but those of field: what a write that replaces field keeps.
constexpr uint16_t except(uint16_t field)
{
    return uint16_t(bits & ~field);
}
} // namespace LinkConfig

// Register 5.
namespace LinkControl {
constexpr uint16_t flush = 0x0000;     // empties every receive FIFO
constexpr uint16_t setUp = 0x4400;     // during the link set-up
constexpr uint16_t running = 0x0040;   // after the set-up and after a flush
} // namespace LinkControl

// Register 8.
namespace PanelControl {
constexpr uint16_t linkUp = 0x0008;       // left by the link set-up
constexpr uint16_t displayOff = 0x0010;   // bit 4
} // namespace PanelControl

// Registers 2 and 3.
namespace Trigger {
constexpr uint64_t on = 7;
constexpr uint64_t off = 6;
constexpr int halfShift = 16;   // the divider is 32 bits, written 16 at a time
constexpr uint32_t halfMask = 0xFFFF;
} // namespace Trigger

// Register 0: written 0, (frame geometry and headbox channels), 0, (the same
// again), load, 0, then the configuration word.
namespace Framing {
constexpr uint64_t clear = 0;
constexpr uint64_t load = 7;
constexpr uint32_t headboxCount = 0x07;      // bits 0-2
constexpr uint32_t fourByteSamples = 0x80;   // bit 7: 4-byte sample values
constexpr int packetShift = 8;               // bits 8-15: samples per packet - 1, 0 for maxPacket
constexpr uint32_t packetMask = 0xFF;
constexpr uint32_t maxPacket = 512;
} // namespace Framing

// Register 11 as written: the channels of two headboxes, 8 bits each.
namespace HeadboxChannels {
constexpr uint32_t mask = 0xFF;
constexpr int secondShift = 8;

constexpr uint32_t pair(uint32_t first, uint32_t second)
{
    return (first & mask) + ((second & mask) << secondShift);
}
} // namespace HeadboxChannels

} // namespace RegisterMap

#endif
