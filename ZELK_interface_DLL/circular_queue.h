#ifndef CIRCULAR_QUEUE_H
#define CIRCULAR_QUEUE_H

#include <QObject>
#include <atomic>
#include <cstdint>

class QMutex;

// Fixed ring of received 64-bit words between the reader thread (the only
// producer) and read_data or read_available (the consumer). Equal indices mean empty, so it
// holds at most 32767 words; the producer keeps below that, the consumer
// never reads more than data_in_queue() reports.
class circular_queue : public QObject
{
    Q_OBJECT

public:
    explicit circular_queue(QMutex *mutex_circular_queue_tmp);

    void queue_write(uint64_t data);
    // n words in order, under one lock: what n queue_write calls store.
    void queue_write_block(const uint64_t *data, uint32_t n);
    // The same, unless the ring was cleared since clears_seen was read
    // (clear_count()): words taken from the FPGA before a clear are dropped,
    // not stored after it. False when they were dropped.
    bool queue_write_block(const uint64_t *data, uint32_t n, long clears_seen);
    long clear_count();
    void queue_read(uint64_t *data_circular_queue);
    // Up to max_words of the words waiting, counted once, into bytes: eight
    // a word, least significant first, at any alignment. Returns the words.
    uint32_t queue_read_bytes(unsigned char *bytes, uint32_t max_words);
    uint32_t data_in_queue();
    uint32_t capacity();
    long queue_write_pointer_print();
    long queue_read_pointer_print();
    void clear_all_data();

private:
    static constexpr uint32_t ringSize = 0x8000;
    static constexpr long indexMask = 0x7FFF;

    uint32_t queue_capacity;
    uint64_t queue_vector[ringSize];
    // Each index has one writer (producer / consumer, and clear_all_data);
    // a word is stored before the write index that covers it is released.
    std::atomic<long> queue_read_pointer;
    std::atomic<long> queue_write_pointer;
    QMutex *mutex_circular_queue;
    std::atomic<long> _data_circular_queue;   // both threads count
    std::atomic<long> clears;                 // changed under the mutex
    int enable_overflow;
};

#endif
