#ifndef RECORDINGORVINTERFACE_H
#define RECORDINGORVINTERFACE_H

// RecordingOrvInterface: an OrvInterface that talks to no hardware and
// records every transport call in order, for contract tests of the headbox
// link and of anything that drives it (protocol, checker, relay thread,
// command interpreter). Thread-safe: the link may be driven from a worker
// thread while the test thread feeds answers and inspects the record.
// Target: quarnel_headbox_testsupport.
//
// Record (each entry: name + arguments, in call order):
//   "WriteRegister"    {reg, value}
//   "Pause"            {ms}                 pauses of the base's sequences
//   "SetMultiHeadInfo" {numOrv, dataLen, totCh, campXpack, c1, c2, c3, c4}
//   "ClearRxBuffer" {}  "ClearTxBuffer" {}  (ClearRxBuffer also drops queued answers)
//   "Write"            {QByteArray bytes, writeChannel}
//   "Read"             {requested, delivered}
//   "DataInQueue"      {answer}
//   "SendUsbCommand"   {QByteArray bytes}
//   "TestInterface" {}  "ExitTransparentMode" {}  "EnterTransparentMode" {}
//   "SetTriggerOut"    {freq}   "DisplayPower" {onOff}   "ResetInterface" {}
//   "CheckInterface" {}  "Open" {}  "Close" {}
//
// API:
//   calls()                 every Call so far;  names(): just the names
//   calls("Read")           the calls of one name
//   registerWrites()        {reg, value} pairs in order; pauses(): ms values
//   written()               all bytes written, concatenated
//   clear()                 forget the record (queued answers stay)
//   feedRx(bytes, channel)  queue received bytes; channel -1 = served on any
//                           read channel, 0..7 = only while reg15 bits 0-2
//                           select that channel (headboxes on their own lines)
//   pending()               bytes still queued for the selected read channel
//   setTestInterfaceResult(r, versionText)  what TestInterface answers/fills
//   setReadTimeoutMs(ms)    Read waits up to ms for the requested amount
//                           (default 0: answers at once with what is queued)
//   setRealPauses(true)     also sleep for the base's pauses (default: only record)
//   setDataInQueueOverride(n)  DataInQueue answers n (-1: the queued count)
//   setWriteHook(f)         f(bytes, writeChannel) runs after each Write is
//                           recorded (outside the lock): lets a test play the
//                           headboxes, e.g. feedRx() an answer to a command
//   reg15/reg5/reg8/version are the base's public shadows.

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QMutex>
#include <QMutexLocker>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>
#include <QWaitCondition>
#include <cstring>
#include <functional>

#include "orvinterface.h"

class RecordingOrvInterface : public OrvInterface
{
public:
    struct Call
    {
        QString name;
        QVariantList args;
    };

    explicit RecordingOrvInterface(QObject *parent = nullptr) : OrvInterface(parent) {}

    // --- what the test controls -------------------------------------------
    void feedRx(const QByteArray &bytes, int channel = -1)
    {
        QMutexLocker lock(&m_mutex);
        m_rx[channel].append(bytes);
        m_rxArrived.wakeAll();
    }
    void setTestInterfaceResult(short result, const QByteArray &versionText = QByteArray())
    {
        QMutexLocker lock(&m_mutex);
        m_testResult = result;
        m_versionText = versionText;
    }
    void setReadTimeoutMs(int ms)
    {
        QMutexLocker lock(&m_mutex);
        m_readTimeoutMs = ms;
    }
    void setRealPauses(bool on)
    {
        QMutexLocker lock(&m_mutex);
        m_realPauses = on;
    }
    void setWriteHook(std::function<void(const QByteArray &, int)> hook)
    {
        QMutexLocker lock(&m_mutex);
        m_writeHook = std::move(hook);
    }
    void setDataInQueueOverride(int n)
    {
        QMutexLocker lock(&m_mutex);
        m_dataInQueueOverride = n;
    }

    // --- what the test inspects -------------------------------------------
    QList<Call> calls() const
    {
        QMutexLocker lock(&m_mutex);
        return m_calls;
    }
    QList<Call> calls(const QString &name) const
    {
        QMutexLocker lock(&m_mutex);
        QList<Call> out;
        for (const Call &c : m_calls)
            if (c.name == name)
                out.append(c);
        return out;
    }
    QStringList names() const
    {
        QMutexLocker lock(&m_mutex);
        QStringList out;
        for (const Call &c : m_calls)
            out.append(c.name);
        return out;
    }
    QVector<QPair<int, int>> registerWrites() const
    {
        QVector<QPair<int, int>> out;
        for (const Call &c : calls("WriteRegister"))
            out.append(qMakePair(c.args.at(0).toInt(), c.args.at(1).toInt()));
        return out;
    }
    QVector<unsigned long> pauses() const
    {
        QVector<unsigned long> out;
        for (const Call &c : calls("Pause"))
            out.append(c.args.at(0).toULongLong());
        return out;
    }
    QByteArray written() const
    {
        QByteArray out;
        for (const Call &c : calls("Write"))
            out.append(c.args.at(0).toByteArray());
        return out;
    }
    int pending() const
    {
        QMutexLocker lock(&m_mutex);
        return availableLocked();
    }
    void clear()
    {
        QMutexLocker lock(&m_mutex);
        m_calls.clear();
    }

    // --- the link ---------------------------------------------------------
    unsigned long Close() override { record("Close"); return 0; }
    int Open() override { record("Open"); return 0; }
    int CheckInterface() override { record("CheckInterface"); return 0; }
    void ClearRxBuffer() override
    {
        QMutexLocker lock(&m_mutex);
        m_rx.clear();
        m_calls.append(Call{"ClearRxBuffer", {}});
    }
    void ClearTxBuffer() override { record("ClearTxBuffer"); }
    int Write(BYTE *command, int length) override
    {
        const QByteArray bytes(reinterpret_cast<const char *>(command), qMax(length, 0));
        const int channel = (reg15 >> 3) & 7;
        std::function<void(const QByteArray &, int)> hook;
        {
            QMutexLocker lock(&m_mutex);
            m_calls.append(Call{"Write", {bytes, channel}});
            hook = m_writeHook;
        }
        if (hook)
            hook(bytes, channel);
        return bytes.size();
    }
    int Read(BYTE *command, int length) override
    {
        QMutexLocker lock(&m_mutex);
        QElapsedTimer timer;
        timer.start();
        while (availableLocked() < length && timer.elapsed() < m_readTimeoutMs)
            m_rxArrived.wait(&m_mutex, ulong(qMax<qint64>(1, m_readTimeoutMs - timer.elapsed())));
        const int n = qMin(qMax(length, 0), availableLocked());
        takeLocked(command, n);
        m_calls.append(Call{"Read", {length, n}});
        return n;
    }
    int DataInQueue() override
    {
        QMutexLocker lock(&m_mutex);
        const int n = m_dataInQueueOverride >= 0 ? m_dataInQueueOverride : availableLocked();
        m_calls.append(Call{"DataInQueue", {n}});
        return n;
    }
    void ExitTransparentMode() override { record("ExitTransparentMode"); }
    void EnterTransparentMode() override { record("EnterTransparentMode"); }
    short SendUsbCommand(BYTE *command, short len) override
    {
        record("SendUsbCommand",
               {QByteArray(reinterpret_cast<const char *>(command), qMax<int>(len, 0))});
        return 0;
    }
    short WriteRegister(BYTE reg, WORD val) override
    {
        record("WriteRegister", {int(reg), int(val)});
        return 0;
    }
    void SetMultiHeadInfo(WORD numOrv, WORD dataLen, WORD totCh, WORD campXpack,
                          WORD *numCanDaOrv) override
    {
        QVariantList args{int(numOrv), int(dataLen), int(totCh), int(campXpack)};
        for (int k = 0; k < 4; ++k)
            args.append(numCanDaOrv ? int(numCanDaOrv[k]) : -1);
        record("SetMultiHeadInfo", args);
    }
    short TestInterface() override
    {
        record("TestInterface");
        QMutexLocker lock(&m_mutex);
        memset(version, 0, sizeof(version));
        memcpy(version, m_versionText.constData(),
               size_t(qMin<int>(m_versionText.size(), int(sizeof(version)) - 1)));
        return m_testResult;
    }
    short SetTriggerOut(long freq) override
    {
        record("SetTriggerOut", {qlonglong(freq)});
        return 0;
    }
    void ResetInterface() override { record("ResetInterface"); }
    void DisplayPower(bool onOff) override { record("DisplayPower", {onOff}); }

    // Test access to the logging path and the base's storage.
    using OrvInterface::_log;
    using OrvInterface::_nDataAcquisition;
    using OrvInterface::_nDataFtdi;

protected:
    void Pause(unsigned long ms) override
    {
        bool real;
        {
            QMutexLocker lock(&m_mutex);
            m_calls.append(Call{"Pause", {qulonglong(ms)}});
            real = m_realPauses;
        }
        if (real)
            OrvInterface::Pause(ms);
    }

private:
    void record(const QString &name, const QVariantList &args = {})
    {
        QMutexLocker lock(&m_mutex);
        m_calls.append(Call{name, args});
    }
    int readChannel() const { return reg15 & 7; }
    int availableLocked() const
    {
        return m_rx.value(readChannel()).size() + m_rx.value(-1).size();
    }
    void takeLocked(BYTE *out, int n)
    {
        for (int key : {readChannel(), -1}) {
            QByteArray &q = m_rx[key];
            const int k = qMin(n, q.size());
            if (k <= 0)
                continue;
            memcpy(out, q.constData(), size_t(k));
            q.remove(0, k);
            out += k;
            n -= k;
        }
    }

    mutable QMutex m_mutex;
    QWaitCondition m_rxArrived;
    QList<Call> m_calls;
    QMap<int, QByteArray> m_rx;
    short m_testResult = 0;
    QByteArray m_versionText;
    int m_readTimeoutMs = 0;
    bool m_realPauses = false;
    int m_dataInQueueOverride = -1;
    std::function<void(const QByteArray &, int)> m_writeHook;
};

#endif
