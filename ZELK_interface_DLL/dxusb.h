#ifndef DXUSB_H
#define DXUSB_H

#include <QObject>
#include <cstdint>
#include <sys/types.h>

class RegisterWindow;
class circular_queue;

// The FPGA's register block behind the HPS-to-FPGA bridge: 64-bit register
// access plus the fixed register sequences of the link.
class dxusb : public QObject
{
    Q_OBJECT

public:
    // Maps the block through the backend ZELK_FPGA selects.
    dxusb();
    // Uses the given window (taken over).
    explicit dxusb(RegisterWindow *window);
    ~dxusb() override;

    // Registers outside the 4096-byte window are ignored (reads give 0).
    void write(int registro, uint64_t dato);
    uint64_t read(int registro);

    void start();
    void stop();
    int verify_cyclone(uint16_t *status_register);
    void send_command_orv(char data1, char data2, char data3, char data4, char data5, char data6);
    uint64_t pk_calculator(int frequency, int n_channels, int pk_time);
    void clean();

private:
    void initFields();
    bool inWindow(int registro) const { return registro >= 0 && registro < page_size / 8; }

    int page_size;
    uint32_t hps2fpga_bridge_base;
    int dxusb_offset;
    off_t dxusb_base;
    RegisterWindow *window;
    circular_queue *queue;
    uint64_t status_reg11;
    uint64_t status_reg12;
    uint64_t status_reg13;
};

#endif
