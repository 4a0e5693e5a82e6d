// Child process for the register-window tests: what happens at opening,
// mapping and unmapping ends up in the exit status and on stdout/stderr.
//
//   zelk_devmem_probe map PATH OFFSET   map PATH at OFFSET, write and read
//                                       register 2 twice, unmap
//   zelk_devmem_probe select            create the window ZELK_FPGA names
#include "devmemwindow.h"
#include "registerwindow.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc == 4 && strcmp(argv[1], "map") == 0) {
        DevMemWindow *window = new DevMemWindow(argv[2], off_t(strtoull(argv[3], nullptr, 0)), 4096);
        for (int i = 0; i < 2; ++i) {
            window->write(2, 0x55);
            printf("register 2 = %" PRIx64 "\n", window->read(2));
        }
        delete window;
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "select") == 0) {
        // Never the real device from a test.
        const char *chosen = getenv("ZELK_FPGA");
        if (!chosen || strcmp(chosen, "devmem") == 0)
            return 3;
        delete RegisterWindow::create(0xC0010000, 4096);
        return 0;
    }
    return 2;
}
