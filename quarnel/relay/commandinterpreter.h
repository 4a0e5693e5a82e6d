#ifndef COMMANDINTERPRETER_H
#define COMMANDINTERPRETER_H

#include <QtGlobal>

#include "commandframe.h"

class Orv;
class QuarnelLog;

// What each terminal command does on the headbox link, with its messages.
// Runs in the relay thread; the relay itself keeps what touches its thread
// and queues (command 8's pause, clearing the queue towards the PC).
class CommandInterpreter
{
public:
    CommandInterpreter(Orv *orv, QuarnelLog *log);

    void Execute(const CommandFrame::Command &c);
    // A PC has gone: shared channel, headboxes stopped, acquisition off.
    void EndExam();

private:
    void SelectHeadbox(qint16 code, qint16 whichHeadbox);

    Orv *_orv;
    QuarnelLog *_log;
};

#endif
