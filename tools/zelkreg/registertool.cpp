#include "registertool.h"

#include "dxusb.h"
#include "registermap.h"

#include <QElapsedTimer>
#include <QThread>
#include <cstring>

using namespace RegisterMap;

namespace {

QString hex64(uint64_t value)
{
    return QStringLiteral("0x%1").arg(value, 16, 16, QLatin1Char('0'));
}

// A name, when given, follows the number: "register  9 fifoCount = ...".
QString registerLine(int reg, uint64_t value, const QString &name = QString())
{
    QString number = QStringLiteral("%1").arg(reg, 2);
    if (!name.isEmpty())
        number += QLatin1Char(' ') + name;
    return QStringLiteral("register %1 = %2 (%3)").arg(number, hex64(value)).arg(value);
}

// The link word: link on, one channel for reading and writing, sync off,
// clock code 0.
uint64_t linkWord(int channel)
{
    return LinkConfig::linkOn | uint64_t(channel) << LinkConfig::writeChannelShift | uint64_t(channel);
}

// Headboxes send text with the two bytes of every 16-bit unit swapped.
QByteArray unitsSwapped(const QByteArray &bytes)
{
    QByteArray out = bytes;
    for (int i = 0; i + 1 < out.size(); i += 2) {
        const char first = out.at(i);
        out[i] = out.at(i + 1);
        out[i + 1] = first;
    }
    return out;
}

QString printable(const QByteArray &bytes)
{
    QString text;
    for (char c : bytes)
        text += (c >= 0x20 && c < 0x7F) ? QChar::fromLatin1(c) : QChar('.');
    return text;
}

} // namespace

RegisterTool::RegisterTool(dxusb *block, QTextStream &out) : _block(block), _out(out) {}

int RegisterTool::verify()
{
    uint16_t version[2] = {0, 0};
    const int answers = _block->verify_cyclone(version);
    if (!answers) {
        _out << "FPGA does not answer: register " << testReadBack << " reads " << hex64(_block->read(testReadBack))
             << " instead of " << hex64(testPatternValue) << "\n";
        _out.flush();
        return Failed;
    }
    _out << "FPGA answers\n"
         << "firmware version " << version[0] << "." << version[1] << "\n";
    _out.flush();
    return Ok;
}

int RegisterTool::readRegister(int reg)
{
    _out << registerLine(reg, _block->read(reg)) << "\n";
    _out.flush();
    return Ok;
}

int RegisterTool::writeRegister(int reg, uint64_t value)
{
    _block->write(reg, value);
    _out << QStringLiteral("register %1 <- %2 (%3)").arg(reg, 2).arg(hex64(value)).arg(value) << "\n";
    _out.flush();
    return Ok;
}

int RegisterTool::dump()
{
// The register's number and its name in the register map, spelt once.
#define READABLE(name) name, #name
    static const struct {
        int reg;
        const char *name;
        const char *meaning;
    } readable[] = {
        {READABLE(fifoCount), "words waiting in the receive FIFO"},
        {READABLE(testReadBack), "test pattern read-back (0xaaaa after verify)"},
        {READABLE(firmwareMajor), "firmware version, first number"},
        {READABLE(firmwareMinor), "firmware version, second number"},
    };
#undef READABLE
    int nameWidth = 0;
    for (const auto &r : readable)
        nameWidth = qMax(nameWidth, int(strlen(r.name)));
    for (const auto &r : readable) {
        const QString name = QString::fromLatin1(r.name).leftJustified(nameWidth);
        _out << registerLine(r.reg, _block->read(r.reg), name) << "  " << r.meaning << "\n";
    }
    _out << "register 10 not read: each read takes a received word off the FIFO\n";
    _out.flush();
    return Ok;
}

QByteArray RegisterTool::drain(int maxWords)
{
    QByteArray bytes;
    uint64_t waiting = _block->read(fifoCount);
    while (waiting > 0 && maxWords > 0) {
        for (uint64_t i = 0; i < waiting && maxWords > 0; ++i, --maxWords) {
            const uint64_t word = _block->read(fifoData);
            // Stream bytes travel least significant byte first.
            for (int b = 0; b < 8; ++b)
                bytes.append(char((word >> (8 * b)) & 0xFF));
        }
        waiting = _block->read(fifoCount);
    }
    return bytes;
}

int RegisterTool::command(const QByteArray &code, int channel, int waitMs)
{
    // A streaming headbox never stops filling the FIFO: bound what is read.
    constexpr int maxWords = 4096;

    _block->write(linkConfig, linkWord(channel));
    QThread::msleep(10);   // the link switches channel before the next byte
    const QByteArray stale = drain(maxWords);
    if (!stale.isEmpty())
        _out << "discarded " << stale.size() << " bytes already waiting on channel " << channel << "\n";

    _block->send_command_orv(code[0], code[1], code[2], code[3], code[4], code[5]);
    _out << "sent on channel " << channel << ": \\r\\nRDJW" << code << "\\r\\n\n";

    QByteArray answer;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < waitMs && answer.size() < maxWords * 8) {
        answer += drain(maxWords - answer.size() / 8);
        QThread::msleep(1);
    }
    if (answer.isEmpty()) {
        _out << "no answer within " << waitMs << " ms\n";
        _out.flush();
        return Ok;
    }
    _out << "received " << answer.size() << " bytes\n";
    printBytes(answer);
    _out << "as text, 16-bit units swapped: " << printable(unitsSwapped(answer)) << "\n";
    _out.flush();
    return Ok;
}

void RegisterTool::printBytes(const QByteArray &bytes)
{
    for (int offset = 0; offset < bytes.size(); offset += 16) {
        const QByteArray line = bytes.mid(offset, 16);
        QString hex;
        for (char c : line)
            hex += QStringLiteral("%1 ").arg(uchar(c), 2, 16, QLatin1Char('0'));
        _out << QStringLiteral("  %1  %2 |%3|").arg(offset, 4, 16, QLatin1Char('0')).arg(hex, -48).arg(printable(line))
             << "\n";
    }
}
