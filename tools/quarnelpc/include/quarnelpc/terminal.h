#ifndef QUARNELPC_TERMINAL_H
#define QUARNELPC_TERMINAL_H

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

#include "command.h"
#include "error.h"
#include "quarnelpc_global.h"

namespace QuarnelPc {

// The PC's connections to one terminal: the answer port, connected first so
// that no "ok" is lost, and the data port, which carries the headbox stream
// both ways with the command frames in the PC's direction.
//
// Commands and headbox bytes go out in the order given. A command is written
// once every command before it has been answered, and is then waited for:
// commandAnswered() with the round trip, or commandTimedOut() after the
// answer time-out (plus the pause of a delay command, plus 500 us for each
// headbox byte written ahead of it, which the terminal passes on at 200 us a
// byte or more), which drops what was queued behind it. What is given before
// connected() waits for it. An "ok" with no command waiting for it ends the
// connection with Error::ProtocolError.
//
// A connection ends with disconnected() (after disconnectFromTerminal(),
// possibly before it returns) or with errorOccurred(), never both; either
// drops what is still queued. A Terminal may connect again afterwards.
class QUARNELPC_EXPORT Terminal : public QObject
{
    Q_OBJECT
public:
    enum State { Unconnected, Connecting, Connected, Closing };
    Q_ENUM(State)

    explicit Terminal(QObject *parent = nullptr);
    ~Terminal() override;

    // Defaults: 5000 ms to connect, 3000 ms for each "ok".
    void setConnectTimeout(int ms);
    int connectTimeout() const;
    void setAnswerTimeout(int ms);
    int answerTimeout() const;

    void connectToTerminal(const QString &host);
    void connectToTerminal(const QString &host, quint16 dataPort, quint16 answerPort);
    // Graceful: what has been written goes out, then both connections close.
    void disconnectFromTerminal();

    State state() const;
    bool isConnected() const;
    // False once the terminal has closed the answer port (see answerConnectionLost()).
    bool hasAnswerConnection() const;
    // "host:port" of the data connection, for messages.
    QString peerText() const;

    void sendCommand(const Command &command);
    // Bytes for the headboxes. Refused (false, nothing queued) when they
    // would put the command key "TALV" into the stream, which the terminal
    // would take for a command.
    bool sendToHeadbox(const QByteArray &bytes);
    // Stops waiting for an answer and drops everything still queued.
    void cancelCommands();
    // Commands given and not yet answered.
    int pendingCommands() const;
    // Flow control for a program that takes the stream at its own pace:
    // while held, nothing more is read from the data connection, so TCP
    // holds the terminal back instead of the PC keeping bytes without bound.
    void holdStream(bool hold);

    qint64 answersReceived() const;
    qint64 bytesReceived() const;

    static quint16 defaultDataPort();
    static quint16 defaultAnswerPort();

signals:
    void connected();
    void commandAnswered(const QuarnelPc::Command &command, double roundTripMs);
    // The last queued command has been answered.
    void allCommandsAnswered();
    void commandTimedOut(const QuarnelPc::Command &command, int waitedMs);
    // The headboxes' stream, as it arrives.
    void dataReceived(const QByteArray &bytes);
    void errorOccurred(QuarnelPc::Error error, const QString &message);
    void disconnected();
    // The terminal closed the answer port (another answer connection from
    // this PC replaced it, or its bound of unread answers was passed); the
    // data connection goes on, but no command can be answered any more.
    void answerConnectionLost(const QString &message);
    // Bytes on the answer port that are not "ok".
    void unexpectedAnswer(const QByteArray &bytes);

private:
    class Private;
    std::unique_ptr<Private> d;
};

} // namespace QuarnelPc

#endif
