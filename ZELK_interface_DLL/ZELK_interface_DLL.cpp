#include "ZELK_interface_DLL.h"

ZELK_interface_DLL::ZELK_interface_DLL() : QObject(nullptr), interface_tmp(nullptr) {}
ZELK_interface_DLL::~ZELK_interface_DLL() {}
void ZELK_interface_DLL::interface_open() {}
void ZELK_interface_DLL::interface_close() {}
void ZELK_interface_DLL::stop() {}
int ZELK_interface_DLL::verify_cyclone(uint16_t *) { return 0; }
int ZELK_interface_DLL::data_in_queue(uint32_t *container) { *container = 0; return 0; }
void ZELK_interface_DLL::set_timer(uint32_t) {}
int ZELK_interface_DLL::read_data(uint64_t *, uint32_t, uint32_t *data_out_size) { *data_out_size = 0; return 0; }
int ZELK_interface_DLL::send_data(char *, uint32_t size, uint32_t *data_out_size) { *data_out_size = size; return 0; }
void ZELK_interface_DLL::start_thread() {}
void ZELK_interface_DLL::write_on_register(int, uint64_t) {}
void ZELK_interface_DLL::setORV(uint32_t, uint32_t) {}
void ZELK_interface_DLL::clean() {}
void ZELK_interface_DLL::clear_all_data_circular_queue() {}
long ZELK_interface_DLL::return_counter_time() { return 0; }
int ZELK_interface_DLL::data_in_dxusb_queue(uint32_t *exit_num) { *exit_num = 0; return 0; }
void ZELK_interface_DLL::set_baudrate(uint32_t) {}
void ZELK_interface_DLL::set_multihead_trigger(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {}
void ZELK_interface_DLL::sync_start() {}
void ZELK_interface_DLL::setTotalChannel(uint32_t, uint32_t) {}
