#include "interface.h"

#include "circular_queue.h"
#include "dxusb.h"
#include "dxusb_read_routine.h"
#include "registermap.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QThread>

using namespace RegisterMap;

// The register window is mapped once and stays mapped until the process
// ends; an interface opened again after a close uses the same mapping
// instead of mapping (and leaking) another one.
static dxusb *registerBlock()
{
    static dxusb *block = new dxusb;
    return block;
}

interface::interface() : QObject(nullptr)
{
    mutex_program = new QMutex;
    dxusb_queue = new circular_queue(mutex_program);
    dxusb_1 = registerBlock();
    dxusb_routine = new dxusb_read_routine(dxusb_1, dxusb_queue);
    timer_request = new QElapsedTimer;
    timer_stop = 200;
    reg15_status = 0;
}

interface::~interface()
{
    dxusb_routine->set_reading(false);
    dxusb_routine->quit();
    dxusb_routine->wait();
    delete dxusb_routine;   // and the ring with it
    delete timer_request;
    delete mutex_program;
}

void interface::start()
{
    reg15_status = LinkConfig::linkOn;
    timer_request->start();
}

void interface::stop()
{
    dxusb_1->stop();
}

int interface::verify_cyclone(uint16_t *status_register)
{
    return dxusb_1->verify_cyclone(status_register);
}

int interface::data_in_queue(uint32_t *container)
{
    if (container)
        *container = dxusb_queue->data_in_queue() * 8;
    return 0;
}

void interface::set_timer(uint32_t time_ms)
{
    timer_stop = int(time_ms);
}

void interface::moveWords(uint64_t *data_array, uint32_t words)
{
    for (uint32_t i = 0; i < words; ++i)
        dxusb_queue->queue_read(&data_array[i]);
}

int interface::read_data(uint64_t *data_array, uint32_t size, uint32_t *data_out_size)
{
    const uint32_t words = data_array ? size / 8 : 0;
    uint32_t moved = 0;
    if (dxusb_queue->data_in_queue() >= words) {
        moved = words;
    } else {
        timer_request->restart();
        // Spins without sleeping: the answer is wanted as soon as it lands.
        while (timer_request->elapsed() < timer_stop) {
            if (dxusb_queue->data_in_queue() >= words) {
                moved = words;
                break;
            }
            QThread::yieldCurrentThread();
        }
        if (moved < words)
            moved = qMin(dxusb_queue->data_in_queue(), words);
    }
    moveWords(data_array, moved);
    if (data_out_size)
        *data_out_size = moved * 8;
    return 0;
}

int interface::read_available(unsigned char *data, uint32_t size, uint32_t *data_out_size)
{
    const uint32_t words = data ? dxusb_queue->queue_read_bytes(data, size / 8) : 0;
    if (data_out_size)
        *data_out_size = words * 8;
    return 0;
}

int interface::send_data(char *data_array, uint32_t size, uint32_t *data_out_size,
                         const std::atomic<bool> *stop)
{
    const uint32_t count = data_array ? size : 0;
    uint32_t sent = 0;
    for (; sent < count; ++sent) {
        if (stop && stop->load(std::memory_order_acquire))
            break;
        dxusb_1->write(transmit, uint64_t(static_cast<unsigned char>(data_array[sent])));
        // The headbox link has no transmit FIFO: software paces the bytes.
        QThread::usleep(200);
    }
    if (data_out_size)
        *data_out_size = sent;
    return 0;
}

void interface::start_thread()
{
    dxusb_routine->start(QThread::InheritPriority);
}

void interface::write_on_register(int registro, uint64_t dato)
{
    dxusb_1->write(registro, dato);
}

void interface::setORV(uint32_t n_ORV_rx, uint32_t n_ORV_tx)
{
    QThread::msleep(1);
    reg15_status = ((((reg15_status & LinkConfig::except(LinkConfig::readChannel)) + n_ORV_rx)
                     & LinkConfig::except(LinkConfig::writeChannel))
                    + (uint64_t(n_ORV_tx) << LinkConfig::writeChannelShift))
                   & LinkConfig::bits;
    dxusb_1->write(linkConfig, reg15_status);
    QThread::msleep(1);
}

void interface::clean()
{
    dxusb_1->clean();
}

void interface::clear_all_data_circular_queue()
{
    dxusb_queue->clear_all_data();
}

long interface::return_counter_time()
{
    return dxusb_routine->return_counter_time();
}

int interface::data_in_dxusb_queue(uint32_t *exit_num)
{
    if (exit_num)
        *exit_num = uint32_t(dxusb_1->read(fifoCount)) * 8;
    return 0;
}

void interface::set_baudrate(uint32_t baudrate)
{
    uint64_t code;
    switch (baudrate) {
    case 6: code = 0; break;
    case 12: code = 1; break;
    case 24: code = 2; break;
    case 48: code = 3; break;
    default: return;
    }
    reg15_status = (reg15_status & LinkConfig::except(LinkConfig::clockCode)) | (code << LinkConfig::clockShift);
    dxusb_1->write(linkConfig, reg15_status);
}

void interface::set_multihead_trigger(uint32_t n_orv, uint32_t n_channel_tot, uint32_t channel_trigger,
                                      uint32_t sample_pk, uint32_t n_channel_orv1, uint32_t n_channel_orv2,
                                      uint32_t n_channel_orv3, uint32_t n_channel_orv4)
{
    dxusb_1->write(framingControl, Framing::clear);
    dxusb_1->write(frameGeometry, 0);
    dxusb_1->write(frameGeometry, 0);
    dxusb_1->write(headboxChannels, 0);
    dxusb_1->write(headboxChannels, 0);
    QThread::msleep(10);
    dxusb_1->write(framingControl, Framing::clear);
    dxusb_1->write(frameGeometry, n_channel_tot);
    dxusb_1->write(frameGeometry, uint32_t(channel_trigger - 1));
    dxusb_1->write(headboxChannels, HeadboxChannels::pair(n_channel_orv1, n_channel_orv2));
    dxusb_1->write(headboxChannels, HeadboxChannels::pair(n_channel_orv3, n_channel_orv4));
    dxusb_1->write(framingControl, Framing::load);
    dxusb_1->write(framingControl, Framing::clear);
    const uint32_t packet = sample_pk == Framing::maxPacket ? 0 : (sample_pk - 1) & Framing::packetMask;
    dxusb_1->write(framingControl,
                   (n_orv & (Framing::headboxCount | Framing::fourByteSamples)) + (packet << Framing::packetShift));
}

void interface::sync_start()
{
    QThread::msleep(1);
    reg15_status = (reg15_status & LinkConfig::bits) | LinkConfig::sync;
    dxusb_1->write(linkConfig, reg15_status);
    QThread::msleep(1);
}

void interface::sendFrameEx(uint8_t command, uint8_t subcommand, uint16_t firstValue, uint16_t secondValue)
{
    char frame[11] = {'\r', '\n', 0, char(command), char(subcommand),
                      char(firstValue & 0xFF), char(firstValue >> 8),
                      char(secondValue & 0xFF), char(secondValue >> 8), '\r', '\n'};
    uint32_t sent = 0;
    send_data(frame, sizeof frame, &sent);
}

void interface::setTotalChannel(uint32_t n_ORV, uint32_t n_channel)
{
    const uint16_t total = uint16_t((n_ORV * (n_channel & 0xFF)) & 0xFF);
    setORV(1, 1);
    sendFrameEx(0x1F, 0, total, 0);
    QThread::msleep(1);
    setORV(0, 0);
    sendFrameEx(0x31, 0, uint16_t(n_ORV & 0xFF), total);
    QThread::msleep(1);
    sendFrameEx(0x31, 1, 1, 0);
    QThread::msleep(1);
    // The subcommand is one byte: more tables than that cannot be addressed.
    const uint32_t last = qMin<uint32_t>(n_ORV, 0xFF);
    for (uint32_t k = 2; k <= last; ++k)
        sendFrameEx(0x31, uint8_t(k & 0xFF), uint16_t((1 + (k - 1) * n_channel) & 0xFF), 0);
    QThread::msleep(1);
}
