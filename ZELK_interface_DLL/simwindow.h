#ifndef SIMWINDOW_H
#define SIMWINDOW_H

#include "registerwindow.h"

// The register block of the process-wide simulated FPGA (sim/fpgasim.h).
class SimWindow : public RegisterWindow
{
public:
    uint64_t read(int n) override;
    void write(int n, uint64_t value) override;
    // Registers take effect as they are written.
    void settle(unsigned long) override {}
};

#endif
