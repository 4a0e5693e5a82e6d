#include "interfacereader.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <utility>

#include "connectionpolicy.h"
#include "orv.h"
#include "pollingcore.h"
#include "quarnellog.h"
#include "quarnelprotocol.h"
#include "relaydebug.h"
#include "terminalframe.h"

InterfaceReader::InterfaceReader(Orv *orv, QuarnelLog *log)
    : QThread(nullptr),
      _log(log),
      pause(true),
      end(false),
      passing(false),
      writeStop(true),
      writeCut(false),
      _orv(orv),
      _client(nullptr),
      clientAnswer(nullptr),
      busy(false),
      scannerTook(false),
      writePending(false),
      readPending(false),
      connectionGeneration(0),
      cleanedGeneration(0),
      hostLookupId(-1),
      runEnded(false),
      interpreter(orv, log, this)
{
    bufTcpToOrv1 = new CircularQueue<char>(toOrvCapacity);
    bufOrvToTcp = new CircularQueue<unsigned char>(toTcpCapacity);

    _tcpServer = new QTcpServer();
    tcpServerAnswer = new QTcpServer();
    connect(_tcpServer, &QTcpServer::newConnection, this, &InterfaceReader::ClientConnected);
    connect(tcpServerAnswer, &QTcpServer::newConnection, this, &InterfaceReader::ClientAnswerConnected);
    connect(this, &InterfaceReader::SendResponse, this, &InterfaceReader::SendResponseToClient);
    connect(this, &InterfaceReader::ProgramDataWanted, this, &InterfaceReader::ReadFromProgram);

    vanishCheck = new QTimer(this);
    vanishCheck->setInterval(vanishCheckMs);
    connect(vanishCheck, &QTimer::timeout, this, &InterfaceReader::CheckVanishedPeers);
    vanishCheck->start();

    _tcpServer->listen(QHostAddress::Any, QuarnelProtocol::DataPort);
    tcpServerAnswer->listen(QHostAddress::Any, QuarnelProtocol::AnswerPort);
}

InterfaceReader::~InterfaceReader()
{
    // Pairs with the store at the end of run(): everything the relay thread
    // did is seen as done before the queues go (QThread::wait's own
    // hand-over is invisible to ThreadSanitizer).
    runEnded.load();
    // The servers take their sockets with them; a socket closing in its
    // destructor must not call back into a relay that is going away.
    if (_client)
        _client->disconnect(this);
    if (clientAnswer)
        clientAnswer->disconnect(this);
    _client = nullptr;
    clientAnswer = nullptr;
    AbortHostLookup();

    delete bufTcpToOrv1;
    delete bufOrvToTcp;
    delete _tcpServer;
    delete tcpServerAnswer;
}

void InterfaceReader::Resume()
{
    sync.lock();
    pause = false;
    writeStop = end.load();
    sync.unlock();
    pauseCond.wakeAll();
}

void InterfaceReader::Pause()
{
    {
        QMutexLocker lock(&sync);
        pause = true;
        writeStop = true;
    }
    WakeCommandSleep();
    // Called from the loop's own thread, the pass under way is the caller's.
    if (QThread::currentThread() == this)
        return;
    // No give-up: a pass given up on would go on driving the link after the
    // end of the exam (a departed PC's sync on, a chunk for the next PC's
    // headboxes). Its writes and command 8's pause end at once.
    QMutexLocker lock(&sync);
    while (passing)
        idleCond.wait(&sync);
}

void InterfaceReader::Terminate()
{
    {
        QMutexLocker lock(&sync);
        end = true;
        writeStop = true;
        pauseCond.wakeAll();
    }
    WakeCommandSleep();
}

void InterfaceReader::Stop()
{
    Terminate();
    wait();
    // Pairs with the store at the end of run(), as in the destructor, but
    // before it: the destructor's first step resets the object's virtual
    // tables, which the relay thread used.
    runEnded.load();
}

bool InterfaceReader::StopRequested() const
{
    return pause.load() || end.load();
}

void InterfaceReader::WakeCommandSleep()
{
    QMutexLocker lock(&sync);
    stopCond.wakeAll();
}

void InterfaceReader::SocketTcp(QTcpSocket *s)
{
    _client = s;
}

void InterfaceReader::ReadyToRead()
{
    Resume();
}

void InterfaceReader::run()
{
    // The core of the library's reader, which this loop takes turns with.
    PollingCore::join();
    quint16 conta = 0;
    for (;;) {
        {
            QMutexLocker lock(&sync);
            passing = false;
            idleCond.wakeAll();
            while (pause && !end)
                pauseCond.wait(&sync);
            passing = !end;
        }
        if (!passing) {
            runEnded.store(true);
            return;
        }

        DropFinishedStream();

        scannerTook = false;
        if (bufTcpToOrv1->NumData() != 0)
            DataToHeadboxAndParseCommand();
        const bool tookFromProgram = scannerTook;
        // The exam has ended under the scanner: the pass ends here, so that
        // the stop sequence waits no longer than it must.
        if (StopRequested())
            continue;
        if (tookFromProgram && !readPending.exchange(true))
            emit ProgramDataWanted();

        int letti = 0;
        if (bufOrvToTcp->FreeSpace() >= orvReadBlock) {
            letti = ReadHeadbox();
        } else if (conta <= 9) {
            ++conta;
        } else {
            if (fullFromOrv.due())
                Debug(QStringLiteral("CODA PIENA"));
            conta = 0;
        }

        const long queued = bufOrvToTcp->NumData();
        if (queued > 0 && !writePending.load() && (queued >= orvReadBlock || writeNotice.due())
            && !writePending.exchange(true))
            emit WriteDataReady(letti);

        if (letti == 0)
            QCoreApplication::processEvents();
        // Less than a whole block: the ring is drained (or bufOrvToTcp full),
        // so the reader, which shares this core, gets it until it has moved
        // the next words; so does a thread woken on this core.
        if (letti < orvReadBlock && !tookFromProgram)
            QThread::yieldCurrentThread();
    }
}

void InterfaceReader::DropFinishedStream()
{
    const unsigned generation = connectionGeneration.load();
    if (generation == cleanedGeneration.load())
        return;
    // What the previous PC left (a partial frame included) must not reach
    // the headbox in the new exam.
    bufTcpToOrv1->Purge();
    cleanedGeneration.store(generation);
    if (!readPending.exchange(true))
        emit ProgramDataWanted();
}

bool InterfaceReader::CommandSleep(unsigned long ms)
{
    // Up to a minute: neither the end of the exam nor a shutdown may wait
    // for it (the service manager kills a program that takes 15 s to stop).
    QDeadlineTimer deadline(qint64(ms), Qt::PreciseTimer);
    QMutexLocker lock(&sync);
    while (!StopRequested() && !deadline.hasExpired())
        stopCond.wait(&sync, deadline);
    return !StopRequested();
}

void InterfaceReader::ClientConnected()
{
    while (QTcpSocket *s = _tcpServer->nextPendingConnection()) {
        // A PC that closed and reconnected at once: its old connection's end
        // may not have been noticed yet.
        if (_client && ConnectionPolicy::PeerHasClosed(_client))
            ClientDisconnected();
        if (!_client) {
            AcceptClient(s);
            continue;
        }
        Log(ConnectionPolicy::RefusedText(s->peerAddress()));
        ConnectionPolicy::Drop(s, this);
    }
}

void InterfaceReader::AcceptClient(QTcpSocket *s)
{
    DebugWithTime(QStringLiteral("ClientConnected"));
    emit ReadyToStartExam();
    _client = s;
    // An answer connection another PC kept open after its exam would get
    // this PC's answers.
    if (clientAnswer && !ConnectionPolicy::AnswerAllowed(clientAnswer->peerAddress(), s)) {
        Log(ConnectionPolicy::AnswerClosedText(clientAnswer->peerAddress(), s->peerAddress()));
        ConnectionPolicy::Drop(std::exchange(clientAnswer, nullptr), this);
    }
    // The dual-stack server reports an IPv4 PC in its mapped form
    // (::ffff:a.b.c.d), which has no reverse name and would reach the
    // panel as that text.
    const QHostAddress peer(ConnectionPolicy::AddressText(s->peerAddress()));
    // By name: Qt 5.15 leaks the slot object of a pointer lookup that is aborted.
    hostLookupId = QHostInfo::lookupHost(peer.toString(), this, SLOT(HostInfo(QHostInfo)));
    emit IpHost(peer);

    // A bounded read buffer lets TCP's window hold the PC back while
    // bufTcpToOrv1 is full, instead of dropping its bytes.
    s->setReadBufferSize(toOrvCapacity);
    ConnectionPolicy::EnableKeepAlive(s);
    connect(s, &QTcpSocket::readyRead, this, &InterfaceReader::ReadFromProgram);
    connect(s, &QTcpSocket::disconnected, this, &InterfaceReader::ClientDisconnected);
    connect(s, &QTcpSocket::bytesWritten, this, &InterfaceReader::ClientBytesWritten);
    connect(s, &QTcpSocket::errorOccurred, this, &InterfaceReader::ClientError);
    // By name, as its disconnect: ThreadSanitizer cannot see Qt's locks
    // around a pointer connection's slot object the relay thread shares.
    connect(this, SIGNAL(WriteDataReady(int)), this, SLOT(WriteData(int)), Qt::UniqueConnection);
    writePending.store(false);
    readPending.store(false);

    // Only what reaches the FPGA from now on is this PC's: the previous
    // exam's stream, a late answer to a presence check (the checker has
    // just been paused) and echoes of an earlier PC's bytes are dropped
    // from the FPGA, the library's ring and the queue towards the PC. The
    // loop is parked, so the link is ours.
    if (_orv)
        _orv->ClearRxBuffer();
    bufOrvToTcp->Purge();
    connectionGeneration.fetch_add(1);
    Resume();
}

void InterfaceReader::ClientDisconnected()
{
    QTcpSocket *from = qobject_cast<QTcpSocket *>(sender());
    if (from && from != _client)
        return;

    Log(QStringLiteral("Client Disconnected"));
    DebugWithTime(QStringLiteral("Client Disconnected"));
    disconnect(this, SIGNAL(WriteDataReady(int)), this, SLOT(WriteData(int)));

    // The loop's last pass ends before the stop sequence drives the link
    // and before the presence checker resumes (EndExamOrDisconnection).
    Pause();
    // Without a PC (the cable pulled between exams) no acquisition runs and
    // the presence checker owns the link: stopping the headboxes from here
    // would interleave our frames and channel selection with its checks.
    if (_client)
        interpreter.EndExam(writeCut.exchange(false));

    if (QTcpSocket *gone = std::exchange(_client, nullptr))
        ConnectionPolicy::Drop(gone, this);
    AbortHostLookup();
    emit EndExamOrDisconnection();
    emit IpHostName(QString(""));
}

void InterfaceReader::ClientError(QAbstractSocket::SocketError errorCode)
{
    getErrorCode(errorCode);
    QTcpSocket *from = qobject_cast<QTcpSocket *>(sender());
    if (from && from == _client && from->state() == QAbstractSocket::UnconnectedState)
        ClientDisconnected();
}

void InterfaceReader::ReadFromProgram()
{
    readPending.store(false);
    if (busy || !_client)
        return;
    // Until the relay thread has dropped the previous PC's leftovers, the
    // new PC's bytes wait in the socket; the relay prompts us afterwards.
    if (cleanedGeneration.load() != connectionGeneration.load())
        return;
    busy = true;
    char buf[toOrvCapacity];
    for (;;) {
        const qint64 n = std::min<qint64>({_client->bytesAvailable(), qint64(sizeof(buf)),
                                           qint64(bufTcpToOrv1->FreeSpace())});
        if (n <= 0)
            break;
        const qint64 got = _client->read(buf, n);
        if (got <= 0)
            break;
        if (bufTcpToOrv1->Write(buf, long(got)) != 0 && fullFromProgram.due())
            Debug(QStringLiteral("CODA PIENA"));
    }
    busy = false;
}

void InterfaceReader::WriteData(int nDati)
{
    Q_UNUSED(nDati);
    if (!_client) {
        writePending.store(false);
        return;
    }
    // A PC that does not read: leave the notification pending so that the
    // relay stops sending more; bytesWritten resumes once the socket drains.
    if (_client->bytesToWrite() >= maxUnsentBytes)
        return;
    writePending.store(false);

    // Everything queued, a block at a time, not one block per notice: the
    // relay thread announces again only on its next pass, which a long
    // command or a paced write can hold back for seconds.
    for (int block = 0; block < blocksPerNotice; ++block) {
        // A write can end the connection (an error served at once).
        if (!_client)
            return;
        if (_client->bytesToWrite() >= maxUnsentBytes) {
            // bytesWritten goes on once the socket drains.
            writePending.store(true);
            return;
        }
        if (!WriteBlock())
            return;
    }
}

bool InterfaceReader::WriteBlock()
{
    const long n = std::min<long>(bufOrvToTcp->NumData(), tcpWriteBlock);
    if (n == 0)
        return false;
    long taken = 0;
    if (bufOrvToTcp->Read(datiSup, n, &taken) != 0 && shortQueueRead.due())
        Debug(QStringLiteral("BBBOOOOOOOOOOHHHHHHHHH"));
    if (taken == 0)
        return false;
    const qint64 written = _client->write(reinterpret_cast<const char *>(datiSup), taken);
    if (written != taken && shortSocketWrite.due())
        Debug(QStringLiteral("WRITE ERROR"));
    _client->flush();
    // Only a full block means a backlog to drain. Bytes that arrived while
    // this one was written get a notice of their own: chasing them here in
    // small writes cost the GUI thread a write per few words at 4 MB/s.
    return taken == tcpWriteBlock;
}

void InterfaceReader::ClientBytesWritten(qint64 bytes)
{
    Q_UNUSED(bytes);
    if (!_client || !writePending.load())
        return;
    if (_client->bytesToWrite() < maxUnsentBytes)
        WriteData(0);
}

void InterfaceReader::ClientAnswerConnected()
{
    while (QTcpSocket *s = tcpServerAnswer->nextPendingConnection()) {
        // A data client that has gone, its end not noticed yet, no longer
        // holds the answer port.
        if (_client && ConnectionPolicy::PeerHasClosed(_client))
            ClientDisconnected();
        // While a PC streams, its answers go to it alone: a refused second
        // PC must not take them over.
        if (!ConnectionPolicy::AnswerAllowed(s->peerAddress(), _client)) {
            Log(ConnectionPolicy::AnswerRefusedText(s->peerAddress(), _client->peerAddress()));
            ConnectionPolicy::Drop(s, this);
            continue;
        }
        // The newest answer connection wins (a PC may connect it before the
        // data port, or reconnect at once); the one it replaces is closed.
        if (clientAnswer)
            ConnectionPolicy::Drop(clientAnswer, this);
        clientAnswer = s;
        ConnectionPolicy::SmallSendBuffer(s);
        // Answers unacknowledged by a vanished PC would otherwise hold this
        // connection for TCP's retransmissions, long after its exam.
        ConnectionPolicy::EnableKeepAlive(s);
        connect(s, &QTcpSocket::disconnected, this, &InterfaceReader::ClientAnswerDisconnected);
        connect(s, &QTcpSocket::readyRead, this, &InterfaceReader::DiscardAnswerInput);
    }
}

void InterfaceReader::ClientAnswerDisconnected()
{
    QTcpSocket *from = qobject_cast<QTcpSocket *>(sender());
    if ((from && from != clientAnswer) || !clientAnswer)
        return;
    ConnectionPolicy::Drop(std::exchange(clientAnswer, nullptr), this);
}

void InterfaceReader::CheckVanishedPeers()
{
    if (_client && ConnectionPolicy::PeerVanished(_client)) {
        Log(ConnectionPolicy::VanishedText(_client->peerAddress()));
        ClientDisconnected();
    }
    if (clientAnswer && ConnectionPolicy::PeerVanished(clientAnswer)) {
        Log(ConnectionPolicy::VanishedText(clientAnswer->peerAddress()));
        ConnectionPolicy::Drop(std::exchange(clientAnswer, nullptr), this);
    }
}

void InterfaceReader::DiscardAnswerInput()
{
    // The answer port carries nothing inbound; unread input would pile up.
    if (clientAnswer)
        clientAnswer->readAll();
}

void InterfaceReader::SendResponseToClient()
{
    if (!clientAnswer)
        return;
    if (clientAnswer->bytesToWrite() >= maxUnsentAnswerBytes) {
        Log(ConnectionPolicy::AnswerUnreadText(clientAnswer->peerAddress(), clientAnswer->bytesToWrite()));
        ConnectionPolicy::Drop(std::exchange(clientAnswer, nullptr), this);
        return;
    }
    clientAnswer->write("ok", 2);
    clientAnswer->flush();
}

void InterfaceReader::AbortHostLookup()
{
    if (hostLookupId != -1)
        QHostInfo::abortHostLookup(hostLookupId);
    hostLookupId = -1;
}

void InterfaceReader::HostInfo(QHostInfo info)
{
    // A late answer for a PC that has already gone is of no use.
    if (info.lookupId() != hostLookupId)
        return;
    hostLookupId = -1;
    emit IpHostName(info.hostName());
}

void InterfaceReader::getErrorCode(QAbstractSocket::SocketError errorCode)
{
    DebugWithTime(QStringLiteral("Socket error:%1 %2")
                      .arg(int(errorCode))
                      .arg(_client ? _client->errorString() : QString()));
}

void InterfaceReader::Log(const QString &text)
{
    if (_log)
        _log->AddLogItem(text);
}

void InterfaceReader::Debug(const QString &text)
{
    RelayDebug::Line(text);
}

void InterfaceReader::DebugWithTime(const QString &text)
{
    RelayDebug::WithTime(text);
}

int InterfaceReader::ReadHeadbox()
{
    const auto read = [this](unsigned char *into, long len) {
        return _orv ? std::max(0, _orv->ReadStream(into, int(len))) : 0;
    };
    // Straight into the queue's free space; through dati only where that
    // space wraps round the end of the queue (its last block, a thousandth
    // of the stream).
    const long inPlace = bufOrvToTcp->WriteInPlace(orvReadBlock, read);
    if (inPlace >= 0)
        return int(inPlace);
    const int letti = read(dati, orvReadBlock);
    if (bufOrvToTcp->Write(dati, letti) != 0 && overflowFromOrv.due())
        Debug(QStringLiteral("CODA OVERFLOWWWWWWWW"));
    return letti;
}

void InterfaceReader::DataToHeadboxAndParseCommand()
{
    char bufSup[toOrvCapacity];
    const CommandFrame::Pass pass = CommandFrame::look(bufTcpToOrv1, bufSup);
    if (pass.taken() == 0)
        return;
    CommandFrame::take(bufTcpToOrv1, pass, bufSup);
    scannerTook = true;
    if (!pass.log.isEmpty())
        Log(pass.log);
    // A paced write or a command can hold this thread for up to a minute:
    // what it has read from the headboxes goes to the PC meanwhile.
    HandOnQueued();
    if (pass.data > 0)
        WriteToHeadbox(bufSup, pass.data, pass.keyless);
    // The exam ended meanwhile: the frame is dropped with the rest of what
    // the PC sent (a sync on after the stop command restarts the stream).
    if (StopRequested())
        return;
    // A mismatching or short frame has been logged and is dropped whole:
    // nothing of it reaches the headbox.
    if (pass.frame > 0)
        ExecuteQuarnelCommand(bufSup + pass.data, pass.frame);
}

void InterfaceReader::HandOnQueued()
{
    if (bufOrvToTcp->NumData() > 0 && !writePending.exchange(true))
        emit WriteDataReady(0);
}

void InterfaceReader::WriteToHeadbox(char *buf, long n, bool checked)
{
    const int sent = _orv ? _orv->WriteUntil(reinterpret_cast<BYTE *>(buf), int(n), writeStop) : 0;
    // Cut short on purpose: the exam has ended.
    if (StopRequested()) {
        if (sent < n)
            writeCut = true;
        return;
    }
    if (checked && sent != n) {
        Log(QStringLiteral("errore"));
        DebugWithTime(QStringLiteral("Errore"));
    }
}

short InterfaceReader::ExecuteQuarnelCommand(char *s, long len)
{
    return interpreter.Execute(s, len);
}

void InterfaceReader::ClearQueueTowardsPc()
{
    bufOrvToTcp->Purge();
}

void InterfaceReader::Answer()
{
    // A PC that left while its command ran (a command-8 pause) gets no
    // answer, and the next PC must not get it in its place.
    if (connectionGeneration.load() != cleanedGeneration.load())
        return;
    emit SendResponse();
}
