#ifndef ORV_H
#define ORV_H

#include <QObject>
#include <QString>

#include <atomic>

#include "mysleep.h"
#include "quarneltypes.h"

class OrvInterface;
class QuarnelLog;

struct OrvSetup
{
    WORD nHeadbox;
    WORD extraPacket;
    WORD speed;
    WORD bytesSample;
    WORD sampleRate;
};

// The headbox protocol: frames commands for the headboxes, passes them to the
// link and identifies the connected headboxes by their serial numbers.
class Orv : public QObject
{
    Q_OBJECT
public:
    Orv(OrvInterface *orvInter, QuarnelLog *log, QObject *parent = nullptr);

    void Write(BYTE *command, int Length);
    int Read(BYTE *command, int Length);
    // The relay's use of the link, which it reaches only through here: the
    // stream read of a polling pass (at once, what waits), a write that ends
    // once stop is set, and emptying the receive path. Nothing without a link.
    int ReadStream(BYTE *data, int maxLength);
    int WriteUntil(BYTE *command, int length, const std::atomic<bool> &stop);
    void ClearRxBuffer();
    void SendOrvCommand(BYTE *cmd);
    void SendOrvCommandEx(BYTE _command, BYTE _subcommand, WORD _firstValue, WORD _secondValue);
    int CheckDevice(QString *password, QString *serialNumber, short *numDevices);
    short CheckSerialNumber(QString sn);
    void InvString(char *s, short len);

    bool _acquisitionOn;
    OrvInterface *_interface;
    QuarnelLog *_log;
    int _sampleRate;
    short _nDevices;
    short _nChannels[4];
    short _extraPacket;
    short _bytesSample;
    int _nDataToRead;
    int _speed;
    short nDevs;
    unsigned char _command[8192];
    int _cnt;
    bool _isTransparent;
    unsigned char _dataBufferToWrite[64];
    unsigned char _dataBufferToRead[1024];
    unsigned char _cmd[64];
    char _serialNumber[16];
    bool _resetTransmission;
    WORD _reg15Usb;
    MySleep _mysleep;
    OrvSetup _orvSetup;

signals:
    void AddItem(QString item);
    void Finished();
    void DataToSend(BYTE *data, int length);
    void FirmwareVersion(QString version);

private:
    void LogItemAdded(QString item);
};

#endif
