#include "devmemwindow.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

static_assert(sizeof(uint_fast64_t) == 8, "registers are 64-bit words");

DevMemWindow::DevMemWindow(const char *path, off_t base, int length)
    : page_size(length), fd(-1), dxusb_mem(nullptr), dxusb_base(base), dxusb_map(MAP_FAILED),
      reported(false)
{
    fd = ::open(path, O_RDWR | O_SYNC);
    if (fd < 0) {
        perror("open");
        exit(1);
    }
    // PROT_WRITE alone: the bridge mapping is read through it as well.
    dxusb_map = mmap(nullptr, size_t(page_size), PROT_WRITE, MAP_SHARED, fd, dxusb_base);
    if (dxusb_map == MAP_FAILED) {
        perror("mmap");
        ::close(fd);
        fd = -1;
        fputs("Done\n", stdout);
        fflush(stdout);
        return;
    }
    dxusb_mem = static_cast<volatile uint_fast64_t *>(dxusb_map);
}

DevMemWindow::~DevMemWindow()
{
    if (dxusb_map == MAP_FAILED)
        return;
    fputs("Unmapping HPS2FPGA bridge...\n", stdout);
    fflush(stdout);
    if (munmap(dxusb_map, size_t(page_size)) < 0) {
        perror("munmap");
        ::close(fd);
        return;
    }
    ::close(fd);
}

bool DevMemWindow::usable(int n)
{
    if (dxusb_mem && n >= 0 && n < page_size / 8)
        return true;
    if (!dxusb_mem && !reported.exchange(true))
        fputs("ZELK_interface_DLL: no FPGA register window: register reads give 0, writes are dropped\n",
              stderr);
    return false;
}

uint64_t DevMemWindow::read(int n)
{
    if (!usable(n))
        return 0;
    return dxusb_mem[n];
}

void DevMemWindow::write(int n, uint64_t value)
{
    if (!usable(n))
        return;
    dxusb_mem[n] = value;
}
