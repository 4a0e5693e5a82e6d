#include "dxusb_read_routine.h"

#include "circular_queue.h"
#include "dxusb.h"
#include "pollingcore.h"
#include "registermap.h"
#include "threadhandover.h"

#include <algorithm>

dxusb_read_routine::dxusb_read_routine(dxusb *dxusb_variable_tmp, circular_queue *queue_tmp)
    : QThread(nullptr), dxusb_variable(dxusb_variable_tmp), queue(queue_tmp), counter_read(0),
      status_reg8_bit_test(0), status_reg8(8), read(true)
{
}

dxusb_read_routine::~dxusb_read_routine()
{
    THREAD_HANDOVER_JOINED(this);
    delete queue;
}

long dxusb_read_routine::return_counter_time()
{
    return counter_read.load(std::memory_order_relaxed);
}

void dxusb_read_routine::set_reading(bool reading_status)
{
    read.store(reading_status, std::memory_order_release);
}

bool dxusb_read_routine::read_pass()
{
    if (dxusb_variable->read(RegisterMap::fifoCount) == 0)
        return false;
    // Taken before the batch is read: a clear of the ring while the batch is
    // in flight drops it instead of letting it follow the clear.
    const long clears = queue->clear_count();
    const uint64_t c = dxusb_variable->read(RegisterMap::fifoCount);
    const uint64_t q = queue->data_in_queue();
    const uint64_t cap = queue->capacity();
    // Not c + q < cap: a glitching FPGA may announce a count near 2^64, and
    // the sum would wrap and let the loop below overrun the ring.
    if (c == 0 || q >= cap || c >= cap - q)
        return false;
    // Into the ring a block at a time: one lock per block, not per word. The
    // block is short, so the first words of a long batch are not held back.
    uint64_t block[blockWords];
    uint64_t stored = 0;
    for (uint64_t done = 0; done < c;) {
        const uint32_t n = uint32_t(std::min<uint64_t>(blockWords, c - done));
        for (uint32_t i = 0; i < n; ++i)
            block[i] = dxusb_variable->read(RegisterMap::fifoData);
        if (queue->queue_write_block(block, n, clears))
            stored += n;
        done += n;
    }
    counter_read.fetch_add(long(stored), std::memory_order_relaxed);
    return true;
}

void dxusb_read_routine::run()
{
    QThread::usleep(10000);
    PollingCore::join();
    while (read.load(std::memory_order_acquire)) {
        // Busy polling keeps the latency low. Every pass leaves the FIFO
        // drained (or the ring full), so the core is handed on after each:
        // the relay thread takes the words at once, and a thread woken on
        // this core does not wait for the scheduler's tick.
        read_pass();
        QThread::yieldCurrentThread();
    }
    THREAD_HANDOVER_ENDED(this);
}
