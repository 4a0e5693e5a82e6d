#include "registerwindow.h"

#include "devmemwindow.h"
#include "simwindow.h"

#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef ZELK_FPGA_DEFAULT_BACKEND
#define ZELK_FPGA_DEFAULT_BACKEND "sim"
#endif

void RegisterWindow::settle(unsigned long ms)
{
    QThread::msleep(ms);
}

RegisterWindow *RegisterWindow::create(long long base, int length)
{
    const char *chosen = getenv("ZELK_FPGA");
    if (!chosen || !*chosen) {
        chosen = ZELK_FPGA_DEFAULT_BACKEND;
    } else if (strcmp(chosen, "devmem") != 0 && strcmp(chosen, "sim") != 0) {
        fprintf(stderr, "ZELK_interface_DLL: ZELK_FPGA=%s is neither devmem nor sim, using %s\n",
                chosen, ZELK_FPGA_DEFAULT_BACKEND);
        chosen = ZELK_FPGA_DEFAULT_BACKEND;
    }
    if (strcmp(chosen, "devmem") == 0) {
        fprintf(stderr, "ZELK_interface_DLL: FPGA registers through /dev/mem\n");
        return new DevMemWindow("/dev/mem", off_t(base), length);
    }
    fprintf(stderr, "ZELK_interface_DLL: FPGA registers of the simulated FPGA\n");
    return new SimWindow;
}
