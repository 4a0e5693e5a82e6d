#ifndef INTERFACEREADER_H
#define INTERFACEREADER_H

#include <QAbstractSocket>
#include <QHostAddress>
#include <QHostInfo>
#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>

#include <atomic>

#include "circularqueue.h"
#include "commandframe.h"
#include "commandinterpreter.h"
#include "throttle.h"

class Orv;
class QuarnelLog;
class QTcpServer;
class QTcpSocket;
class QTimer;

// The relay between the acquisition program on the PC and the headboxes.
// GUI thread: the two TCP servers and their sockets, every slot. Relay thread
// (run): reads the headbox into bufOrvToTcp and scans bufTcpToOrv1 for
// terminal command frames, writing everything else to the headbox.
//
// The data port carries the PC's stream both ways; the answer port gets
// "ok" for every executed terminal command. Which bytes of the PC's stream
// are frames, and what a frame asks for, is CommandFrame's to say.
class InterfaceReader : public QThread, private CommandInterpreter::Relay
{
    Q_OBJECT
public:
    static constexpr long toOrvCapacity = 65536;
    static constexpr long toTcpCapacity = 4096000;
    static constexpr int orvReadBlock = 4096;
    static constexpr int tcpWriteBlock = 409600;
    // Blocks one write notice may take: the whole of bufOrvToTcp.
    static constexpr int blocksPerNotice = int(toTcpCapacity / tcpWriteBlock) + 1;
    // Unsent bytes a data socket may hold before WriteData stops taking from
    // bufOrvToTcp: QTcpSocket buffers without limit otherwise.
    static constexpr qint64 maxUnsentBytes = 4 * 1024 * 1024;
    // Unsent answers an answer socket may hold: far above any real backlog
    // (an "ok" per command), while a PC that never reads them would have
    // them queued without end.
    static constexpr qint64 maxUnsentAnswerBytes = 64 * 1024;
    // Less than a block waits this long after the last notice before the
    // GUI thread is woken to write it: a GUI thread with a core to itself
    // otherwise wakes for every few words, tens of thousands of writes a
    // second at 4 MB/s, each costing it and the PC more than the bytes.
    static constexpr qint64 writeNoticeGapNs = 50000;
    // How often the connections are checked for a PC that has vanished.
    static constexpr int vanishCheckMs = 1000;

    InterfaceReader(Orv *orv, QuarnelLog *log);
    virtual ~InterfaceReader();

    void Resume();
    // Returns once the relay loop is parked: the caller then has the headbox
    // link to itself (the presence checker empties the library's receive
    // ring, which the loop's last pass may still be reading). Ends command
    // 8's pause and cuts a write to the headboxes between two bytes; what
    // the pass still held for the headboxes, a frame included, is dropped:
    // the exam it belonged to is over. The longest wait left is a sync on's.
    void Pause();
    // Ends the loop, as Pause ends its pass; a paused loop ends too.
    void Terminate();
    // Terminate, then waits for the thread: a paused loop ends without
    // another pass.
    void Stop();
    void SocketTcp(QTcpSocket *s);

signals:
    void ReadyToStartExam();
    void EndExamOrDisconnection();
    void WriteDataReady(int nDati);
    void IpHost(QHostAddress addr);
    void IpHostName(QString hostName);
    void SendResponse();
    // The scanner made room in bufTcpToOrv1: read what waits in the socket.
    void ProgramDataWanted();

public slots:
    void ClientConnected();
    void ClientAnswerConnected();
    void ClientDisconnected();
    void ClientAnswerDisconnected();
    void ReadFromProgram();
    void ReadyToRead();
    void WriteData(int nDati);
    void getErrorCode(QAbstractSocket::SocketError errorCode);
    void HostInfo(QHostInfo info);
    void SendResponseToClient();

private slots:
    void ClientBytesWritten(qint64 bytes);
    void ClientError(QAbstractSocket::SocketError errorCode);
    void DiscardAnswerInput();
    // Ends the connections of a PC that has vanished while data was sent.
    void CheckVanishedPeers();

protected:
    void run() override;
    // Command 8's pause; false when the relay was told to pause or to end
    // meanwhile, which ends it early. A test may record or hold it instead.
    bool CommandSleep(unsigned long ms) override;
    // Whether the relay has been told to pause or to end.
    bool StopRequested() const;
    // Wakes command 8's pause once a stop has been requested.
    virtual void WakeCommandSleep();

private:
    friend class InterfaceReaderProbe;

    void DataToHeadboxAndParseCommand();
    short ExecuteQuarnelCommand(char *s, long len);
    void ClearQueueTowardsPc() override;
    void Answer() override;

    void AcceptClient(QTcpSocket *s);
    // Key-less chunks are checked; the bytes ahead of a frame go unchecked.
    void WriteToHeadbox(char *buf, long n, bool checked);
    // Announces what waits in bufOrvToTcp before a step that may be long.
    void HandOnQueued();
    // One block of bufOrvToTcp to the data socket; true when it was a full
    // block, so that more may wait behind it.
    bool WriteBlock();
    // One read of the headbox stream into bufOrvToTcp; the bytes read.
    int ReadHeadbox();
    void DropFinishedStream();
    void AbortHostLookup();
    void Log(const QString &text);
    static void Debug(const QString &text);
    static void DebugWithTime(const QString &text);

    QuarnelLog *_log;
    QMutex sync;
    QWaitCondition pauseCond;
    QWaitCondition stopCond; // command 8's pause waits on it
    QWaitCondition idleCond; // the loop has parked
    // Changed only under sync; atomic because the waits release sync inside
    // Qt, where ThreadSanitizer cannot follow the hand-over.
    std::atomic<bool> pause;
    std::atomic<bool> end;
    std::atomic<bool> passing; // the loop is in a pass, not parked
    // Set with pause or end: a write to the headboxes under way stops.
    std::atomic<bool> writeStop;
    // A write to the headboxes was cut: the end of the exam stops them twice.
    std::atomic<bool> writeCut;
    Orv *_orv;
    QTcpSocket *_client;
    QTcpSocket *clientAnswer;
    QTcpServer *_tcpServer;
    QTcpServer *tcpServerAnswer;
    QTimer *vanishCheck; // GUI thread, once a second
    unsigned char dati[orvReadBlock];
    unsigned char datiSup[tcpWriteBlock];
    CircularQueue<unsigned char> *bufOrvToTcp;
    CircularQueue<char> *bufTcpToOrv1;
    bool busy;

    bool scannerTook; // relay thread: the last scanner pass took PC bytes

    // One WriteDataReady / ProgramDataWanted in flight at a time.
    std::atomic<bool> writePending;
    std::atomic<bool> readPending;
    // Counts data connections; the relay thread drops a finished
    // connection's leftovers when it sees a new one, and ReadFromProgram
    // waits for that before queueing the newcomer's bytes.
    std::atomic<unsigned> connectionGeneration;
    std::atomic<unsigned> cleanedGeneration;
    int hostLookupId;
    std::atomic<bool> runEnded;
    // Relay thread; the GUI thread's stop sequence once the loop is parked.
    CommandInterpreter interpreter;

    Throttle fullFromProgram;     // GUI thread
    Throttle shortQueueRead;      // GUI thread
    Throttle shortSocketWrite;    // GUI thread
    Throttle fullFromOrv;         // relay thread
    Throttle overflowFromOrv;     // relay thread
    Throttle writeNotice{writeNoticeGapNs}; // relay thread
};

#endif
