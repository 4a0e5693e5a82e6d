#include "circular_queue.h"

#include <QMutex>
#include <QMutexLocker>
#include <QtEndian>

#include <algorithm>
#include <cstring>

// n words as stream bytes, least significant first.
static void wordsToBytes(const uint64_t *words, uint32_t n, unsigned char *bytes)
{
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    memcpy(bytes, words, size_t(n) * 8);
#else
    for (uint32_t i = 0; i < n; ++i)
        qToLittleEndian<quint64>(words[i], bytes + size_t(i) * 8);
#endif
}

circular_queue::circular_queue(QMutex *mutex_circular_queue_tmp)
    : QObject(nullptr), queue_capacity(ringSize), queue_read_pointer(0), queue_write_pointer(0),
      mutex_circular_queue(mutex_circular_queue_tmp), _data_circular_queue(0), clears(0), enable_overflow(0)
{
}

void circular_queue::queue_write(uint64_t data)
{
    QMutexLocker lock(mutex_circular_queue);
    const long w = queue_write_pointer.load(std::memory_order_acquire) & indexMask;
    queue_vector[w] = data;
    queue_write_pointer.store((w + 1) & indexMask, std::memory_order_release);
}

void circular_queue::queue_write_block(const uint64_t *data, uint32_t n)
{
    QMutexLocker lock(mutex_circular_queue);
    const long w = queue_write_pointer.load(std::memory_order_acquire) & indexMask;
    for (uint32_t i = 0; i < n; ++i)
        queue_vector[(w + long(i)) & indexMask] = data[i];
    queue_write_pointer.store((w + long(n)) & indexMask, std::memory_order_release);
}

bool circular_queue::queue_write_block(const uint64_t *data, uint32_t n, long clears_seen)
{
    QMutexLocker lock(mutex_circular_queue);
    if (clears.load(std::memory_order_relaxed) != clears_seen)
        return false;
    const long w = queue_write_pointer.load(std::memory_order_acquire) & indexMask;
    for (uint32_t i = 0; i < n; ++i)
        queue_vector[(w + long(i)) & indexMask] = data[i];
    queue_write_pointer.store((w + long(n)) & indexMask, std::memory_order_release);
    return true;
}

long circular_queue::clear_count()
{
    return clears.load(std::memory_order_acquire);
}

void circular_queue::queue_read(uint64_t *data_circular_queue)
{
    const long r = queue_read_pointer.load(std::memory_order_acquire) & indexMask;
    *data_circular_queue = queue_vector[r];
    // Releases the slot to the producer only after the word was copied out.
    queue_read_pointer.store((r + 1) & indexMask, std::memory_order_release);
}

uint32_t circular_queue::queue_read_bytes(unsigned char *bytes, uint32_t max_words)
{
    const uint32_t n = std::min(data_in_queue(), max_words);
    const long r = queue_read_pointer.load(std::memory_order_acquire) & indexMask;
    // At most two pieces: up to the end of the ring, then from its start.
    const uint32_t first = std::min(n, uint32_t(ringSize - uint32_t(r)));
    wordsToBytes(queue_vector + r, first, bytes);
    wordsToBytes(queue_vector, n - first, bytes + size_t(first) * 8);
    // Releases the slots to the producer only after the words were copied out.
    queue_read_pointer.store((r + long(n)) & indexMask, std::memory_order_release);
    return n;
}

uint32_t circular_queue::data_in_queue()
{
    const long w = queue_write_pointer.load(std::memory_order_acquire) & indexMask;
    const long r = queue_read_pointer.load(std::memory_order_acquire) & indexMask;
    const long count = w >= r ? w - r : w + long(ringSize) - r;
    _data_circular_queue.store(count, std::memory_order_relaxed);
    return uint32_t(count);
}

uint32_t circular_queue::capacity()
{
    return queue_capacity;
}

long circular_queue::queue_write_pointer_print()
{
    return queue_write_pointer.load(std::memory_order_acquire);
}

long circular_queue::queue_read_pointer_print()
{
    return queue_read_pointer.load(std::memory_order_acquire);
}

void circular_queue::clear_all_data()
{
    QMutexLocker lock(mutex_circular_queue);
    clears.fetch_add(1, std::memory_order_acq_rel);
    queue_read_pointer.store(0, std::memory_order_release);
    queue_write_pointer.store(0, std::memory_order_release);
}
