#ifndef ORVINTERFACEZELK_H
#define ORVINTERFACEZELK_H

#include "ZELK_interface_DLL.h"
#include "orvinterface.h"

class QuarnelLog;

// The headbox link of this panel: the FPGA bridge library. Bytes to the
// headboxes go one by one through register 14, received bytes come out of
// the library's ring of 64-bit words.
class OrvInterfaceZelk : public OrvInterface
{
    Q_OBJECT
public:
    explicit OrvInterfaceZelk(QuarnelLog *log);
    ~OrvInterfaceZelk() override;

    unsigned long Close() override;
    int Open() override;
    int CheckInterface() override;
    void ClearRxBuffer() override;
    void ClearTxBuffer() override;
    int Write(BYTE *command, int length) override;
    int WriteUntil(BYTE *command, int length, const std::atomic<bool> &stop) override;
    int Read(BYTE *command, int length) override;
    int DataInQueue() override;
    int MyRead(BYTE *data, int maxLength) override;
    short WriteRegister(BYTE reg, WORD val) override;
    void SetMultiHeadInfo(WORD numOrv, WORD dataLen, WORD totCh, WORD campXpack,
                          WORD *numCanDaOrv) override;
    short TestInterface() override;
    short SetTriggerOut(long freqCentesimi) override;
    void ResetInterface() override;
    void DisplayPower(bool onOff) override;

protected:
    ZELK_interface_DLL zelk;
};

#endif
