#ifndef CIRCULARQUEUE_H
#define CIRCULARQUEUE_H

#include <algorithm>
#include <atomic>
#include <mutex>

// Fixed-capacity ring of elements handed between one producer thread and one
// consumer thread. Every operation but NumData and FreeSpace holds the mutex
// for its whole duration; those two are lock-free snapshots that the producer
// uses to decide how much to write (the count can only fall meanwhile) and
// the consumer how much to read (it can only rise, except after a Purge).
//
// Status results: 0 success, -1 failure. Write and Read move what fits and
// then report failure if that was less than asked.
template <typename T>
class CircularQueue
{
public:
    explicit CircularQueue(long size);
    ~CircularQueue();

    CircularQueue(const CircularQueue &) = delete;
    CircularQueue &operator=(const CircularQueue &) = delete;

    short Write(T *data, long len);
    // Producer only. When len elements fit in one piece after the newest,
    // fill(at, len) stores up to len of them there, straight from their
    // source, and returns how many; they are queued unless a Purge came
    // meanwhile, which drops them with the rest. Returns that count, or -1
    // without calling fill when the free space wraps round before len.
    template <typename Fill>
    long WriteInPlace(long len, Fill fill);
    // *taken, when given, receives the number of elements delivered.
    short Read(T *data, long len, long *taken = nullptr);
    short Get(T *data, long len);
    long Find(T *dataToFind, short lenDataToFind, bool *partialFind);
    long NumData();
    void Purge();
    long FreeSpace();

private:
    long at(long offset) const;
    bool matchesAt(long offset, const T *pattern, long len) const;

    long size;
    // Atomic because NumData/FreeSpace read it without the mutex from the
    // other thread; it is only ever changed under the mutex.
    std::atomic<long> queuedData;
    T *values;
    long front;
    long back;
    long purges; // changed under the mutex
    // A standard mutex: its hand-over is visible to ThreadSanitizer.
    std::mutex mutex;
};

template <typename T>
CircularQueue<T>::CircularQueue(long size)
    : size(size > 0 ? size : 1), queuedData(0), values(new T[this->size]()), front(0), back(0), purges(0)
{
}

template <typename T>
CircularQueue<T>::~CircularQueue()
{
    delete[] values;
}

template <typename T>
short CircularQueue<T>::Write(T *data, long len)
{
    if (len <= 0)
        return 0;
    std::lock_guard<std::mutex> lock(mutex);
    const long queued = queuedData.load();
    const long n = std::min(len, size - queued);
    // At most two blocks: up to the end of values, then from its start.
    const long first = std::min(n, size - front);
    std::copy(data, data + first, values + front);
    std::copy(data + first, data + n, values);
    front = (front + n) % size;
    queuedData.store(queued + n);
    return n == len ? 0 : -1;
}

template <typename T>
template <typename Fill>
long CircularQueue<T>::WriteInPlace(long len, Fill fill)
{
    if (len <= 0)
        return 0;
    long at;
    long purgesSeen;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (len > size - queuedData.load() || len > size - front)
            return -1;
        at = front;
        purgesSeen = purges;
    }
    // Unlocked: the consumer reads only queued elements, and this producer
    // is the only writer of the free ones.
    const long n = std::clamp<long>(fill(values + at, len), 0, len);
    std::lock_guard<std::mutex> lock(mutex);
    if (purges == purgesSeen) {
        front = (at + n) % size;
        queuedData.store(queuedData.load() + n);
    }
    return n;
}

template <typename T>
short CircularQueue<T>::Read(T *data, long len, long *taken)
{
    if (taken)
        *taken = 0;
    if (len <= 0)
        return 0;
    std::lock_guard<std::mutex> lock(mutex);
    const long queued = queuedData.load();
    const long n = std::min(len, queued);
    const long first = std::min(n, size - back);
    std::copy(values + back, values + back + first, data);
    std::copy(values, values + (n - first), data + first);
    back = (back + n) % size;
    queuedData.store(queued - n);
    if (taken)
        *taken = n;
    return n == len ? 0 : -1;
}

// Not checked against the count: the caller asks for no more than is queued.
// A len beyond the capacity is cut to it so that values is never overrun.
template <typename T>
short CircularQueue<T>::Get(T *data, long len)
{
    if (len <= 0)
        return 0;
    std::lock_guard<std::mutex> lock(mutex);
    const long n = std::min(len, size);
    const long first = std::min(n, size - back);
    std::copy(values + back, values + back + first, data);
    std::copy(values, values + (n - first), data + first);
    return 0;
}

// Offset, counted from the oldest element, of the first place where the whole
// pattern is queued; *partialFind false. Without a whole pattern: when the
// queued data ends with a proper prefix of the pattern, *partialFind is true
// and the offset of that prefix (the longest one) is returned; otherwise -1.
// Every start position is tried, so a pattern right after a copy of its own
// first element (the key after a stray 'T') is found.
template <typename T>
long CircularQueue<T>::Find(T *dataToFind, short lenDataToFind, bool *partialFind)
{
    *partialFind = false;
    if (lenDataToFind <= 0)
        return -1;
    std::lock_guard<std::mutex> lock(mutex);
    const long queued = queuedData.load();
    const long len = lenDataToFind;
    const T firstElement = dataToFind[0];
    for (long offset = 0; offset < queued; ++offset) {
        if (!(values[at(offset)] == firstElement))
            continue;
        const long available = queued - offset;
        if (available >= len) {
            if (matchesAt(offset, dataToFind, len))
                return offset;
            continue;
        }
        // Too close to the end for a whole pattern: the earliest such start
        // that matches is the longest prefix at the end.
        if (matchesAt(offset, dataToFind, available)) {
            *partialFind = true;
            return offset;
        }
    }
    return -1;
}

template <typename T>
long CircularQueue<T>::NumData()
{
    return queuedData.load();
}

template <typename T>
void CircularQueue<T>::Purge()
{
    std::lock_guard<std::mutex> lock(mutex);
    queuedData.store(0);
    front = 0;
    back = 0;
    ++purges;
}

template <typename T>
long CircularQueue<T>::FreeSpace()
{
    return size - queuedData.load();
}

template <typename T>
long CircularQueue<T>::at(long offset) const
{
    const long i = back + offset;
    return i < size ? i : i - size;
}

template <typename T>
bool CircularQueue<T>::matchesAt(long offset, const T *pattern, long len) const
{
    for (long k = 0; k < len; ++k) {
        if (!(values[at(offset + k)] == pattern[k]))
            return false;
    }
    return true;
}

#endif
