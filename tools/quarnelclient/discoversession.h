#ifndef DISCOVERSESSION_H
#define DISCOVERSESSION_H

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <quarnelpc/discovery.h>
#include <quarnelpc/quarnelpc.h>

class QTextStream;

// The `discover` job: print every discovery JSON and status record heard,
// with its sender, until a time-out, a count or an interruption.
class DiscoverSession : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        quint16 discoveryPort = QuarnelPc::Discovery::defaultDiscoveryPort();
        quint16 statusPort = QuarnelPc::Discovery::defaultStatusPort();
        double timeoutSeconds = 0;   // 0: until interrupted
        int count = 0;               // 0: no limit
    };

    DiscoverSession(const Options &options, QTextStream *out, QObject *parent = nullptr);
    ~DiscoverSession() override;

    void start();

public slots:
    void stop();

signals:
    void finished(int exitCode, const QString &error);

private slots:
    void announced(const QuarnelPc::Announcement &a);
    void status(const QuarnelPc::ConnectionStatus &s);
    void invalidAnnouncement(const QHostAddress &sender, quint16 port, const QByteArray &payload,
                             const QString &reason);
    void invalidStatus(const QHostAddress &sender, quint16 port, const QByteArray &payload,
                       const QString &reason);
    void timedOut();

private:
    void counted();
    void finish(int code, const QString &error);
    QString prefix(const char *kind, const QHostAddress &sender, quint16 port) const;

    Options opts;
    QTextStream *out;
    QuarnelPc::Discovery *_discovery;
    QTimer timer;
    int heard = 0;
    bool done = false;
};

#endif
