#include "quarnelpc/terminal.h"

#include "commandqueue.h"
#include "quarnelprotocol.h"
#include "terminalconnection.h"
#include "terminalframe.h"

namespace QuarnelPc {

class Terminal::Private
{
public:
    TerminalConnection *connection = nullptr;
    CommandQueue *queue = nullptr;
    // The last headbox bytes since the last command: a key may form across
    // two calls of sendToHeadbox().
    QByteArray headboxTail;
};

Terminal::Terminal(QObject *parent) : QObject(parent), d(new Private)
{
    qRegisterMetaType<QuarnelPc::Error>("QuarnelPc::Error");
    qRegisterMetaType<QuarnelPc::Command>("QuarnelPc::Command");
    d->connection = new TerminalConnection(this);
    d->queue = new CommandQueue(d->connection, this);

    connect(d->connection, &TerminalConnection::opened, this, [this] {
        emit connected();
        d->queue->flush();
    });
    connect(d->connection, &TerminalConnection::failed, this, [this](Error error, const QString &message) {
        d->queue->cancel();
        emit errorOccurred(error, message);
    });
    connect(d->connection, &TerminalConnection::closed, this, [this] {
        d->queue->cancel();
        emit disconnected();
    });
    connect(d->connection, &TerminalConnection::dataReceived, this, &Terminal::dataReceived);
    connect(d->connection, &TerminalConnection::answerLost, this, &Terminal::answerConnectionLost);
    connect(d->connection, &TerminalConnection::unexpectedAnswer, this, &Terminal::unexpectedAnswer);
    connect(d->queue, &CommandQueue::answered, this, &Terminal::commandAnswered);
    connect(d->queue, &CommandQueue::allAnswered, this, &Terminal::allCommandsAnswered);
    connect(d->queue, &CommandQueue::timedOut, this, &Terminal::commandTimedOut);
}

Terminal::~Terminal()
{
    // The sockets go first, without signals to a half-destroyed object.
    d->connection->disconnect(this);
    d->queue->disconnect(this);
    delete d->queue;
    delete d->connection;
}

void Terminal::setConnectTimeout(int ms) { d->connection->setConnectTimeout(ms); }
int Terminal::connectTimeout() const { return d->connection->connectTimeout(); }
void Terminal::setAnswerTimeout(int ms) { d->queue->setAnswerTimeout(ms); }
int Terminal::answerTimeout() const { return d->queue->answerTimeout(); }

void Terminal::connectToTerminal(const QString &host)
{
    connectToTerminal(host, QuarnelProtocol::DataPort, QuarnelProtocol::AnswerPort);
}

void Terminal::connectToTerminal(const QString &host, quint16 dataPort, quint16 answerPort)
{
    d->headboxTail.clear();
    d->queue->reset();
    d->connection->open(host, dataPort, answerPort);
}

void Terminal::disconnectFromTerminal()
{
    d->connection->close();
}

Terminal::State Terminal::state() const
{
    if (d->connection->isOpen())
        return Connected;
    if (d->connection->isClosing())
        return Closing;
    return d->connection->isIdle() ? Unconnected : Connecting;
}

bool Terminal::isConnected() const { return d->connection->isOpen(); }
bool Terminal::hasAnswerConnection() const { return d->connection->hasAnswerConnection(); }
QString Terminal::peerText() const { return d->connection->peerText(); }

void Terminal::sendCommand(const Command &command)
{
    d->headboxTail.clear();
    d->queue->addCommand(command);
}

bool Terminal::sendToHeadbox(const QByteArray &bytes)
{
    const QByteArray seen = d->headboxTail + bytes;
    if (seen.contains(TerminalFrame::key()))
        return false;
    d->headboxTail = seen.right(TerminalFrame::KeySize - 1);
    d->queue->addBytes(bytes);
    return true;
}

void Terminal::cancelCommands() { d->queue->cancel(); }
int Terminal::pendingCommands() const { return d->queue->pendingCommands(); }
void Terminal::holdStream(bool hold) { d->connection->holdStream(hold); }
qint64 Terminal::answersReceived() const { return d->connection->okCount(); }
qint64 Terminal::bytesReceived() const { return d->connection->receivedCount(); }
quint16 Terminal::defaultDataPort() { return QuarnelProtocol::DataPort; }
quint16 Terminal::defaultAnswerPort() { return QuarnelProtocol::AnswerPort; }

} // namespace QuarnelPc
