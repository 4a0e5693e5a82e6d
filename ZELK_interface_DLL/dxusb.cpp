#include "dxusb.h"

#include "registermap.h"
#include "registerwindow.h"

using namespace RegisterMap;

void dxusb::initFields()
{
    page_size = windowBytes;
    hps2fpga_bridge_base = uint32_t(bridgeBase);
    dxusb_offset = blockOffset;
    dxusb_base = off_t(hps2fpga_bridge_base) + dxusb_offset;
    queue = nullptr;
    status_reg11 = 0;
    status_reg12 = 0;
    status_reg13 = 0;
}

dxusb::dxusb() : QObject(nullptr), window(nullptr)
{
    initFields();
    window = RegisterWindow::create(dxusb_base, page_size);
}

dxusb::dxusb(RegisterWindow *w) : QObject(nullptr), window(w)
{
    initFields();
}

dxusb::~dxusb()
{
    delete window;
}

void dxusb::write(int registro, uint64_t dato)
{
    if (!inWindow(registro))
        return;
    window->write(registro, dato);
}

uint64_t dxusb::read(int registro)
{
    if (!inWindow(registro))
        return 0;
    return window->read(registro);
}

void dxusb::start()
{
    write(frameGeometry, 0);
    write(frameGeometry, 0);
    write(headboxChannels, 0);
    write(headboxChannels, 0);
    write(framingControl, Framing::clear);
    window->settle(1000);
    write(linkControl, LinkControl::flush);
    write(linkConfig, 0);
    window->settle(700);
    write(panelControl, 0);
    write(linkControl, LinkControl::flush);
    window->settle(700);
}

void dxusb::stop()
{
    write(panelControl, 0);
    write(linkControl, LinkControl::flush);
    write(linkConfig, 0);
}

int dxusb::verify_cyclone(uint16_t *status_register)
{
    for (int i = 0; i < 8; ++i) {
        write(testPattern, testPatternValue);
        window->settle(1);
    }
    window->settle(1);
    status_reg11 = read(testReadBack);
    status_reg12 = read(firmwareMajor);
    status_reg13 = read(firmwareMinor);
    if (status_register) {
        status_register[1] = uint16_t(status_reg13 & versionMask);
        status_register[0] = uint16_t(status_reg12 & versionMask);
    }
    return status_reg11 == testPatternValue ? 1 : 0;
}

void dxusb::send_command_orv(char data1, char data2, char data3, char data4, char data5, char data6)
{
    char frame[] = "\r\nRDJW000000\r\n";
    const char command[6] = {data1, data2, data3, data4, data5, data6};
    for (int i = 0; i < 6; ++i)
        frame[6 + i] = command[i];
    for (int i = 0; i < 14; ++i) {
        write(transmit, uint64_t(static_cast<unsigned char>(frame[i])));
        window->settle(1);
    }
}

uint64_t dxusb::pk_calculator(int frequency, int n_channels, int pk_time)
{
    // 32-bit arithmetic as on the panel; a zero packet time would trap.
    if (pk_time == 0)
        return 0;
    const int32_t product = int32_t(uint32_t(frequency) * uint32_t(n_channels));
    if (product == INT32_MIN && pk_time == -1)
        return uint64_t(int64_t(INT32_MIN / 2));
    const int32_t result = (product / pk_time) / 2;
    return uint64_t(int64_t(result));
}

void dxusb::clean()
{
    window->settle(10);
    write(linkControl, LinkControl::flush);
    window->settle(10);
    write(linkControl, LinkControl::running);
    window->settle(10);
}
