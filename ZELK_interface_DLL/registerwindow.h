#ifndef REGISTERWINDOW_H
#define REGISTERWINDOW_H

#include <cstdint>

// The FPGA's block of 64-bit registers, register n at byte offset 8 * n.
// Two kinds exist: the real block mapped from the bridge, and the simulated
// FPGA for machines without one.
class RegisterWindow
{
public:
    virtual ~RegisterWindow() = default;
    virtual uint64_t read(int n) = 0;
    virtual void write(int n, uint64_t value) = 0;
    // Gives the device the time it needs after the writes so far (start-up,
    // clean pulse, test pattern, paced command bytes): the real FPGA takes
    // the full ms, the simulated one has settled at once.
    virtual void settle(unsigned long ms);

    // The window named by ZELK_FPGA ("devmem" or "sim"), or the build's
    // default when it is unset; says on standard error which one it is.
    // The devmem window maps `length` bytes at physical address `base`.
    static RegisterWindow *create(long long base, int length);
};

#endif
