#include "ZELK_interface_DLL.h"

#include "interface.h"

ZELK_interface_DLL::ZELK_interface_DLL() : QObject(nullptr), interface_tmp(nullptr)
{
}

ZELK_interface_DLL::~ZELK_interface_DLL()
{
    // A facade dropped while open would leave its reader spinning for the
    // rest of the process.
    interface_close();
}

void ZELK_interface_DLL::interface_open()
{
    if (interface_tmp)
        return;
    interface_tmp = new interface;
    interface_tmp->start();
    interface_tmp->start_thread();
}

void ZELK_interface_DLL::interface_close()
{
    delete interface_tmp;
    interface_tmp = nullptr;
}

void ZELK_interface_DLL::stop()
{
    if (interface_tmp)
        interface_tmp->stop();
}

int ZELK_interface_DLL::verify_cyclone(uint16_t *status_register)
{
    if (interface_tmp)
        return interface_tmp->verify_cyclone(status_register);
    if (status_register) {
        status_register[0] = 0;
        status_register[1] = 0;
    }
    return 0;
}

int ZELK_interface_DLL::data_in_queue(uint32_t *container)
{
    if (interface_tmp)
        return interface_tmp->data_in_queue(container);
    if (container)
        *container = 0;
    return 0;
}

void ZELK_interface_DLL::set_timer(uint32_t time_ms)
{
    if (interface_tmp)
        interface_tmp->set_timer(time_ms);
}

int ZELK_interface_DLL::read_data(uint64_t *data_array, uint32_t size, uint32_t *data_out_size)
{
    if (interface_tmp)
        return interface_tmp->read_data(data_array, size, data_out_size);
    if (data_out_size)
        *data_out_size = 0;
    return 0;
}

int ZELK_interface_DLL::read_available(unsigned char *data, uint32_t size, uint32_t *data_out_size)
{
    if (interface_tmp)
        return interface_tmp->read_available(data, size, data_out_size);
    if (data_out_size)
        *data_out_size = 0;
    return 0;
}

int ZELK_interface_DLL::send_data(char *data_array, uint32_t size, uint32_t *data_out_size)
{
    return send_data(data_array, size, data_out_size, nullptr);
}

int ZELK_interface_DLL::send_data(char *data_array, uint32_t size, uint32_t *data_out_size,
                                  const std::atomic<bool> *stop)
{
    if (interface_tmp)
        return interface_tmp->send_data(data_array, size, data_out_size, stop);
    if (data_out_size)
        *data_out_size = 0;
    return 0;
}

void ZELK_interface_DLL::start_thread()
{
    if (interface_tmp)
        interface_tmp->start_thread();
}

void ZELK_interface_DLL::write_on_register(int registro, uint64_t dato)
{
    if (interface_tmp)
        interface_tmp->write_on_register(registro, dato);
}

void ZELK_interface_DLL::setORV(uint32_t n_ORV_rx, uint32_t n_ORV_tx)
{
    if (interface_tmp)
        interface_tmp->setORV(n_ORV_rx, n_ORV_tx);
}

void ZELK_interface_DLL::clean()
{
    if (interface_tmp)
        interface_tmp->clean();
}

void ZELK_interface_DLL::clear_all_data_circular_queue()
{
    if (interface_tmp)
        interface_tmp->clear_all_data_circular_queue();
}

long ZELK_interface_DLL::return_counter_time()
{
    return interface_tmp ? interface_tmp->return_counter_time() : 0;
}

int ZELK_interface_DLL::data_in_dxusb_queue(uint32_t *exit_num)
{
    if (interface_tmp)
        return interface_tmp->data_in_dxusb_queue(exit_num);
    if (exit_num)
        *exit_num = 0;
    return 0;
}

void ZELK_interface_DLL::set_baudrate(uint32_t baudrate)
{
    if (interface_tmp)
        interface_tmp->set_baudrate(baudrate);
}

void ZELK_interface_DLL::set_multihead_trigger(uint32_t n_orv, uint32_t n_channel_tot, uint32_t channel_trigger,
                                               uint32_t sample_pk, uint32_t n_channel_orv1,
                                               uint32_t n_channel_orv2, uint32_t n_channel_orv3,
                                               uint32_t n_channel_orv4)
{
    if (interface_tmp)
        interface_tmp->set_multihead_trigger(n_orv, n_channel_tot, channel_trigger, sample_pk, n_channel_orv1,
                                             n_channel_orv2, n_channel_orv3, n_channel_orv4);
}

void ZELK_interface_DLL::sync_start()
{
    if (interface_tmp)
        interface_tmp->sync_start();
}

void ZELK_interface_DLL::setTotalChannel(uint32_t n_ORV, uint32_t n_channel)
{
    if (interface_tmp)
        interface_tmp->setTotalChannel(n_ORV, n_channel);
}
