#ifndef DXUSB_READ_ROUTINE_H
#define DXUSB_READ_ROUTINE_H

#include <QThread>
#include <atomic>
#include <cstdint>

class dxusb;
class circular_queue;

// The library's reader: polls the FPGA receive FIFO without sleeping and
// moves every announced word into the ring, all of a batch or none of it.
class dxusb_read_routine : public QThread
{
    Q_OBJECT

public:
    dxusb_read_routine(dxusb *dxusb_variable_tmp, circular_queue *queue_tmp);
    ~dxusb_read_routine() override;

    long return_counter_time();
    void set_reading(bool reading_status);

    // One pass of the polling loop; true when words were moved.
    bool read_pass();

protected:
    void run() override;

private:
    static constexpr uint32_t blockWords = 64;

    dxusb *dxusb_variable;
    circular_queue *queue;
    std::atomic<long> counter_read;   // wraps
    uint64_t status_reg8_bit_test;
    uint64_t status_reg8;
    std::atomic<bool> read;
};

#endif
