#ifndef FRAMECOMMANDPARSER_H
#define FRAMECOMMANDPARSER_H

#include <QString>
#include <QStringList>
#include <QVector>

#include <quarnelpc/command.h>

// Turns command-line words such as "clock 1000 sync on" into terminal frames.
// Each command takes a fixed number of words, so several follow one another.
class FrameCommandParser
{
public:
    // Each command's text is the words that made it, for messages.
    using Command = QuarnelPc::Command;

    static bool parse(const QStringList &words, QVector<Command> *out, QString *error);
    // One line per command, for --help.
    static QString grammar();
};

#endif
