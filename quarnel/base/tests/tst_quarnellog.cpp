#include <QTest>
#include <QThread>

#include "quarnellog.h"

class Receiver : public QObject
{
    Q_OBJECT
public:
    QStringList items;
    QList<QThread *> threads;

public slots:
    void LogItemAdded(QString item)
    {
        items << item;
        threads << QThread::currentThread();
    }
};

class Emitter : public QThread
{
public:
    Emitter(QuarnelLog *log, QStringList texts) : _log(log), _texts(texts) {}

protected:
    void run() override
    {
        for (const QString &t : qAsConst(_texts))
            _log->AddLogItem(t);
    }

private:
    QuarnelLog *_log;
    QStringList _texts;
};

class tst_QuarnelLog : public QObject
{
    Q_OBJECT
private slots:
    void workerTextsArriveOnceInOrderInGuiThread();
    void textWithoutReceiverIsNotKept();
};

void tst_QuarnelLog::workerTextsArriveOnceInOrderInGuiThread()
{
    QuarnelLog log;
    Receiver receiver;
    connect(&log, &QuarnelLog::AddLogItemSignal, &receiver, &Receiver::LogItemAdded);

    QStringList texts{QString(), QStringLiteral("CODA PIENA"), QString(), QStringLiteral("più testine \t\"x\"")};
    for (int i = 0; i < 500; ++i)
        texts << QString::number(i);

    Emitter emitter(&log, texts);
    emitter.start();
    QVERIFY(emitter.wait(10000));

    QTRY_COMPARE(receiver.items.size(), texts.size());
    QCOMPARE(receiver.items, texts);
    QVERIFY(receiver.items.at(0).isNull() || receiver.items.at(0).isEmpty());
    for (QThread *t : qAsConst(receiver.threads))
        QCOMPARE(t, QThread::currentThread());

    // Nothing more arrives later: each text is delivered exactly once. The
    // emitter has ended, so whatever it queued is delivered here.
    QCoreApplication::sendPostedEvents();
    QCOMPARE(receiver.items.size(), texts.size());
}

void tst_QuarnelLog::textWithoutReceiverIsNotKept()
{
    QuarnelLog log;
    log.AddLogItem("Checking quarnel");
    Receiver late;
    connect(&log, &QuarnelLog::AddLogItemSignal, &late, &Receiver::LogItemAdded);
    QCoreApplication::processEvents();
    log.AddLogItem("second");
    QCOMPARE(late.items, QStringList{"second"});
}

QTEST_GUILESS_MAIN(tst_QuarnelLog)
#include "tst_quarnellog.moc"
