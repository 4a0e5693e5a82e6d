#include "terminalconnection.h"

#include <QTcpSocket>

namespace QuarnelPc {

TerminalConnection::TerminalConnection(QObject *parent)
    : QObject(parent), _data(new QTcpSocket(this)), _answer(new QTcpSocket(this))
{
    _data->setReadBufferSize(DataReadAheadBytes);
    connectTimer.setSingleShot(true);
    connectTimer.setTimerType(Qt::PreciseTimer);
    closeTimer.setSingleShot(true);
    connect(&connectTimer, &QTimer::timeout, this, &TerminalConnection::connectTimedOut);
    connect(&closeTimer, &QTimer::timeout, this, &TerminalConnection::closeTimedOut);
    answerVerdictTimer.setSingleShot(true);
    connect(&answerVerdictTimer, &QTimer::timeout, this, &TerminalConnection::answerClosedAtOnce);
    _answer->setReadBufferSize(AnswerReadBufferBytes);

    connect(_answer, &QTcpSocket::connected, this, &TerminalConnection::answerConnected);
    connect(_data, &QTcpSocket::connected, this, &TerminalConnection::dataConnected);
    connect(_answer, &QTcpSocket::readyRead, this, &TerminalConnection::answerReadyRead);
    connect(_data, &QTcpSocket::readyRead, this, &TerminalConnection::dataReadyRead);
    for (QTcpSocket *s : { _data, _answer }) {
        connect(s, &QTcpSocket::errorOccurred,
                this, &TerminalConnection::socketError);
        connect(s, &QTcpSocket::disconnected, this, &TerminalConnection::socketDisconnected);
    }
}

TerminalConnection::~TerminalConnection()
{
    _data->abort();
    _answer->abort();
}

QString TerminalConnection::portText(quint16 port) const
{
    return QStringLiteral("%1:%2").arg(hostName).arg(port);
}

QString TerminalConnection::peerText() const
{
    return portText(dataPort);
}

void TerminalConnection::open(const QString &host, quint16 data, quint16 answer)
{
    // An earlier connection ends here, without a signal.
    state = Idle;
    connectTimer.stop();
    closeTimer.stop();
    answerVerdictTimer.stop();
    _data->abort();
    _answer->abort();
    hostName = host;
    dataPort = data;
    answerPort = answer;
    answerPartial = false;
    answerRetried = false;
    answerGone = false;
    held = false;
    oks = 0;
    received = 0;
    state = ConnectingAnswer;
    connectTimer.start(connectTimeoutMs);
    _answer->connectToHost(host, answerPort);
}

void TerminalConnection::answerConnected()
{
    if (state != ConnectingAnswer)
        return;
    state = ConnectingData;
    _data->connectToHost(hostName, dataPort);
}

void TerminalConnection::dataConnected()
{
    if (state != ConnectingData)
        return;
    connectTimer.stop();
    state = Open;
    openedAt.start();
    emit opened();
}

void TerminalConnection::send(const QByteArray &bytes)
{
    if (state != Open)
        return;
    _data->write(bytes);
}

void TerminalConnection::socketError(QAbstractSocket::SocketError error)
{
    QTcpSocket *s = qobject_cast<QTcpSocket *>(sender());
    const quint16 port = (s == _data) ? dataPort : answerPort;
    const QString where = portText(port);

    if (state == ConnectingAnswer || state == ConnectingData) {
        switch (error) {
        case QAbstractSocket::ConnectionRefusedError:
            fail(Error::Refused, QStringLiteral("%1: connection refused (is the terminal program running?)").arg(where));
            return;
        case QAbstractSocket::HostNotFoundError:
            fail(Error::Unreachable, QStringLiteral("%1: host not found").arg(hostName));
            return;
        case QAbstractSocket::NetworkError:
            fail(Error::Unreachable, QStringLiteral("%1: no route to the terminal (%2)").arg(where, s->errorString()));
            return;
        case QAbstractSocket::SocketTimeoutError:
            fail(Error::TimedOut, QStringLiteral("%1: no answer to the connection request").arg(where));
            return;
        case QAbstractSocket::RemoteHostClosedError:
            break; // handled with the disconnection below
        default:
            fail(Error::Failure, QStringLiteral("%1: %2").arg(where, s->errorString()));
            return;
        }
    }
    if (state != Open && state != ConnectingData)
        return;
    if (s == _answer)
        return;   // judged when it disconnects
    if (error == QAbstractSocket::RemoteHostClosedError) {
        // The disconnected() signal that follows tells what it means.
        return;
    }
    fail(Error::ConnectionLost, QStringLiteral("%1: connection lost (%2)").arg(where, s->errorString()));
}

void TerminalConnection::socketDisconnected()
{
    if (state == Closing) {
        if (_data->state() == QAbstractSocket::UnconnectedState
            && _answer->state() == QAbstractSocket::UnconnectedState)
            finishClose();
        return;
    }
    if (state != Open && state != ConnectingData)
        return;
    QTcpSocket *s = qobject_cast<QTcpSocket *>(sender());
    if (s == _answer && state == ConnectingData) {
        answerClosedWhileConnecting();
        return;
    }
    const quint16 port = (s == _data) ? dataPort : answerPort;
    const bool atOnce = state == ConnectingData
        || (oks == 0 && received == 0 && openedAt.elapsed() < BusyWindowMs);
    if (s == _answer) {
        answerGone = true;
        if (atOnce) {
            // Whether the terminal is busy shows on the data connection; the
            // verdict waits for the end of the window.
            answerVerdictTimer.start(int(BusyWindowMs - openedAt.elapsed()));
            return;
        }
        // The data stream goes on; only the answers are gone (the terminal
        // gives the answer port to the newest client).
        emit answerLost(answerClosedText());
        return;
    }
    if (atOnce) {
        fail(Error::Busy, QStringLiteral("%1: terminal busy with another PC (it closed the connection at once)")
                                 .arg(portText(port)));
        return;
    }
    fail(Error::ConnectionLost, QStringLiteral("%1: the terminal closed the connection").arg(portText(port)));
}

QString TerminalConnection::answerClosedText() const
{
    return QStringLiteral("%1: the terminal closed the answer connection").arg(portText(answerPort));
}

// Another host connected to the answer port after this PC (the newest
// answer connection wins while no PC streams). No command has gone yet, so
// no answer is lost: the answer port is taken once more, before the data
// port, whose connection would otherwise shut every other host out of it.
void TerminalConnection::answerClosedWhileConnecting()
{
    if (answerRetried) {
        fail(Error::ConnectionLost, answerClosedText() + QStringLiteral(" before the data connection was made"));
        return;
    }
    answerRetried = true;
    _data->abort();
    answerPartial = false;
    state = ConnectingAnswer;
    // Not from inside the socket's own disconnected() signal.
    QMetaObject::invokeMethod(this, [this] {
        if (state == ConnectingAnswer && _answer->state() == QAbstractSocket::UnconnectedState)
            _answer->connectToHost(hostName, answerPort);
    }, Qt::QueuedConnection);
}

// The answer connection ended at once and the data connection has not:
// not a busy terminal, but commands may have gone whose answers went
// elsewhere.
void TerminalConnection::answerClosedAtOnce()
{
    if (state != Open)
        return;
    if (oks > 0 || received > 0) {
        emit answerLost(answerClosedText());
        return;
    }
    fail(Error::ConnectionLost, answerClosedText() + QStringLiteral(" as soon as the PC connected"));
}

void TerminalConnection::protocolError(const QString &message)
{
    fail(Error::ProtocolError, QStringLiteral("%1: %2").arg(portText(answerPort), message));
}

void TerminalConnection::answerReadyRead()
{
    const QByteArray bytes = _answer->readAll();
    if (bytes.isEmpty() || (state != Open && state != ConnectingAnswer && state != ConnectingData))
        return;
    // One pass over the bytes: a flood of "ok"s costs linear time, and
    // nothing but an "o" waiting for its "k" is kept between reads.
    const int n = bytes.size();
    const char *p = bytes.constData();
    int i = 0;
    qint64 count = 0;
    if (answerPartial && p[0] == 'k') {
        ++count;
        i = 1;
    } else if (answerPartial) {
        i = -1;   // the "o" before is stray too
    }
    answerPartial = false;
    while (i >= 0 && i + 1 < n && p[i] == 'o' && p[i + 1] == 'k') {
        ++count;
        i += 2;
    }
    if (i >= 0 && i == n - 1 && p[i] == 'o') {
        answerPartial = true;
        ++i;
    }
    oks += count;
    if (count > 0)
        emit oksReceived(count);
    if (state == Done || i == n)
        return;
    const QByteArray stray = i < 0 ? QByteArray("o") + bytes : bytes.mid(i);
    emit unexpectedAnswer(stray);
}

void TerminalConnection::holdStream(bool hold)
{
    held = hold;
    // What arrived while held is read now, but not inside a receiver's call.
    if (!held)
        QMetaObject::invokeMethod(this, &TerminalConnection::dataReadyRead, Qt::QueuedConnection);
}

void TerminalConnection::dataReadyRead()
{
    if (held)
        return;
    const QByteArray bytes = _data->readAll();
    received += bytes.size();
    if (state == Open && !bytes.isEmpty())
        emit dataReceived(bytes);
}

void TerminalConnection::connectTimedOut()
{
    const quint16 port = (state == ConnectingAnswer) ? answerPort : dataPort;
    fail(Error::TimedOut, QStringLiteral("%1: no connection within %2 ms").arg(portText(port)).arg(connectTimeoutMs));
}

void TerminalConnection::close()
{
    if (state == Done || state == Closing)
        return;
    if (state != Open) {
        _data->abort();
        _answer->abort();
        finishClose();
        return;
    }
    state = Closing;
    closeTimer.start(2000);
    _data->disconnectFromHost();
    _answer->disconnectFromHost();
    if (_data->state() == QAbstractSocket::UnconnectedState
        && _answer->state() == QAbstractSocket::UnconnectedState)
        finishClose();
}

void TerminalConnection::closeTimedOut()
{
    _data->abort();
    _answer->abort();
    finishClose();
}

void TerminalConnection::finishClose()
{
    if (state == Done)
        return;
    state = Done;
    connectTimer.stop();
    closeTimer.stop();
    answerVerdictTimer.stop();
    emit closed();
}

void TerminalConnection::fail(Error error, const QString &message)
{
    if (state == Done)
        return;
    state = Done;
    connectTimer.stop();
    closeTimer.stop();
    answerVerdictTimer.stop();
    _data->abort();
    _answer->abort();
    emit failed(error, message);
}

} // namespace QuarnelPc
