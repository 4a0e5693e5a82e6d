#include "commandinterpreter.h"

#include <QLatin1String>
#include <QString>

#include "orv.h"
#include "orvinterface.h"
#include "quarnellog.h"
#include "relaydebug.h"
#include "terminalframe.h"

CommandInterpreter::CommandInterpreter(Orv *orv, QuarnelLog *log, Relay *relay)
    : _orv(orv), _log(log), _relay(relay)
{
}

short CommandInterpreter::Execute(const char *frame, long len)
{
    const CommandFrame::Command c = CommandFrame::decode(frame, len);
    if (!c.log.isEmpty() && _log)
        _log->AddLogItem(c.log);
    if (c.status == 0)
        Execute(c);
    return c.status;
}

void CommandInterpreter::Execute(const CommandFrame::Command &c)
{
    // Cut short: the exam has ended or the program is ending, and nobody
    // waits for the answer.
    if (!Run(c))
        return;
    if (_relay)
        _relay->Answer();
}

bool CommandInterpreter::Run(const CommandFrame::Command &c)
{
    OrvInterface *orvInterface = _orv ? _orv->_interface : nullptr;
    switch (c.code) {
    case TerminalFrame::Clock:
        if (_log)
            _log->AddLogItem(QStringLiteral("Set Clock Frequency!!!"));
        if (orvInterface)
            orvInterface->SetClockFrequency(qint16(c.value));
        break;
    case TerminalFrame::TriggerOut:
        if (orvInterface)
            orvInterface->SetTriggerOut(long(c.value));
        break;
    case TerminalFrame::MultiHeadLayout: {
        WORD numCanDaOrv[4] = {c.layout[4], c.layout[5], c.layout[6], c.layout[7]};
        if (orvInterface)
            orvInterface->SetMultiHeadInfo(c.layout[0], c.layout[1], c.layout[2], c.layout[3], numCanDaOrv);
        break;
    }
    case TerminalFrame::HeadboxRead:
    case TerminalFrame::HeadboxWrite:
    case TerminalFrame::HeadboxReadWrite:
        SelectHeadbox(c.code, qint16(c.value));
        break;
    case TerminalFrame::Sync:
        if (orvInterface)
            orvInterface->SendSync(qint16(c.value));
        break;
    case TerminalFrame::Delay:
        return Sleep(c.value);
    case TerminalFrame::ClearReceivePath:
        ClearReceivePath();
        break;
    default:
        break;
    }
    return true;
}

bool CommandInterpreter::Sleep(qint32 ms)
{
    // Pauses of a second or more only: a PC that repeats short ones cannot
    // fill the journal.
    if (ms >= 1000)
        RelayDebug::WithTime(QStringLiteral("Delay %1 ms").arg(ms));
    return !_relay || _relay->CommandSleep((unsigned long)ms);
}

void CommandInterpreter::ClearReceivePath()
{
    if (_orv)
        _orv->ClearRxBuffer();
    if (_relay)
        _relay->ClearQueueTowardsPc();
    RelayDebug::WithTime(QStringLiteral("Clear queue from remote pc"));
}

void CommandInterpreter::EndExam(bool afterCutWrite)
{
    OrvInterface *orvInterface = _orv ? _orv->_interface : nullptr;
    // A PC that left without switching sync off (closed, cable pulled) would
    // leave the sync bit set, and the next PC's "sync on" would then start
    // nothing; the channel selection's register write carries it cleared.
    if (orvInterface) {
        orvInterface->reg15 &= 0xF7FF;
        orvInterface->WhichHeadboxReadWrite(0);
    }
    if (_orv) {
        BYTE stop[] = "008000";
        _orv->SendOrvCommand(stop);
        // A write cut inside a headbox frame leaves its first bytes waiting
        // in the headbox, and the stop's leading CR LF can complete that
        // frame: the departed PC's command then runs and the rest of the
        // stop is no frame. The second stop is whole whatever the cut.
        if (afterCutWrite)
            _orv->SendOrvCommand(stop);
    }
    if (orvInterface) {
        WORD noChannels[4] = {0, 0, 0, 0};
        orvInterface->SetMultiHeadInfo(0, 0, 0, 0, noChannels);
    }
}

void CommandInterpreter::SelectHeadbox(qint16 code, qint16 whichHeadbox)
{
    static const char *const texts[] = {"Headbox Read: ", "Headbox Write: ", "Headbox Read/Write: "};
    if (!_orv)
        return;
    emit _orv->AddItem(QLatin1String(texts[code - TerminalFrame::HeadboxRead]) + QString::number(whichHeadbox));
    OrvInterface *orvInterface = _orv->_interface;
    if (!orvInterface)
        return;
    if (code == TerminalFrame::HeadboxRead)
        orvInterface->WhichHeadboxRead(whichHeadbox);
    else if (code == TerminalFrame::HeadboxWrite)
        orvInterface->WhichHeadboxWrite(whichHeadbox);
    else
        orvInterface->WhichHeadboxReadWrite(whichHeadbox);
}
