// Arbitrary PC byte streams, cut into arbitrary pieces, through the relay's
// command scanner and interpreter with a recording headbox link. Checked:
// every data byte reaches the headbox once and in order, every good frame is
// answered once and in stream order, frames are never read past their end
// (AddressSanitizer), and the queue never stalls: once the stream ends it
// holds at most an incomplete frame or the start of a key.

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

#include "orv.h"
#include "recordingorvinterface.h"
#include "relaytestsupport.h"

using namespace relaytest;

namespace {

QCoreApplication *app;
RecordingOrvInterface *link;
Orv *orv;
InterfaceReaderProbe *relay;
QVector<int> answeredAfterBytes;
int writtenBytes;

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "relay fuzz: %s\n", what);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    qInstallMessageHandler(quiet);
    app = new QCoreApplication(*argc, *argv);
    link = new RecordingOrvInterface;
    link->reg15 = 0x0080;
    link->setWriteHook([](const QByteArray &bytes, int) { writtenBytes += bytes.size(); });
    orv = new Orv(link, nullptr);
    relay = new InterfaceReaderProbe(orv, nullptr);
    relay->recordSleeps = true;
    QObject::connect(relay, &InterfaceReader::SendResponse, [] { answeredAfterBytes.append(writtenBytes); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // First byte: how the stream is cut; the rest: the stream.
    quint32 cut = data[0] * 2654435761u + 1;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));

    link->clear();
    relay->purgeTowardsHeadbox();
    answeredAfterBytes.clear();
    writtenBytes = 0;

    int at = 0;
    int idlePasses = 0;
    while (at < stream.size() || idlePasses < 3) {
        cut = cut * 1103515245u + 12345u;
        const long room = 65536 - relay->towardsHeadboxQueued();
        const int piece = int(qMin<long>(qMin<long>(1 + (cut >> 8) % 300, stream.size() - at), room));
        if (piece > 0 && !relay->queueTowardsHeadbox(stream.mid(at, piece)))
            fail("queue refused bytes that fit");
        at += qMax(piece, 0);

        const long before = relay->towardsHeadboxQueued();
        const int writtenBefore = writtenBytes;
        const int passes = 1 + int((cut >> 20) % 3);
        for (int p = 0; p < passes; ++p) {
            if (relay->towardsHeadboxQueued() != 0)
                relay->scan();
        }
        const bool moved = relay->towardsHeadboxQueued() != before || writtenBytes != writtenBefore;
        if (at >= stream.size())
            idlePasses = moved ? 0 : idlePasses + 1;
        else if (!moved && piece <= 0)
            fail("stalled: queue full and nothing taken");
    }

    const StreamModel m = model(stream);
    if (link->written() != m.data)
        fail("headbox data differs from the stream's data");
    if (relay->waitingTowardsHeadbox() != m.waiting)
        fail("what stays queued is not an incomplete frame or key start");
    QVector<int> expected;
    for (int i = 0; i < m.frames.size(); ++i) {
        if (answered(m.frames.at(i)))
            expected.append(m.dataBeforeFrame.at(i));
    }
    if (answeredAfterBytes != expected)
        fail("frames answered out of order, twice or not at all");
    return 0;
}
