#ifndef QUARNELPC_TERMINALCONNECTION_H
#define QUARNELPC_TERMINALCONNECTION_H

#include <QAbstractSocket>
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include "quarnelpc/error.h"

class QTcpSocket;

namespace QuarnelPc {

// The PC's two connections to the terminal: the data port, which carries the
// headbox stream both ways with embedded terminal frames, and the answer port,
// on which the terminal writes "ok" after each executed frame. The answer port
// is connected first so that no "ok" of an early frame is lost.
class TerminalConnection : public QObject
{
    Q_OBJECT
public:
    explicit TerminalConnection(QObject *parent = nullptr);
    ~TerminalConnection() override;

    void setConnectTimeout(int ms) { connectTimeoutMs = ms; }
    int connectTimeout() const { return connectTimeoutMs; }
    void open(const QString &host, quint16 dataPort, quint16 answerPort);
    void send(const QByteArray &bytes);
    // Graceful: pending bytes are written, then both connections end.
    void close();
    // While held, the data connection is not read (see Terminal::holdStream).
    void holdStream(bool hold);

    // The terminal broke the protocol (an "ok" with no command waiting): the
    // connection ends with failed(Error::ProtocolError, message).
    void protocolError(const QString &message);

    bool isOpen() const { return state == Open; }
    bool hasAnswerConnection() const { return state == Open && !answerGone; }
    qint64 okCount() const { return oks; }
    qint64 receivedCount() const { return received; }
    QString peerText() const;
    bool isIdle() const { return state == Idle || state == Done; }
    bool isClosing() const { return state == Closing; }

    // A terminal that closes a fresh connection this soon, before it has
    // said anything, is serving another PC.
    static constexpr int BusyWindowMs = 1500;
    // What the answer port may hold unread: it carries nothing but "ok"s,
    // and a terminal that floods it must not grow the PC's memory.
    static constexpr qint64 AnswerReadBufferBytes = 64 * 1024;
    // What Qt reads ahead from the data connection: bounded, so that a held
    // stream leaves the rest in the kernel and TCP holds the terminal back.
    static constexpr qint64 DataReadAheadBytes = 1 << 20;

signals:
    void opened();
    // Every "ok" of one read of the answer port, counted at once.
    void oksReceived(qint64 count);
    void dataReceived(const QByteArray &bytes);
    // Why, and one line for the user; the connection is gone.
    void failed(QuarnelPc::Error error, const QString &message);
    void closed();
    // The answer port alone was closed; the data connection stays.
    void answerLost(const QString &message);
    // Bytes on the answer port that are not "ok".
    void unexpectedAnswer(const QByteArray &bytes);

private slots:
    void answerConnected();
    void dataConnected();
    void socketError(QAbstractSocket::SocketError error);
    void answerReadyRead();
    void dataReadyRead();
    void socketDisconnected();
    void connectTimedOut();
    void closeTimedOut();

private:
    enum State { Idle, ConnectingAnswer, ConnectingData, Open, Closing, Done };

    void fail(Error error, const QString &message);
    void answerClosedWhileConnecting();
    void answerClosedAtOnce();
    QString answerClosedText() const;
    void finishClose();
    QString portText(quint16 port) const;

    QTcpSocket *_data;
    QTcpSocket *_answer;
    QTimer connectTimer;
    QTimer closeTimer;
    QTimer answerVerdictTimer;
    QElapsedTimer openedAt;
    QString hostName;
    quint16 dataPort = 0;
    quint16 answerPort = 0;
    int connectTimeoutMs = 5000;
    State state = Idle;
    bool answerPartial = false;   // the read ended with the "o" of an "ok"
    bool answerRetried = false;
    bool answerGone = false;
    qint64 oks = 0;
    qint64 received = 0;
    bool held = false;
};

} // namespace QuarnelPc

#endif
