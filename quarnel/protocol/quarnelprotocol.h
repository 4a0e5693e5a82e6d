#ifndef QUARNELPROTOCOL_H
#define QUARNELPROTOCOL_H

#include <QString>
#include <QtGlobal>

// What the terminal and the acquisition PC agree on besides the frame and
// record formats: the ports, and the software version both sides report.
namespace QuarnelProtocol {

// TCP: the PC's stream both ways, with command frames embedded.
constexpr quint16 DataPort = 2000;
// TCP: "ok" after every executed command frame.
constexpr quint16 AnswerPort = 2001;
// UDP broadcast: the discovery JSON while no PC is connected.
constexpr quint16 DiscoveryPort = 8192;
// UDP broadcast: the 24-byte status record when a PC connects or leaves.
constexpr quint16 StatusPort = 8193;

// The software version, "1.9.2022.5" style, from the build's project version.
QString version();

} // namespace QuarnelProtocol

#endif
