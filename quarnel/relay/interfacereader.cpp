#include "interfacereader.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTime>

#include <algorithm>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include "orv.h"
#include "orvinterface.h"
#include "quarnellog.h"

namespace {

// Frame layout: key, lenParam (int32), cheCmd (int16), parameters, checksum
// (uint16); all little-endian.
const long frameOverhead = 12;
const int lenParamOffset = 4;
const int cheCmdOffset = 8;
const int paramOffset = 10;

inline unsigned byteAt(const char *s, long i)
{
    return static_cast<unsigned char>(s[i]);
}

inline quint16 le16(const char *s, long i)
{
    return quint16(byteAt(s, i) | (byteAt(s, i + 1) << 8));
}

inline qint32 le32(const char *s, long i)
{
    return qint32(quint32(le16(s, i)) | (quint32(le16(s, i + 2)) << 16));
}

// Parameter bytes each command reads; a shorter frame would make it read
// past its own end.
long ParamBytesNeeded(qint16 cheCmd)
{
    switch (cheCmd) {
    case 1: case 4: case 5: case 6: case 7:
        return 2;
    case 2: case 8:
        return 4;
    case 3:
        return 16;
    default:
        return 0;
    }
}

} // namespace

bool InterfaceReader::Throttle::due()
{
    if (last.isValid() && last.elapsed() < 1000)
        return false;
    last.start();
    return true;
}

InterfaceReader::InterfaceReader(Orv *orv, QuarnelLog *log)
    : QThread(nullptr),
      _log(log),
      pause(true),
      end(false),
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
      runEnded(false)
{
    qstrcpy(qzCmdKey, "TALV");
    bufTcpToOrv1 = new CircularQueue<char>(toOrvCapacity);
    bufOrvToTcp = new CircularQueue<unsigned char>(toTcpCapacity);

    _tcpServer = new QTcpServer();
    tcpServerAnswer = new QTcpServer();
    connect(_tcpServer, SIGNAL(newConnection()), this, SLOT(ClientConnected()));
    connect(tcpServerAnswer, SIGNAL(newConnection()), this, SLOT(ClientAnswerConnected()));
    connect(this, SIGNAL(SendResponse()), this, SLOT(SendResponseToClient()));
    connect(this, SIGNAL(ProgramDataWanted()), this, SLOT(ReadFromProgram()));

    _tcpServer->listen(QHostAddress::Any, dataPort);
    tcpServerAnswer->listen(QHostAddress::Any, answerPort);
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
    if (hostLookupId != -1)
        QHostInfo::abortHostLookup(hostLookupId);

    delete bufTcpToOrv1;
    delete bufOrvToTcp;
    delete _tcpServer;
    delete tcpServerAnswer;
}

void InterfaceReader::Resume()
{
    sync.lock();
    pause = false;
    sync.unlock();
    pauseCond.wakeAll();
}

void InterfaceReader::Pause()
{
    QMutexLocker lock(&sync);
    pause = true;
}

void InterfaceReader::Terminate()
{
    end.store(true);
}

void InterfaceReader::SocketTcp(QTcpSocket *s)
{
    _client = s;
}

void InterfaceReader::ReadyToRead()
{
    Resume();
}

// ---------------------------------------------------------------- relay loop

void InterfaceReader::run()
{
    quint16 conta = 0;
    for (;;) {
        if (end.load()) {
            runEnded.store(true);
            return;
        }
        sync.lock();
        while (pause)
            pauseCond.wait(&sync);
        sync.unlock();

        DropFinishedStream();

        scannerTook = false;
        if (bufTcpToOrv1->NumData() != 0)
            DataToHeadboxAndParseCommand();
        const bool tookFromProgram = scannerTook;
        if (tookFromProgram && !readPending.exchange(true))
            emit ProgramDataWanted();

        int letti = 0;
        if (bufOrvToTcp->FreeSpace() >= orvReadBlock) {
            OrvInterface *orvInterface = _orv ? _orv->_interface : nullptr;
            letti = orvInterface ? std::max(0, orvInterface->MyRead(dati, orvReadBlock)) : 0;
            if (bufOrvToTcp->Write(dati, letti) != 0 && overflowFromOrv.due())
                Debug(QStringLiteral("CODA OVERFLOWWWWWWWW"));
        } else if (conta <= 9) {
            ++conta;
        } else {
            if (fullFromOrv.due())
                Debug(QStringLiteral("CODA PIENA"));
            conta = 0;
        }

        if (bufOrvToTcp->NumData() > 0 && !writePending.exchange(true))
            emit WriteDataReady(letti);

        if (letti == 0) {
            QCoreApplication::processEvents();
            if (!tookFromProgram)
                QThread::yieldCurrentThread();
        }
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

void InterfaceReader::CommandSleep(unsigned long ms)
{
    QThread::msleep(ms);
}

// ------------------------------------------------------------ data client

void InterfaceReader::ClientConnected()
{
    while (QTcpSocket *s = _tcpServer->nextPendingConnection()) {
        // A PC that closed and reconnected at once: its old connection's end
        // may not have been noticed yet.
        if (_client && PeerHasClosed(_client))
            ClientDisconnected();
        if (_client)
            RefuseClient(s);
        else
            AcceptClient(s);
    }
}

void InterfaceReader::AcceptClient(QTcpSocket *s)
{
    DebugWithTime(QStringLiteral("ClientConnected"));
    emit ReadyToStartExam();
    _client = s;
    // The dual-stack server reports an IPv4 PC in its mapped form
    // (::ffff:a.b.c.d), which has no reverse name and would reach the
    // panel as that text.
    const QHostAddress peer(AddressText(s->peerAddress()));
    hostLookupId = QHostInfo::lookupHost(peer.toString(), this, SLOT(HostInfo(QHostInfo)));
    emit IpHost(peer);

    // A bounded read buffer lets TCP's window hold the PC back while
    // bufTcpToOrv1 is full, instead of dropping its bytes.
    s->setReadBufferSize(toOrvCapacity);
    EnableKeepAlive(s);
    connect(s, SIGNAL(readyRead()), this, SLOT(ReadFromProgram()));
    connect(s, SIGNAL(disconnected()), this, SLOT(ClientDisconnected()));
    connect(s, SIGNAL(bytesWritten(qint64)), this, SLOT(ClientBytesWritten(qint64)));
    connect(s, SIGNAL(errorOccurred(QAbstractSocket::SocketError)), this,
            SLOT(ClientError(QAbstractSocket::SocketError)));
    connect(this, SIGNAL(WriteDataReady(int)), this, SLOT(WriteData(int)), Qt::UniqueConnection);
    writePending.store(false);
    readPending.store(false);

    bufOrvToTcp->Purge();
    connectionGeneration.fetch_add(1);
    Resume();
}

void InterfaceReader::RefuseClient(QTcpSocket *s)
{
    Log(QStringLiteral("Connection from %1 refused: a PC is already connected")
            .arg(AddressText(s->peerAddress())));
    s->close();
    s->deleteLater();
}

bool InterfaceReader::PeerHasClosed(QTcpSocket *s)
{
    if (s->state() != QAbstractSocket::ConnectedState)
        return true;
    const qintptr fd = s->socketDescriptor();
    if (fd < 0)
        return true;
    tcp_info info {};
    socklen_t len = sizeof(info);
    if (getsockopt(int(fd), IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return false;
    // CLOSE_WAIT: the peer's FIN has arrived, whatever data precedes it.
    return info.tcpi_state == TCP_CLOSE_WAIT || info.tcpi_state == TCP_CLOSE
        || info.tcpi_state == TCP_LAST_ACK;
}

void InterfaceReader::EnableKeepAlive(QTcpSocket *s)
{
    // A PC that vanished without closing frees the terminal in about 25 s.
    s->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const qintptr fd = s->socketDescriptor();
    if (fd < 0)
        return;
    const int idle = 10;
    const int interval = 5;
    const int probes = 3;
    setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof(probes));
}

void InterfaceReader::ClientDisconnected()
{
    QTcpSocket *from = qobject_cast<QTcpSocket *>(sender());
    if (from && from != _client)
        return;

    Log(QStringLiteral("Client Disconnected"));
    DebugWithTime(QStringLiteral("Client Disconnected"));
    disconnect(this, SIGNAL(WriteDataReady(int)), this, SLOT(WriteData(int)));

    // Without a PC (the cable pulled between exams) no acquisition runs and
    // the presence checker owns the link: stopping the headboxes from here
    // would interleave our frames and channel selection with its checks.
    const bool examRunning = _client != nullptr;
    OrvInterface *orvInterface = (examRunning && _orv) ? _orv->_interface : nullptr;
    // A PC that left without switching sync off (closed, cable pulled) would
    // leave the sync bit set, and the next PC's "sync on" would then start
    // nothing; the channel selection's register write carries it cleared.
    if (orvInterface)
        orvInterface->reg15 &= 0xF7FF;
    if (orvInterface)
        orvInterface->WhichHeadboxReadWrite(0);
    if (examRunning && _orv) {
        BYTE stop[] = "008000";
        _orv->SendOrvCommand(stop);
    }
    if (orvInterface) {
        WORD noChannels[4] = {0, 0, 0, 0};
        orvInterface->SetMultiHeadInfo(0, 0, 0, 0, noChannels);
    }
    Pause();

    if (_client) {
        QTcpSocket *s = _client;
        _client = nullptr;
        s->disconnect(this);
        s->close();
        s->deleteLater();
    }
    if (hostLookupId != -1) {
        QHostInfo::abortHostLookup(hostLookupId);
        hostLookupId = -1;
    }
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

    const long n = std::min<long>(bufOrvToTcp->NumData(), tcpWriteBlock);
    if (n == 0)
        return;
    long taken = 0;
    if (bufOrvToTcp->Read(datiSup, n, &taken) != 0 && shortQueueRead.due())
        Debug(QStringLiteral("BBBOOOOOOOOOOHHHHHHHHH"));
    if (taken == 0)
        return;
    const qint64 written = _client->write(reinterpret_cast<const char *>(datiSup), taken);
    if (written != taken && shortSocketWrite.due())
        Debug(QStringLiteral("WRITE ERROR"));
    _client->flush();
}

void InterfaceReader::ClientBytesWritten(qint64 bytes)
{
    Q_UNUSED(bytes);
    if (!_client || !writePending.load())
        return;
    if (_client->bytesToWrite() < maxUnsentBytes)
        WriteData(0);
}

// ---------------------------------------------------------- answer client

void InterfaceReader::ClientAnswerConnected()
{
    while (QTcpSocket *s = tcpServerAnswer->nextPendingConnection()) {
        // A data client that has gone, its end not noticed yet, no longer
        // holds the answer port.
        if (_client && PeerHasClosed(_client))
            ClientDisconnected();
        // While a PC streams, its answers go to it alone: a refused second
        // PC must not take them over.
        if (_client && !SameHost(s->peerAddress(), _client->peerAddress())) {
            RefuseAnswerClient(s);
            continue;
        }
        // The newest answer connection wins (a PC may connect it before the
        // data port, or reconnect at once); the one it replaces is closed.
        if (clientAnswer) {
            QTcpSocket *old = clientAnswer;
            clientAnswer = nullptr;
            old->disconnect(this);
            old->close();
            old->deleteLater();
        }
        clientAnswer = s;
        connect(s, SIGNAL(disconnected()), this, SLOT(ClientAnswerDisconnected()));
        connect(s, SIGNAL(readyRead()), this, SLOT(DiscardAnswerInput()));
    }
}

void InterfaceReader::RefuseAnswerClient(QTcpSocket *s)
{
    Log(QStringLiteral("Answer connection from %1 refused: the PC at %2 is connected")
            .arg(AddressText(s->peerAddress()), AddressText(_client->peerAddress())));
    s->close();
    s->deleteLater();
}

bool InterfaceReader::SameHost(const QHostAddress &a, const QHostAddress &b)
{
    // The dual-stack servers may report an IPv4 peer in its mapped form.
    return a.isEqual(b, QHostAddress::TolerantConversion);
}

QString InterfaceReader::AddressText(const QHostAddress &a)
{
    bool isV4 = false;
    const quint32 v4 = a.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : a.toString();
}

void InterfaceReader::ClientAnswerDisconnected()
{
    QTcpSocket *from = qobject_cast<QTcpSocket *>(sender());
    if ((from && from != clientAnswer) || !clientAnswer)
        return;
    QTcpSocket *s = clientAnswer;
    clientAnswer = nullptr;
    s->disconnect(this);
    s->close();
    s->deleteLater();
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
    clientAnswer->write("ok", 2);
    clientAnswer->flush();
}

// ------------------------------------------------------------------ other

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
    qDebug().noquote() << text;
}

void InterfaceReader::DebugWithTime(const QString &text)
{
    Debug(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")) + QLatin1Char(' ') + text);
}

// ----------------------------------------------------- command scanner

void InterfaceReader::DataToHeadboxAndParseCommand()
{
    char bufSup[toOrvCapacity];
    bool partialStr = false;
    const long pos = bufTcpToOrv1->Find(qzCmdKey, 4, &partialStr);

    if (partialStr) {
        // Only the 1-3 bytes that may begin a key wait for what follows.
        if (pos > 0)
            WriteKeylessData(bufSup, pos);
        return;
    }
    if (pos < 0) {
        WriteKeylessData(bufSup, bufTcpToOrv1->NumData());
        return;
    }

    OrvInterface *orvInterface = _orv ? _orv->_interface : nullptr;
    if (pos > 0) {
        long taken = 0;
        bufTcpToOrv1->Read(bufSup, pos, &taken);
        scannerTook = true;
        if (orvInterface && taken > 0)
            orvInterface->Write(reinterpret_cast<BYTE *>(bufSup), int(taken));
    }
    if (bufTcpToOrv1->NumData() < frameOverhead)
        return;

    char head[8];
    bufTcpToOrv1->Get(head, 8);
    const qint32 lenParam = le32(head, lenParamOffset);
    if (lenParam < 0 || lenParam > maxLenParam) {
        // Such a frame could never be queued whole: drop its key, scan on.
        bufTcpToOrv1->Read(head, 4);
        scannerTook = true;
        Log(QStringLiteral("Command key dropped: parameter length %1 out of range").arg(lenParam));
        return;
    }
    if (bufTcpToOrv1->NumData() <= lenParam + frameOverhead - 1)
        return;
    const long lenCmd = lenParam + frameOverhead;
    bufTcpToOrv1->Read(bufSup, lenCmd);
    scannerTook = true;
    // A mismatching or short frame has been logged and is dropped whole:
    // nothing of it reaches the headbox.
    ExecuteQuarnelCommand(bufSup, lenCmd);
}

void InterfaceReader::WriteKeylessData(char *buf, long n)
{
    Log(QStringLiteral("num bytes = %1").arg(n));
    long taken = 0;
    bufTcpToOrv1->Read(buf, std::min<long>(n, keylessChunk), &taken);
    scannerTook = true;
    OrvInterface *orvInterface = _orv ? _orv->_interface : nullptr;
    const int sent = orvInterface ? orvInterface->Write(reinterpret_cast<BYTE *>(buf), int(taken)) : 0;
    if (sent != taken) {
        Log(QStringLiteral("errore"));
        DebugWithTime(QStringLiteral("Errore"));
    }
}

short InterfaceReader::ExecuteQuarnelCommand(char *s, long len)
{
    if (len < frameOverhead)
        return -1;
    const qint32 lenParam = le32(s, lenParamOffset);
    const long lenCmd = long(lenParam) + frameOverhead;
    if (lenParam < 0 || lenCmd != len)
        return -1;
    const qint16 cheCmd = qint16(le16(s, cheCmdOffset));
    const quint16 binCheckSum = le16(s, lenCmd - 2);
    quint16 checkSum = 0;
    for (long i = 0; i < lenCmd - 2; ++i)
        checkSum = quint16(checkSum + byteAt(s, i));

    if (binCheckSum != checkSum) {
        Log(QStringLiteral("!!!! ERROREEEEE CHECKSUM!!!!%1  %2  %3  %4  %5  %6")
                .arg(cheCmd)
                .arg(lenCmd)
                .arg(binCheckSum)
                .arg(byteAt(s, lenCmd - 1))
                .arg(byteAt(s, lenCmd - 2))
                .arg(checkSum));
        return -1;
    }
    const long needed = ParamBytesNeeded(cheCmd);
    if (lenParam < needed) {
        Log(QStringLiteral("Command %1 not executed: %2 parameter bytes, %3 needed")
                .arg(cheCmd)
                .arg(lenParam)
                .arg(needed));
        return -2;
    }

    OrvInterface *orvInterface = _orv ? _orv->_interface : nullptr;
    switch (cheCmd) {
    case 1: {
        const qint16 freq = qint16(le16(s, paramOffset));
        Log(QStringLiteral("Set Clock Frequency!!!"));
        if (orvInterface)
            orvInterface->SetClockFrequency(freq);
        break;
    }
    case 2:
        if (orvInterface)
            orvInterface->SetTriggerOut(long(le32(s, paramOffset)));
        break;
    case 3: {
        // Copied out: the counts lie unaligned inside the frame.
        WORD numCanDaOrv[4];
        for (int k = 0; k < 4; ++k)
            numCanDaOrv[k] = le16(s, paramOffset + 8 + 2 * k);
        if (orvInterface)
            orvInterface->SetMultiHeadInfo(le16(s, paramOffset), le16(s, paramOffset + 2),
                                           le16(s, paramOffset + 4), le16(s, paramOffset + 6),
                                           numCanDaOrv);
        break;
    }
    case 4:
    case 5:
    case 6: {
        const qint16 whichHeadbox = qint16(le16(s, paramOffset));
        static const char *const texts[] = {"Headbox Read: ", "Headbox Write: ", "Headbox Read/Write: "};
        if (_orv)
            emit _orv->AddItem(QLatin1String(texts[cheCmd - 4]) + QString::number(whichHeadbox));
        if (!orvInterface)
            break;
        if (cheCmd == 4)
            orvInterface->WhichHeadboxRead(whichHeadbox);
        else if (cheCmd == 5)
            orvInterface->WhichHeadboxWrite(whichHeadbox);
        else
            orvInterface->WhichHeadboxReadWrite(whichHeadbox);
        break;
    }
    case 7:
        if (orvInterface)
            orvInterface->SendSync(qint16(le16(s, paramOffset)));
        break;
    case 8: {
        const qint32 ms = le32(s, paramOffset);
        CommandSleep(std::min<unsigned long>(ms < 0 ? 0ul : (unsigned long)ms, maxCommandSleepMs));
        break;
    }
    case 9:
        if (orvInterface)
            orvInterface->ClearRxBuffer();
        bufOrvToTcp->Purge();
        DebugWithTime(QStringLiteral("Clear queue from remote pc"));
        break;
    default:
        break;
    }
    // A PC that left while its command ran (a command-8 pause) gets no
    // answer, and the next PC must not get it in its place.
    if (connectionGeneration.load() != cleanedGeneration.load())
        return 0;
    emit SendResponse();
    return 0;
}
