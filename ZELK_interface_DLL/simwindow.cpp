#include "simwindow.h"

#include "fpgasim.h"

uint64_t SimWindow::read(int n)
{
    return FpgaSim::instance()->read(n);
}

void SimWindow::write(int n, uint64_t value)
{
    FpgaSim::instance()->write(n, value);
}
