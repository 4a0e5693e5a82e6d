#ifndef COMMANDINTERPRETER_H
#define COMMANDINTERPRETER_H

#include <QtGlobal>

#include "commandframe.h"

class Orv;
class QuarnelLog;

// What each terminal command does, with its messages and its answer. Runs in
// the relay thread, one frame at a time in stream order; what only the relay
// can do for a command, it does through Relay.
class CommandInterpreter
{
public:
    // The relay's share of a command.
    class Relay
    {
    public:
        // Command 8's pause; false when the exam ended meanwhile, which ends
        // it early.
        virtual bool CommandSleep(unsigned long ms) = 0;
        // Drops the headbox bytes not yet sent to the PC.
        virtual void ClearQueueTowardsPc() = 0;
        // "ok" on the answer port for the frame just executed.
        virtual void Answer() = 0;

    protected:
        ~Relay() = default;
    };

    // Without a relay, command 8 does not pause and nothing is answered.
    CommandInterpreter(Orv *orv, QuarnelLog *log, Relay *relay = nullptr);

    // A whole frame, key first: checked, then executed. Its status
    // (CommandFrame::Command's): 0 when it was executed.
    short Execute(const char *frame, long len);
    void Execute(const CommandFrame::Command &c);
    // A PC has gone: shared channel, headboxes stopped, acquisition off.
    void EndExam(bool afterCutWrite = false);

private:
    // False when the command was cut short by the end of the exam.
    bool Run(const CommandFrame::Command &c);
    bool Sleep(qint32 ms);
    void ClearReceivePath();
    void SelectHeadbox(qint16 code, qint16 whichHeadbox);

    Orv *_orv;
    QuarnelLog *_log;
    Relay *_relay;
};

#endif
