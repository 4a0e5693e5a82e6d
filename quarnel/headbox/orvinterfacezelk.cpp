#include "orvinterfacezelk.h"

#include <QDebug>
#include <QProcess>
#include <QVarLengthArray>
#include <QtEndian>
#include <cstdio>
#include <cstring>

#include "quarnellog.h"
#include "registermap.h"

using namespace RegisterMap;

namespace {
const uint32_t readTimeoutMs = 200;
// Trigger output clock: 104857600 Hz counted in hundredths of a hertz.
const uint32_t triggerClock = 0x6400000;

// Half of a product of two 16-bit values, rounded down in 32-bit signed
// arithmetic as the FPGA's framing expects; the product may exceed the
// signed range, so it is formed unsigned and wrapped explicitly.
uint32_t halfProduct(WORD a, WORD b)
{
    const int32_t product = int32_t(uint32_t(a) * uint32_t(b));
    return uint32_t(product >> 1);
}
} // namespace

OrvInterfaceZelk::OrvInterfaceZelk(QuarnelLog *log)
    : OrvInterface(nullptr)
{
    _log = log;
    zelk.interface_open();
    zelk.set_timer(readTimeoutMs);
}

OrvInterfaceZelk::~OrvInterfaceZelk()
{
    zelk.interface_close();
    Close();
}

unsigned long OrvInterfaceZelk::Close()
{
    return 0;
}

int OrvInterfaceZelk::Open()
{
    return 0;
}

// The panel's own FPGA is always reported present: a failed verification
// is only worth a debug line (the link set-up catches a missing firmware).
int OrvInterfaceZelk::CheckInterface()
{
    uint16_t status[2] = {0, 0};
    if (zelk.verify_cyclone(status) == 1)
        return 0;
    qDebug().noquote() << "ERRORE CHECK INTERFACE";
    return 0;
}

void OrvInterfaceZelk::ClearRxBuffer()
{
    WriteRegister(linkControl, LinkControl::flush);
    Pause(100);
    WriteRegister(linkControl, reg5);
    // The ring last: a word the reader moved out of the FIFO before the
    // flush (its batch in flight included, which the ring drops) must not
    // outlive the clear.
    zelk.clear_all_data_circular_queue();
}

void OrvInterfaceZelk::ClearTxBuffer()
{
}

int OrvInterfaceZelk::Write(BYTE *command, int length)
{
    if (!command || length <= 0)
        return 0;
    QMutexLocker lock(&syncWrite);
    uint32_t sent = 0;
    zelk.send_data(reinterpret_cast<char *>(command), uint32_t(length), &sent);
    return int(sent);
}

int OrvInterfaceZelk::WriteUntil(BYTE *command, int length, const std::atomic<bool> &stop)
{
    if (!command || length <= 0)
        return 0;
    QMutexLocker lock(&syncWrite);
    uint32_t sent = 0;
    zelk.send_data(reinterpret_cast<char *>(command), uint32_t(length), &sent, &stop);
    return int(sent);
}

int OrvInterfaceZelk::Read(BYTE *command, int length)
{
    const int wordCount = length / 8;
    if (!command || wordCount <= 0)
        return 0;
    // The caller's byte buffer has no particular alignment.
    QVarLengthArray<uint64_t, 512> words(wordCount);
    uint32_t received = 0;
    zelk.read_data(words.data(), uint32_t(wordCount) * 8, &received);
    const int bytes = qMin(int(received), wordCount * 8) & ~7;
    for (int i = 0; i < bytes / 8; ++i)
        qToLittleEndian<quint64>(words[i], command + 8 * i);
    return bytes;
}

int OrvInterfaceZelk::DataInQueue()
{
    uint32_t bytes = 0;
    zelk.data_in_queue(&bytes);
    return int(bytes);
}

// The relay's poll: one count of the ring and one copy, straight into the
// caller's buffer, never Read's wait.
int OrvInterfaceZelk::MyRead(BYTE *data, int maxLength)
{
    if (!data || maxLength <= 0)
        return 0;
    uint32_t bytes = 0;
    zelk.read_available(data, uint32_t(maxLength), &bytes);
    return int(bytes);
}

short OrvInterfaceZelk::WriteRegister(BYTE reg, WORD val)
{
    zelk.write_on_register(reg, uint64_t(val));
    return 0;
}

void OrvInterfaceZelk::SetMultiHeadInfo(WORD numOrv, WORD dataLen, WORD totCh, WORD campXpack,
                                        WORD *numCanDaOrv)
{
    AddLogItem("Set MultiHead Info");
    const uint32_t total = halfProduct(dataLen, totCh);
    uint32_t headboxes = numOrv;
    if (dataLen == 4)
        headboxes |= Framing::fourByteSamples;
    uint32_t perHeadbox[4] = {0, 0, 0, 0};
    for (int k = 0; numCanDaOrv && k < 4; ++k)
        perHeadbox[k] = halfProduct(numCanDaOrv[k], dataLen);
    zelk.set_multihead_trigger(headboxes, total, total, campXpack, perHeadbox[0], perHeadbox[1],
                               perHeadbox[2], perHeadbox[3]);
    WriteRegister(triggerControl, Trigger::off);
}

short OrvInterfaceZelk::TestInterface()
{
    uint16_t status[2] = {0, 0};
    const int r = zelk.verify_cyclone(status);
    AddLogItem("Verify interface:" + QString::number(r));
    memset(version, 0, sizeof(version));
    if (r != 1)
        return -1;
    snprintf(version, sizeof(version), "firmware ver. %d.%d", int(status[0]), int(status[1]));
    return 0;
}

short OrvInterfaceZelk::SetTriggerOut(long freqCentesimi)
{
    // The divider works on the low 32 bits; a value whose low 32 bits are
    // zero would divide by zero, so it switches the output off like 0.
    const uint32_t freq = uint32_t(freqCentesimi);
    if (freq == 0) {
        WriteRegister(triggerDivider, 0);
        WriteRegister(triggerDivider, 0);
        WriteRegister(triggerControl, Trigger::off);
        return 0;
    }
    qDebug().noquote() << "Zelk trigger out";
    const uint32_t divider = triggerClock / freq - 1;
    WriteRegister(triggerDivider, WORD(divider & Trigger::halfMask));
    WriteRegister(triggerDivider, WORD((divider >> Trigger::halfShift) & Trigger::halfMask));
    WriteRegister(triggerControl, Trigger::on);
    return 0;
}

// A lost FPGA link does not come back without a restart of the panel.
void OrvInterfaceZelk::ResetInterface()
{
    QProcess::execute("sudo", QStringList() << "reboot");
}

void OrvInterfaceZelk::DisplayPower(bool onOff)
{
    if (onOff)
        reg8 &= WORD(~PanelControl::displayOff);
    else
        reg8 |= PanelControl::displayOff;
    WriteRegister(panelControl, reg8);
}
