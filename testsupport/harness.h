#ifndef TESTSUPPORT_HARNESS_H
#define TESTSUPPORT_HARNESS_H

#include <QByteArray>
#include <QString>
#include <QtTest>

// Tests that start the program, open network sockets beyond loopback or run
// ifupdown call QUARNEL_REQUIRE_HARNESS() first: outside the namespace harness
// they would act on the real machine.
namespace harness {

inline bool inside() { return qgetenv("QUARNEL_HARNESS") == "1"; }
inline QString dir() { return QString::fromLocal8Bit(qgetenv("QUARNEL_HARNESS_DIR")); }
inline QString panelIp() { return QString::fromLocal8Bit(qgetenv("QUARNEL_PANEL_IP")); }
inline QString pcIp() { return QString::fromLocal8Bit(qgetenv("QUARNEL_PC_IP")); }
inline QString pcNetns() { return QString::fromLocal8Bit(qgetenv("QUARNEL_PC_NETNS")); }
inline QString sudoLog() { return QString::fromLocal8Bit(qgetenv("QUARNEL_SUDO_LOG")); }

} // namespace harness

#define QUARNEL_REQUIRE_HARNESS()                                                     \
    do {                                                                              \
        if (!harness::inside())                                                       \
            QSKIP("needs the namespace harness: run it through scripts/harness.sh"); \
    } while (0)

#endif
