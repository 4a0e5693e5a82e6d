#include "orv.h"

#include <QDebug>
#include <cstring>

#include "orvinterface.h"
#include "quarnellog.h"

namespace {
const int serialLength = 16;
// Waits for every headbox to answer the identification command.
const unsigned long answerWaitMs = 200;
const int maxHeadboxes = 4;

// Text of a received serial up to its first NUL; every byte maps to a
// character, so a garbled answer still becomes a (wrong) text.
QString serialText(const char *entry)
{
    return QString::fromLatin1(entry, int(strnlen(entry, serialLength)));
}
} // namespace

Orv::Orv(OrvInterface *orvInter, QuarnelLog *log, QObject *parent)
    : QObject(parent),
      _acquisitionOn(false),
      _interface(orvInter),
      _log(log),
      _sampleRate(0),
      _nDevices(0),
      _extraPacket(0),
      _bytesSample(0),
      _nDataToRead(0),
      _speed(0),
      nDevs(-1),
      _cnt(0),
      _isTransparent(false),
      _resetTransmission(false),
      _reg15Usb(0),
      _orvSetup{0, 0, 0, 0, 0}
{
    memset(_nChannels, 0, sizeof(_nChannels));
    memset(_command, 0, sizeof(_command));
    memset(_dataBufferToWrite, 0, sizeof(_dataBufferToWrite));
    memset(_dataBufferToRead, 0, sizeof(_dataBufferToRead));
    memset(_cmd, 0, sizeof(_cmd));
    memset(_serialNumber, 0, sizeof(_serialNumber));
}

void Orv::Write(BYTE *command, int Length)
{
    if (!_interface)
        return;
    _interface->Write(command, Length);
}

int Orv::Read(BYTE *command, int Length)
{
    if (!_interface)
        return 0;
    return _interface->Read(command, Length);
}

int Orv::ReadStream(BYTE *data, int maxLength)
{
    return _interface ? _interface->MyRead(data, maxLength) : 0;
}

int Orv::WriteUntil(BYTE *command, int length, const std::atomic<bool> &stop)
{
    return _interface ? _interface->WriteUntil(command, length, stop) : 0;
}

void Orv::ClearRxBuffer()
{
    if (_interface)
        _interface->ClearRxBuffer();
}

void Orv::SendOrvCommand(BYTE *cmd)
{
    _dataBufferToWrite[0] = 0x0D;
    _dataBufferToWrite[1] = 0x0A;
    memcpy(_dataBufferToWrite + 2, "RDJW", 4);
    memcpy(_dataBufferToWrite + 6, cmd, 6);
    _dataBufferToWrite[12] = 0x0D;
    _dataBufferToWrite[13] = 0x0A;
    _cnt = 14;
    Write(_dataBufferToWrite, 14);
}

void Orv::SendOrvCommandEx(BYTE _command, BYTE _subcommand, WORD _firstValue, WORD _secondValue)
{
    _dataBufferToWrite[0] = 0x0D;
    _dataBufferToWrite[1] = 0x0A;
    _dataBufferToWrite[2] = 0x00;
    _dataBufferToWrite[3] = _command;
    _dataBufferToWrite[4] = _subcommand;
    _dataBufferToWrite[5] = BYTE(_firstValue & 0xFF);
    _dataBufferToWrite[6] = BYTE(_firstValue >> 8);
    _dataBufferToWrite[7] = BYTE(_secondValue & 0xFF);
    _dataBufferToWrite[8] = BYTE(_secondValue >> 8);
    _dataBufferToWrite[9] = 0x0D;
    _dataBufferToWrite[10] = 0x0A;
    _cnt = 11;
    Write(_dataBufferToWrite, 11);
}

int Orv::CheckDevice(QString *password, QString *serialNumber, short *numDevices)
{
    Q_UNUSED(password);
    if (!_interface)
        return -1;

    char entries[maxHeadboxes][serialLength + 1];
    memset(entries, 0, sizeof(entries));
    nDevs = 0;

    _interface->WhichHeadboxReadWrite(0);
    _interface->ClearRxBuffer();
    _interface->ClearTxBuffer();

    memcpy(_cmd, "002002", 6);
    SendOrvCommand(_cmd);

    _mysleep.msleep(answerWaitMs);

    const int n = _interface->DataInQueue();
    if (n == serialLength) {
        // A single headbox answers on the shared channel.
        Read(reinterpret_cast<BYTE *>(entries[0]), serialLength);
        InvString(entries[0], serialLength);
        if (CheckSerialNumber(serialText(entries[0]).trimmed()) != 0)
            return -1;
        nDevs = 1;
    } else if (n > serialLength) {
        LogItemAdded(QString("ERRORE più testine collegate in modalità only one! ")
                     + QString::number(n));
    } else {
        // Several headboxes: each answers on its own channel, nothing on 0.
        LogItemAdded("-------------");
        for (int i = 1; i <= maxHeadboxes; ++i) {
            _interface->WhichHeadboxReadWrite(short(i));
            char *entry = entries[nDevs];
            const int r = Read(reinterpret_cast<BYTE *>(entry), serialLength);
            if (r < serialLength)
                break;
            InvString(entry, serialLength);
            if (CheckSerialNumber(serialText(entry).trimmed()) != 0) {
                qDebug().noquote() << "wrong serial number";
                _interface->WhichHeadboxReadWrite(0);
                return -1;
            }
            LogItemAdded(QString::number(i) + "    " + QString::number(r) + "   "
                         + serialText(entry));
            ++nDevs;
        }
        _interface->WhichHeadboxReadWrite(0);
    }

    if (nDevs == 0)
        return -1;
    *numDevices = nDevs;
    *serialNumber = serialText(entries[0]).trimmed();
    return 0;
}

short Orv::CheckSerialNumber(QString sn)
{
    if (sn.length() < 12)
        return -2;
    if (sn.at(3) != QLatin1Char('-') || sn.at(8) != QLatin1Char('/') || sn.at(11) != QLatin1Char('-'))
        return -2;
    return 0;
}

void Orv::InvString(char *s, short len)
{
    // Pairs only: an odd length leaves the last byte alone instead of
    // swapping it with the byte past the end.
    for (int i = 0; i + 1 < len; i += 2) {
        const char c = s[i];
        s[i] = s[i + 1];
        s[i + 1] = c;
    }
}

void Orv::LogItemAdded(QString item)
{
    if (_log)
        _log->AddLogItem(item);
}
