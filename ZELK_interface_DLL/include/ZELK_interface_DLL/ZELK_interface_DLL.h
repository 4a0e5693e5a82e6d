#ifndef ZELK_INTERFACE_DLL_H
#define ZELK_INTERFACE_DLL_H

#include "zelk_interface_dll_global.h"

#include <QObject>
#include <atomic>
#include <cstdint>

class interface;

// The library's entry point: a thin facade over one interface object, which
// owns the FPGA register window, the reader thread and the received-word ring.
//
// Every operation except interface_open() acts only while an interface is
// open; before interface_open() or after interface_close() it does nothing
// and reports no data (verify_cyclone() 0, counts 0, read_data() 0 bytes).
class ZELK_INTERFACE_DLL_EXPORT ZELK_interface_DLL : public QObject
{
    Q_OBJECT

public:
    ZELK_interface_DLL();
    // Closes an interface still open, so no reader outlives its facade.
    ~ZELK_interface_DLL() override;

    // Maps the register window, programs the link defaults and starts the
    // reader thread. Ends the process (status 1) when the register device
    // cannot be opened. Opening an already open facade does nothing.
    void interface_open();
    // Stops and joins the reader; the register window stays mapped (one
    // mapping per process, reused by a later open). Harmless when nothing
    // is open.
    void interface_close();

    void stop();
    // 1 when the FPGA reads the test pattern back, 0 otherwise.
    // status_register[0] and [1] receive the firmware version numbers.
    int verify_cyclone(uint16_t *status_register);
    // Bytes received and waiting in the ring (a multiple of 8).
    int data_in_queue(uint32_t *container);
    void set_timer(uint32_t time_ms);
    // Moves up to size / 8 whole received words into data_array, waiting at
    // most the time-out for them; *data_out_size receives the byte count.
    int read_data(uint64_t *data_array, uint32_t size, uint32_t *data_out_size);
    // Moves up to size / 8 of the whole words already received into data,
    // without waiting: eight bytes a word, least significant first, any
    // alignment; *data_out_size receives the byte count (0 when none waits).
    // One count of the ring and one copy, for a reader that polls.
    int read_available(unsigned char *data, uint32_t size, uint32_t *data_out_size);
    // Sends size bytes to the selected headbox channel, about 200 us each.
    int send_data(char *data_array, uint32_t size, uint32_t *data_out_size);
    // The same, but stops between two bytes once *stop is set (a long write
    // takes seconds); *data_out_size receives the bytes actually sent.
    int send_data(char *data_array, uint32_t size, uint32_t *data_out_size, const std::atomic<bool> *stop);
    void start_thread();
    void write_on_register(int registro, uint64_t dato);
    void setORV(uint32_t n_ORV_rx, uint32_t n_ORV_tx);
    void clean();
    void clear_all_data_circular_queue();
    long return_counter_time();
    // Bytes waiting in the FPGA, not yet moved into the ring.
    int data_in_dxusb_queue(uint32_t *exit_num);
    void set_baudrate(uint32_t baudrate);
    void set_multihead_trigger(uint32_t n_orv, uint32_t n_channel_tot, uint32_t channel_trigger,
                               uint32_t sample_pk, uint32_t n_channel_orv1, uint32_t n_channel_orv2,
                               uint32_t n_channel_orv3, uint32_t n_channel_orv4);
    void sync_start();
    void setTotalChannel(uint32_t n_ORV, uint32_t n_channel);

private:
    Q_DISABLE_COPY(ZELK_interface_DLL)

    interface *interface_tmp;
};

#endif
