#ifndef DEVMEMWINDOW_H
#define DEVMEMWINDOW_H

#include "registerwindow.h"

#include <atomic>
#include <cstdint>
#include <sys/types.h>

// The register block mapped from physical memory through a device file
// ("/dev/mem" on the panel). Opening failure ends the process with status 1;
// a failed mapping leaves a window whose reads give 0 and whose writes are
// dropped, reported once on standard error.
class DevMemWindow : public RegisterWindow
{
public:
    DevMemWindow(const char *path, off_t base, int length);
    ~DevMemWindow() override;

    uint64_t read(int n) override;
    void write(int n, uint64_t value) override;

    bool mapped() const { return dxusb_mem != nullptr; }

private:
    bool usable(int n);

    int page_size;
    int fd;
    volatile uint_fast64_t *dxusb_mem;
    off_t dxusb_base;
    void *dxusb_map;
    std::atomic<bool> reported;
};

#endif
