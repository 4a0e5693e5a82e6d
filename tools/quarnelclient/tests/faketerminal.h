#ifndef FAKETERMINAL_H
#define FAKETERMINAL_H

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QVector>

class QTcpServer;
class QTcpSocket;

// A stand-in for the terminal's TCP side on real sockets: one data client at
// a time (a second is closed at once), "ok" on the answer port for each frame
// with a good checksum, and the simulated headbox stream while sync is on.
class FakeTerminal : public QObject
{
    Q_OBJECT
public:
    struct Frame
    {
        int code;
        QByteArray params;
    };

    explicit FakeTerminal(QObject *parent = nullptr);
    ~FakeTerminal() override;

    bool listen(const QHostAddress &address, quint16 dataPort = 2000, quint16 answerPort = 2001);
    // As when another client takes the answer port over.
    void dropAnswerClient();

    // Behaviour.
    bool answerOk = true;
    bool streamOnSync = true;
    qint64 corruptAt = -1;        // stream byte changed on the way
    qint64 dropWordAt = -1;       // stream word left out
    quint64 firstWord = 0;        // the stream's start lost when not 0
    qint64 closeAfter = -1;       // the data connection ends after this many stream bytes
    int maxDelayMs = -1;          // a longer pause is answered after this long
    bool answerTwice = false;     // "okok" for each frame
    bool floodOks = false;        // "ok"s without end on every answer connection
    bool closeAnswerClients = false;   // as when a third host keeps taking the answer port over

    // What was seen.
    QVector<Frame> frames;
    QByteArray headboxBytes;
    int badChecksums = 0;
    int dataConnections = 0;
    int refusedClients = 0;
    int answerConnections = 0;
    qint64 streamed = 0;
    bool hasDataClient() const { return _client != nullptr; }
    char corruptedValue = 0;

private slots:
    void dataConnection();
    void answerConnection();
    void readData();
    void dataClientGone();
    void pump();
    void delayOver();
    void flood();

private:
    void scan();
    void execute(const QByteArray &frame);
    void answer();

    QTcpServer *_data;
    QTcpServer *_answer;
    QTcpSocket *_client = nullptr;
    QTcpSocket *_answerClient = nullptr;
    QByteArray pending;
    QTimer pumpTimer;
    QTimer delayTimer;
    QTimer floodTimer;
    bool syncOn = false;
    quint64 nextSeq = 0;
};

#endif
