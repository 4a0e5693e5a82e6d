#ifndef TESTHUB_H
#define TESTHUB_H

// Shared pieces of the hub's tests: a hub built around a test link, a link
// that plays one headbox and can fail its set-up or its presence check, and
// a collector of Qt debug lines.

#include <QByteArray>
#include <QMutex>
#include <QMutexLocker>
#include <QNetworkInterface>
#include <QNetworkDatagram>
#include <QStringList>
#include <QTimer>
#include <QUdpSocket>

#include <atomic>

#include "harness.h"
#include "networkcabledetector.h"
#include "quarnelnetwork.h"
#include "recordingorvinterface.h"

// For QSignalSpy on the hub's address signal; registered by the tests.
Q_DECLARE_METATYPE(QHostAddress)

class TestHub : public QuarnelNetwork
{
public:
    // Takes ownership of link.
    explicit TestHub(OrvInterface *link) : QuarnelNetwork(link, nullptr) {}

    // Stops the cable detector's one-second timer: from then on the test
    // gives the ticks with tick().
    void driveTicks() { networkCableDetector->findChild<QTimer *>()->stop(); }
    void tick() { networkCableDetector->CheckCable(); }

    using QuarnelNetwork::_checkHeadboxConnected;
    using QuarnelNetwork::_interfaceReader;
    using QuarnelNetwork::_orv;
    using QuarnelNetwork::_udpSocket;
    using QuarnelNetwork::deviceSN;
    using QuarnelNetwork::ipAddr;
    using QuarnelNetwork::networkCableDetector;
};

// One headbox on channel 0 that answers the identification command with its
// serial (bytes of each 16-bit unit swapped, as on the wire) while a serial
// is set; a set-up that fails a number of times; a presence check that
// answers what the test says.
class HeadboxLink : public RecordingOrvInterface
{
public:
    std::atomic<int> presence{0};
    std::atomic<int> setUpFailures{0};

    void setSerial(const QByteArray &serial)
    {
        QMutexLocker lock(&m_serialMutex);
        m_serial = serial;
    }

    int CheckInterface() override
    {
        RecordingOrvInterface::CheckInterface();
        return presence;
    }
    short TestInterface() override
    {
        const short r = RecordingOrvInterface::TestInterface();
        if (setUpFailures > 0) {
            --setUpFailures;
            return -1;
        }
        return r;
    }
    int Write(BYTE *command, int length) override
    {
        const int n = RecordingOrvInterface::Write(command, length);
        if (QByteArray(reinterpret_cast<const char *>(command), length) == "\r\nRDJW002002\r\n") {
            QByteArray answer;
            {
                QMutexLocker lock(&m_serialMutex);
                answer = m_serial;
            }
            if (!answer.isEmpty()) {
                answer = answer.leftJustified(16, '\0', true);
                for (int i = 0; i < 16; i += 2)
                    { const char c = answer[i]; answer[i] = answer[i + 1]; answer[i + 1] = c; }
                feedRx(answer, 0);
            }
        }
        return n;
    }

private:
    QMutex m_serialMutex;
    QByteArray m_serial;
};

// Qt debug lines of every thread, while an instance exists.
class DebugLines
{
public:
    DebugLines() { s_previous = qInstallMessageHandler(&DebugLines::handler); }
    ~DebugLines()
    {
        qInstallMessageHandler(s_previous);
        QMutexLocker lock(&s_mutex);
        s_lines.clear();
    }
    static QStringList all()
    {
        QMutexLocker lock(&s_mutex);
        return s_lines;
    }
    static int count(const QString &endsWith)
    {
        int n = 0;
        for (const QString &l : all())
            n += l.endsWith(endsWith) ? 1 : 0;
        return n;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
    {
        {
            QMutexLocker lock(&s_mutex);
            s_lines << msg;
        }
        if (type != QtDebugMsg && s_previous)
            s_previous(type, context, msg);
    }
    static inline QMutex s_mutex;
    static inline QStringList s_lines;
    static inline QtMessageHandler s_previous = nullptr;
};

// A failed address test must not leave the next test without its LAN.
inline void restorePanelAddress()
{
    const QHostAddress panel(harness::panelIp());
    for (const QNetworkAddressEntry &e : QNetworkInterface::interfaceFromName("eth0").addressEntries())
        if (e.ip() == panel)
            return;
    System().ChangeIp(panel);
}

// Every datagram waiting on a socket.
inline QList<QNetworkDatagram> drain(QUdpSocket *socket)
{
    QList<QNetworkDatagram> out;
    while (socket->hasPendingDatagrams())
        out << socket->receiveDatagram();
    return out;
}

// The 24-byte status record with the given text and addresses, as the PC
// program reads it.
inline QByteArray expectedStatus(const QByteArray &serial, const QByteArray &pcOctets,
                               const QByteArray &terminalOctets)
{
    QByteArray r = serial.leftJustified(16, '\0', true);
    QByteArray pc = pcOctets, terminal = terminalOctets;
    std::reverse(pc.begin(), pc.end());
    std::reverse(terminal.begin(), terminal.end());
    return r + pc + terminal;
}

#endif
