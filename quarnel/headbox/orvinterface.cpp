#include "orvinterface.h"

#include <QDebug>
#include <cstring>

#include "quarnellog.h"
#include "registermap.h"

using namespace RegisterMap;

OrvInterface::OrvInterface(QObject *parent)
    : QObject(parent),
      reg15(0),
      reg5(0),
      reg8(0),
      isTransparentMode(false),
      _log(nullptr),
      _ftdi(nullptr),
      _devlist(nullptr),
      _curdev(nullptr),
      _ret(0),
      _nDataFtdi(0),
      _nDataAcquisition(0),
      _stopThread(true),
      _internalFtdiBuffer(nullptr),
      _tcpBuffer(nullptr),
      _tmpByteToComplete(0),
      _tmpByteToRead(0),
      _tmpByteRead(0),
      _pckNumber(0),
      _queue(0),
      _byteRead(0),
      _numberOfDevice(0),
      _bytesWritten(0),
      vidPid(0),
      simError(0)
{
    memset(_dataBufferToWrite, 0, sizeof(_dataBufferToWrite));
    memset(_dataBufferToRead, 0, sizeof(_dataBufferToRead));
    memset(version, 0, sizeof(version));
    memset(manufacturer, 0, sizeof(manufacturer));
    memset(description, 0, sizeof(description));
}

OrvInterface::~OrvInterface() = default;

unsigned long OrvInterface::Close() { return 0; }
int OrvInterface::Open() { return 0; }
int OrvInterface::CheckInterface() { return 0; }
void OrvInterface::ClearRxBuffer() {}
void OrvInterface::ClearTxBuffer() {}
int OrvInterface::Write(BYTE *, int) { return 0; }
int OrvInterface::Read(BYTE *, int) { return 0; }
int OrvInterface::DataInQueue() { return 0; }
void OrvInterface::ExitTransparentMode() {}
void OrvInterface::EnterTransparentMode() {}
short OrvInterface::SendUsbCommand(BYTE *, short) { return 0; }
short OrvInterface::WriteRegister(BYTE, WORD) { return 0; }
void OrvInterface::SetMultiHeadInfo(WORD, WORD, WORD, WORD, WORD *) {}
short OrvInterface::TestInterface() { return 0; }
short OrvInterface::SetTriggerOut(long) { return 0; }
void OrvInterface::ResetInterface() {}
void OrvInterface::WakeupComunication() {}
void OrvInterface::DisplayPower(bool) {}

// A channel is three bits wide; the value may come from a PC's command frame,
// and a wider one would overwrite the sync and clock bits of the same register.
static int channelBits(short whichHeadbox)
{
    return whichHeadbox & LinkConfig::channelMask;
}

short OrvInterface::WhichHeadboxReadWrite(short whichHeadbox)
{
    whichHeadbox = short(channelBits(whichHeadbox));
    int r = reg15;
    r = (r & ~LinkConfig::writeChannel) | (whichHeadbox << LinkConfig::writeChannelShift);
    r = (r & ~LinkConfig::readChannel) | whichHeadbox;
    reg15 = WORD(r & LinkConfig::bits);
    WriteRegister(linkConfig, reg15);
    // The link needs time to switch channel before the next byte.
    Pause(10);
    return 0;
}

short OrvInterface::WhichHeadboxRead(short whichHeadbox)
{
    reg15 = WORD((reg15 & LinkConfig::except(LinkConfig::readChannel)) | channelBits(whichHeadbox));
    WriteRegister(linkConfig, reg15);
    return 0;
}

short OrvInterface::WhichHeadboxWrite(short whichHeadbox)
{
    reg15 = WORD((reg15 & LinkConfig::except(LinkConfig::writeChannel))
                 | (channelBits(whichHeadbox) << LinkConfig::writeChannelShift));
    WriteRegister(linkConfig, reg15);
    return 0;
}

short OrvInterface::SendSync(short onOff)
{
    if (onOff) {
        AddLogItem("sync On");
        Pause(600);
        reg15 |= LinkConfig::sync;
    } else {
        AddLogItem("sync Off");
        reg15 &= LinkConfig::except(LinkConfig::sync);
        WORD noChannels[4] = {0, 0, 0, 0};
        SetMultiHeadInfo(0, 0, 0, 0, noChannels);
    }
    WriteRegister(linkConfig, reg15);
    return 0;
}

void OrvInterface::SetClockFrequency(short clockVal)
{
    WORD code = 0;
    switch (clockVal) {
    case 8:
        code = 1;
        break;
    case 12:
    case 16:
        code = 2;
        break;
    case 24:
        code = 3;
        break;
    default:
        break;
    }
    reg15 = WORD((reg15 & LinkConfig::except(LinkConfig::clockCode)) | (code << LinkConfig::clockShift));
    WriteRegister(linkConfig, reg15);
}

short OrvInterface::SetInterface()
{
    AddLogItem("Set Interface");
    qDebug().noquote() << "set interface n";
    ClearRxBuffer();
    ClearTxBuffer();
    short result = SetUsb();
    ClearRxBuffer();
    return result;
}

short OrvInterface::SetUsb()
{
    AddLogItem("Enter set usb");
    qDebug().noquote() << "Enter set usb";

    isTransparentMode = true;
    ExitTransparentMode();

    reg5 = LinkControl::flush;
    WriteRegister(linkControl, reg5);

    _dataBufferToWrite[0] = 0x0A;
    _dataBufferToWrite[1] = 0x00;
    _dataBufferToWrite[2] = 0x00;
    _dataBufferToWrite[3] = 0x00;
    SendUsbCommand(_dataBufferToWrite, 4);

    reg8 = 0;
    WriteRegister(panelControl, reg8);

    if (TestInterface() != 0) {
        AddLogItem("Firmware not loaded!");
        qDebug().noquote() << "ERROREEEEEE 8";
        return -2;
    }
    emit FirmwareVersion(QString(version));

    reg5 = LinkControl::setUp;
    WriteRegister(linkControl, reg5);

    _dataBufferToWrite[0] = 0x08;
    _dataBufferToWrite[1] = 0x00;
    _dataBufferToWrite[2] = 0x00;
    _dataBufferToWrite[3] = 0x00;
    SendUsbCommand(_dataBufferToWrite, 4);

    _dataBufferToWrite[0] = 0x07;
    _dataBufferToWrite[1] = 0x40;
    _dataBufferToWrite[2] = 0x00;
    SendUsbCommand(_dataBufferToWrite, 3);

    reg15 = LinkConfig::linkOn;
    WriteRegister(linkConfig, reg15);

    Pause(500);

    reg8 = PanelControl::linkUp;
    WriteRegister(panelControl, reg8);

    reg5 = LinkControl::running;
    WriteRegister(linkControl, reg5);

    _dataBufferToWrite[0] = 0x0A;
    _dataBufferToWrite[1] = 0x02;
    _dataBufferToWrite[2] = 0x00;
    _dataBufferToWrite[3] = 0x00;
    SendUsbCommand(_dataBufferToWrite, 4);

    WORD noChannels[4] = {0, 0, 0, 0};
    SetMultiHeadInfo(0, 0, 0, 0, noChannels);

    EnterTransparentMode();

    Pause(100);

    ClearRxBuffer();
    ClearTxBuffer();

    AddLogItem("Talvenor usb kivo correctly set!");
    qDebug().noquote() << "Talvenor usb kivo correctly set!";
    return 0;
}

int OrvInterface::WriteUntil(BYTE *command, int length, const std::atomic<bool> &stop)
{
    if (stop.load())
        return 0;
    return Write(command, length);
}

int OrvInterface::MyRead(BYTE *data, int maxLength)
{
    int n = qMin(DataInQueue(), maxLength);
    if (n <= 0)
        return 0;
    return Read(data, n);
}

void OrvInterface::SetFtdiBuffer(int _nData)
{
    if (_nData <= 0)
        return;
    _nDataAcquisition = _nData;
    _nDataFtdi = qMin(_nData, 8192);
}

void OrvInterface::AddLogItem(QString item)
{
    if (_log)
        _log->AddLogItem(item);
}

void OrvInterface::Pause(unsigned long ms)
{
    _mySleep.msleep(ms);
}
