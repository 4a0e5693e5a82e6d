// Arbitrary PC byte streams, cut into arbitrary pieces, through the relay's
// command scanner and frame decoder, as the relay thread drives them.
// Checked: every data byte reaches the headbox once and in order, every good
// frame is executed once and in stream order, frames are never read past
// their end (AddressSanitizer), and the queue never stalls: once the stream
// ends it holds at most an incomplete frame or the start of a key.

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "circularqueue.h"
#include "commandframe.h"
#include "streammodel.h"

using namespace relaytest;

namespace {

const long capacity = 65536;

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "relay fuzz: %s\n", what);
    abort();
}

struct Headbox
{
    QByteArray data;
    QVector<int> executedAfterBytes;
};

// One scanner pass; false when it took nothing.
bool pass(CircularQueue<char> &queue, std::vector<char> &staging, Headbox &headbox)
{
    const CommandFrame::Pass p = CommandFrame::look(&queue, staging.data());
    if (p.taken() == 0)
        return false;
    CommandFrame::take(&queue, p, staging.data());
    if (p.taken() > p.searched)
        fail("took bytes it did not search");
    headbox.data.append(staging.data(), int(p.data));
    if (p.frame > 0 && CommandFrame::decode(staging.data() + p.data, p.frame).status == 0)
        headbox.executedAfterBytes.append(headbox.data.size());
    return true;
}

QByteArray queued(CircularQueue<char> &queue)
{
    QByteArray out(int(queue.NumData()), '\0');
    queue.Get(out.data(), out.size());
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // First byte: how the stream is cut; the rest: the stream.
    quint32 cut = data[0] * 2654435761u + 1;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));

    static CircularQueue<char> queue(capacity);
    static std::vector<char> staging(capacity);
    queue.Purge();
    Headbox headbox;

    int at = 0;
    while (at < stream.size()) {
        cut = cut * 1103515245u + 12345u;
        const long room = queue.FreeSpace();
        const int piece = int(qMin<long>(qMin<long>(1 + (cut >> 8) % 300, stream.size() - at), room));
        if (piece > 0 && queue.Write(const_cast<char *>(stream.constData()) + at, piece) != 0)
            fail("queue refused bytes that fit");
        at += piece;
        bool moved = false;
        const int passes = 1 + int((cut >> 20) % 3);
        for (int k = 0; k < passes; ++k)
            moved = pass(queue, staging, headbox) || moved;
        if (!moved && piece <= 0)
            fail("stalled: queue full and nothing taken");
    }
    while (pass(queue, staging, headbox)) {
    }

    const StreamModel m = model(stream);
    if (headbox.data != m.data)
        fail("headbox data differs from the stream's data");
    if (queued(queue) != m.waiting)
        fail("what stays queued is not an incomplete frame or key start");
    QVector<int> expected;
    for (int i = 0; i < m.frames.size(); ++i) {
        if (answered(m.frames.at(i)))
            expected.append(m.dataBeforeFrame.at(i));
    }
    if (headbox.executedAfterBytes != expected)
        fail("frames executed out of order, twice or not at all");
    return 0;
}
