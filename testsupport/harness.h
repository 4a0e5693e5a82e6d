#ifndef TESTSUPPORT_HARNESS_H
#define TESTSUPPORT_HARNESS_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTest>

#include <unistd.h>

#include <algorithm>

// Tests that start the program, open network sockets beyond loopback or run
// ifupdown call QUARNEL_REQUIRE_HARNESS() first: outside the namespace harness
// they would act on the real machine. Being inside is checked, not believed:
// scripts/harness.sh records the caller's namespaces before it unshares, and
// none of this process's may be one of them. An inherited QUARNEL_HARNESS=1
// alone proves nothing.
namespace harness {

// "net:[4026531840]" for type "net"; empty when unreadable.
inline QString namespaceOf(const char *type)
{
    const QByteArray path = QByteArray("/proc/self/ns/") + type;
    char target[64];
    const ssize_t n = ::readlink(path.constData(), target, sizeof target);
    if (n <= 0 || n >= ssize_t(sizeof target))
        return QString();
    return QString::fromLatin1(target, int(n));
}

// Why this process is not inside the harness; empty when it is.
inline QString refusal()
{
    if (qgetenv("QUARNEL_HARNESS") != "1")
        return QStringLiteral("QUARNEL_HARNESS is not set");
    const QStringList record = QString::fromLocal8Bit(qgetenv("QUARNEL_HARNESS_CALLER_NS"))
                                   .split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const char *type : {"net", "mnt", "pid"}) {
        const QString own = namespaceOf(type);
        if (own.isEmpty())
            return QStringLiteral("cannot read /proc/self/ns/%1").arg(QLatin1String(type));
        const QString prefix = QLatin1String(type) + QLatin1String(":[");
        if (!std::any_of(record.cbegin(), record.cend(), [&](const QString &r) { return r.startsWith(prefix); }))
            return QStringLiteral("no record of the caller's %1 namespace").arg(QLatin1String(type));
        if (record.contains(own))
            return QStringLiteral("still in the caller's %1 namespace (%2)").arg(QLatin1String(type), own);
    }
    // The machine's own PID namespace has this fixed identity on every Linux.
    if (namespaceOf("pid") == QLatin1String("pid:[4026531836]"))
        return QStringLiteral("in the machine's own PID namespace");
    return QString();
}

inline bool inside() { return refusal().isEmpty(); }
inline QString dir() { return QString::fromLocal8Bit(qgetenv("QUARNEL_HARNESS_DIR")); }
inline QString panelIp() { return QString::fromLocal8Bit(qgetenv("QUARNEL_PANEL_IP")); }
inline QString pcIp() { return QString::fromLocal8Bit(qgetenv("QUARNEL_PC_IP")); }
inline QString pcNetns() { return QString::fromLocal8Bit(qgetenv("QUARNEL_PC_NETNS")); }
inline QString sudoLog() { return QString::fromLocal8Bit(qgetenv("QUARNEL_SUDO_LOG")); }
inline QString standinLog() { return QString::fromLocal8Bit(qgetenv("QUARNEL_STANDIN_LOG")); }

} // namespace harness

// A failure, not a skip: a harness-only test that did not run must never
// pass, under ctest or by hand.
#define QUARNEL_REQUIRE_HARNESS()                                                            \
    do {                                                                                     \
        const QString whyNot_ = harness::refusal();                                          \
        if (!whyNot_.isEmpty())                                                              \
            QFAIL(qPrintable(QStringLiteral("refusing to run outside the namespace harness " \
                                            "(%1): run it through scripts/harness.sh")       \
                                 .arg(whyNot_)));                                            \
    } while (0)

#endif
