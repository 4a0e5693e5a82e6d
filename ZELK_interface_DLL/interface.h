#ifndef INTERFACE_H
#define INTERFACE_H

#include <QObject>
#include <atomic>
#include <cstdint>

class QElapsedTimer;
class QMutex;
class circular_queue;
class dxusb;
class dxusb_read_routine;

// Turns the register block and the received-word ring into a byte link:
// bytes out one by one through register 14, received words out of the ring
// eight bytes at a time, plus the link and multi-headbox configuration.
class interface : public QObject
{
    Q_OBJECT

public:
    interface();
    ~interface() override;

    void start();
    void stop();
    int verify_cyclone(uint16_t *status_register);
    int data_in_queue(uint32_t *container);
    void set_timer(uint32_t time_ms);
    int read_data(uint64_t *data_array, uint32_t size, uint32_t *data_out_size);
    int read_available(unsigned char *data, uint32_t size, uint32_t *data_out_size);
    int send_data(char *data_array, uint32_t size, uint32_t *data_out_size,
                  const std::atomic<bool> *stop = nullptr);
    void start_thread();
    void write_on_register(int registro, uint64_t dato);
    void setORV(uint32_t n_ORV_rx, uint32_t n_ORV_tx);
    void clean();
    void clear_all_data_circular_queue();
    long return_counter_time();
    int data_in_dxusb_queue(uint32_t *exit_num);
    void set_baudrate(uint32_t baudrate);
    void set_multihead_trigger(uint32_t n_orv, uint32_t n_channel_tot, uint32_t channel_trigger,
                               uint32_t sample_pk, uint32_t n_channel_orv1, uint32_t n_channel_orv2,
                               uint32_t n_channel_orv3, uint32_t n_channel_orv4);
    void sync_start();
    void setTotalChannel(uint32_t n_ORV, uint32_t n_channel);

private:
    void moveWords(uint64_t *data_array, uint32_t words);
    void sendFrameEx(uint8_t command, uint8_t subcommand, uint16_t firstValue, uint16_t secondValue);

    dxusb *dxusb_1;
    QMutex *mutex_program;
    dxusb_read_routine *dxusb_routine;
    circular_queue *dxusb_queue;
    QElapsedTimer *timer_request;
    std::atomic<int> timer_stop;
    uint64_t reg15_status;
};

#endif
