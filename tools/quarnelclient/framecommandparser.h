#ifndef FRAMECOMMANDPARSER_H
#define FRAMECOMMANDPARSER_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

// Turns command-line words such as "clock 1000 sync on" into terminal frames.
// Each command takes a fixed number of words, so several follow one another.
class FrameCommandParser
{
public:
    struct Command
    {
        QString text;     // the words that made it, for messages
        QByteArray frame;
    };

    static bool parse(const QStringList &words, QVector<Command> *out, QString *error);
    // One line per command, for --help.
    static QString grammar();
};

#endif
