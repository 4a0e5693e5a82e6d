#ifndef ORVINTERFACE_H
#define ORVINTERFACE_H

#include <QMutex>
#include <QObject>
#include <QString>

#include <atomic>

#include "mysleep.h"
#include "quarneltypes.h"

class QuarnelLog;

// The link between the terminal and the chain of headboxes. The base class is
// inert: every transport operation has an empty default, so the register
// operations below run unchanged on any implementation.
//
// Shadow registers are not locked: the presence checker and the relay thread
// never use the link at the same time (the checker is paused during an exam).
class OrvInterface : public QObject
{
    Q_OBJECT
public:
    explicit OrvInterface(QObject *parent = nullptr);
    virtual ~OrvInterface();

    virtual unsigned long Close();
    virtual int Open();
    virtual int CheckInterface();
    virtual void ClearRxBuffer();
    virtual void ClearTxBuffer();
    virtual int Write(BYTE *command, int length);
    // Write that ends between two bytes once stop is set, for the relay's
    // long writes (a PC that leaves must not keep the link for seconds).
    // Returns the bytes sent. The default checks stop once, before Write.
    virtual int WriteUntil(BYTE *command, int length, const std::atomic<bool> &stop);
    virtual int Read(BYTE *command, int length);
    virtual int DataInQueue();
    virtual void ExitTransparentMode();
    virtual void EnterTransparentMode();
    virtual short SendUsbCommand(BYTE *command, short len);
    virtual short WriteRegister(BYTE reg, WORD val);
    virtual void SetMultiHeadInfo(WORD numOrv, WORD dataLen, WORD totCh, WORD campXpack,
                                  WORD *numCanDaOrv);
    virtual short TestInterface();
    virtual short SetTriggerOut(long freq);
    virtual void ResetInterface();
    virtual void WakeupComunication();
    virtual void DisplayPower(bool onOff);

    short WhichHeadboxReadWrite(short whichHeadbox);
    short WhichHeadboxRead(short whichHeadbox);
    short WhichHeadboxWrite(short whichHeadbox);
    short SendSync(short onOff);
    void SetClockFrequency(short clockVal);
    short SetInterface();
    short SetUsb();
    // What is waiting, up to maxLength bytes, at once; 0 when nothing waits.
    // Virtual so that a link can do it in one step instead of two.
    virtual int MyRead(BYTE *data, int maxLength);
    void SetFtdiBuffer(int _nData);

    // Link register shadows: the registers cannot be read back.
    WORD reg15; // RegisterMap::LinkConfig; the library keeps a shadow of its own
    WORD reg5;
    WORD reg8;

    unsigned char _dataBufferToWrite[128];
    unsigned char _dataBufferToRead[1024];
    bool isTransparentMode;
    char version[64];

signals:
    void FirmwareVersion(QString version);
    void AddLogItemSignal(QString item);
    void InterfaceFound(bool found);

protected:
    void AddLogItem(QString item);
    // Every pause of the link sequences goes through here so that a test
    // subclass can observe it; the real pause is _mySleep's.
    virtual void Pause(unsigned long ms);

    QuarnelLog *_log;
    QMutex syncWrite;

    // Storage of a USB-serial (FTDI) transport; this panel has none, so these
    // are plain fields that no operation reads.
    void *_ftdi;
    void *_devlist;
    void *_curdev;
    char manufacturer[128];
    char description[128];
    int _ret;
    int _nDataFtdi;
    int _nDataAcquisition;
    bool _stopThread;
    BYTE *_internalFtdiBuffer;
    BYTE *_tcpBuffer;
    DWORD _tmpByteToComplete;
    DWORD _tmpByteToRead;
    DWORD _tmpByteRead;
    long _pckNumber;
    int _queue;
    DWORD _byteRead;
    DWORD _numberOfDevice;
    DWORD _bytesWritten;
    MySleep _mySleep;
    DWORD vidPid;
    short simError;
};

#endif
