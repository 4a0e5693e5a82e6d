#include "faketerminal.h"

#include "streampattern.h"
#include "terminalframe.h"

#include <QTcpServer>
#include <QTcpSocket>

FakeTerminal::FakeTerminal(QObject *parent)
    : QObject(parent), _data(new QTcpServer(this)), _answer(new QTcpServer(this))
{
    connect(_data, &QTcpServer::newConnection, this, &FakeTerminal::dataConnection);
    connect(_answer, &QTcpServer::newConnection, this, &FakeTerminal::answerConnection);
    connect(&pumpTimer, &QTimer::timeout, this, &FakeTerminal::pump);
    delayTimer.setSingleShot(true);
    delayTimer.setTimerType(Qt::PreciseTimer);
    connect(&delayTimer, &QTimer::timeout, this, &FakeTerminal::delayOver);
    connect(&floodTimer, &QTimer::timeout, this, &FakeTerminal::flood);
}

FakeTerminal::~FakeTerminal()
{
    pumpTimer.stop();
    floodTimer.stop();
    delete _data;
    delete _answer;
}

bool FakeTerminal::listen(const QHostAddress &address, quint16 dataPort, quint16 answerPort)
{
    return _data->listen(address, dataPort) && _answer->listen(address, answerPort);
}

void FakeTerminal::dataConnection()
{
    while (QTcpSocket *s = _data->nextPendingConnection()) {
        if (_client) {
            ++refusedClients;
            s->close();
            continue;
        }
        ++dataConnections;
        _client = s;
        connect(s, &QTcpSocket::readyRead, this, &FakeTerminal::readData);
        connect(s, &QTcpSocket::disconnected, this, &FakeTerminal::dataClientGone);
    }
}

void FakeTerminal::answerConnection()
{
    while (QTcpSocket *s = _answer->nextPendingConnection()) {
        ++answerConnections;
        if (closeAnswerClients) {
            s->close();
            continue;
        }
        _answerClient = s;
        if (floodOks)
            floodTimer.start(0);
    }
}

void FakeTerminal::flood()
{
    static const QByteArray oks = QByteArray("ok").repeated(64 * 1024);
    if (!_answerClient || _answerClient->state() != QAbstractSocket::ConnectedState) {
        floodTimer.stop();
        return;
    }
    if (_answerClient->bytesToWrite() < oks.size())
        _answerClient->write(oks);
}

void FakeTerminal::dropAnswerClient()
{
    if (!_answerClient)
        return;
    _answerClient->close();
    _answerClient = nullptr;
}

void FakeTerminal::dataClientGone()
{
    if (sender() != _client)
        return;
    _client = nullptr;
    syncOn = false;
    pumpTimer.stop();
}

void FakeTerminal::readData()
{
    if (!_client)
        return;
    pending += _client->readAll();
    scan();
}

void FakeTerminal::scan()
{
    while (!delayTimer.isActive()) {
        const int key = pending.indexOf(TerminalFrame::key());
        if (key < 0) {
            // Keep what could be the start of a key.
            const int keep = qMin(3, pending.size());
            headboxBytes += pending.left(pending.size() - keep);
            pending = pending.right(keep);
            return;
        }
        headboxBytes += pending.left(key);
        pending.remove(0, key);
        if (pending.size() < TerminalFrame::OverheadSize)
            return;
        const int size = TerminalFrame::lenParamOf(pending.constData()) + TerminalFrame::OverheadSize;
        if (pending.size() < size)
            return;
        const QByteArray frame = pending.left(size);
        pending.remove(0, size);
        execute(frame);
    }
}

void FakeTerminal::execute(const QByteArray &f)
{
    TerminalFrame::Parsed parsed;
    if (!TerminalFrame::parse(f, &parsed) || !parsed.checksumOk()) {
        ++badChecksums;
        return;
    }
    const int code = parsed.code;
    const QByteArray params = parsed.params;
    frames.append({ code, params });
    if (code == 7 && params.size() >= 2) {
        syncOn = params[0] != 0 || params[1] != 0;
        if (syncOn && streamOnSync) {
            if (nextSeq == 0)
                nextSeq = firstWord;
            pumpTimer.start(0);
        }
        else
            pumpTimer.stop();
    }
    if (code == 8 && params.size() >= 4) {
        const int ms = quint8(params[0]) | quint8(params[1]) << 8 | quint8(params[2]) << 16;
        // The answer and every later byte wait.
        delayTimer.start(maxDelayMs >= 0 ? qMin(ms, maxDelayMs) : ms);
        return;
    }
    answer();
}

void FakeTerminal::delayOver()
{
    answer();
    scan();
}

void FakeTerminal::answer()
{
    if (answerOk && _answerClient)
        _answerClient->write(answerTwice ? "okok" : "ok");
}

void FakeTerminal::pump()
{
    if (!_client || !syncOn) {
        pumpTimer.stop();
        return;
    }
    const int wordsPerChunk = 8192;
    while (_client && _client->bytesToWrite() < 1024 * 1024) {
        QByteArray chunk(wordsPerChunk * 8, Qt::Uninitialized);
        int n = 0;
        const uint64_t now = StreamPattern::nowNs();
        while (n < wordsPerChunk) {
            const quint64 seq = nextSeq++;
            if (qint64(seq) == dropWordAt)
                continue;
            StreamPattern::storeWord(chunk.data() + n * 8, StreamPattern::word(1, seq, now));
            ++n;
        }
        if (corruptAt >= streamed && corruptAt < streamed + chunk.size()) {
            char *c = chunk.data() + (corruptAt - streamed);
            *c = char(*c ^ 0x5A);
            corruptedValue = *c;
        }
        if (closeAfter >= 0 && streamed + chunk.size() >= closeAfter) {
            _client->write(chunk.left(int(closeAfter - streamed)));
            streamed = closeAfter;
            _client->disconnectFromHost();
            return;
        }
        _client->write(chunk);
        streamed += chunk.size();
    }
}
