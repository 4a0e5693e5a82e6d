#include "framecommandparser.h"

#include <limits>

namespace {

class Words
{
public:
    explicit Words(const QStringList &w) : words(w) {}

    bool atEnd() const { return pos >= words.size(); }
    QString next() { return words.at(pos++); }
    QString peek() const { return words.at(pos); }
    int position() const { return pos; }
    QString joined(int from) const { return words.mid(from, pos - from).join(QLatin1Char(' ')); }

    // Decimal, or hexadecimal with 0x.
    bool number(const QString &command, const char *what, qint64 min, qint64 max,
                qint64 *value, QString *error)
    {
        if (atEnd()) {
            *error = QStringLiteral("'%1' needs %2").arg(command, QLatin1String(what));
            return false;
        }
        const QString w = next();
        bool ok = false;
        const qint64 v = w.toLongLong(&ok, 0);
        if (!ok || v < min || v > max) {
            *error = QStringLiteral("'%1': %2 must be a number from %3 to %4, not '%5'")
                         .arg(command, QLatin1String(what)).arg(min).arg(max).arg(w);
            return false;
        }
        *value = v;
        return true;
    }

private:
    const QStringList &words;
    int pos = 0;
};

constexpr qint64 I16Min = std::numeric_limits<qint16>::min();
constexpr qint64 I16Max = std::numeric_limits<qint16>::max();
constexpr qint64 U16Max = std::numeric_limits<quint16>::max();
constexpr qint64 I32Min = std::numeric_limits<qint32>::min();
constexpr qint64 I32Max = std::numeric_limits<qint32>::max();

bool parseOne(Words &w, QuarnelPc::Command *command, QString *error)
{
    const QString name = w.next().toLower();
    qint64 v = 0;

    if (name == QLatin1String("clock")) {
        if (!w.number(name, "a frequency", I16Min, I16Max, &v, error))
            return false;
        *command = QuarnelPc::Command::clock(qint16(v));
        return true;
    }
    if (name == QLatin1String("trigger")) {
        if (!w.atEnd() && w.peek().toLower() == QLatin1String("off")) {
            w.next();
            *command = QuarnelPc::Command::triggerOut(0);
            return true;
        }
        if (!w.number(name, "a rate in hundredths", I32Min, I32Max, &v, error))
            return false;
        *command = QuarnelPc::Command::triggerOut(qint32(v));
        return true;
    }
    if (name == QLatin1String("layout")) {
        quint16 values[8];
        static const char *const what[8] = { "the number of headboxes", "the data length",
                                             "the total channels", "the samples per packet",
                                             "the channels of headbox 1", "the channels of headbox 2",
                                             "the channels of headbox 3", "the channels of headbox 4" };
        for (int i = 0; i < 8; ++i) {
            if (!w.number(name, what[i], 0, U16Max, &v, error))
                return false;
            values[i] = quint16(v);
        }
        *command = QuarnelPc::Command::multiHeadLayout(values[0], values[1], values[2], values[3],
                                                     { values[4], values[5], values[6], values[7] });
        return true;
    }
    if (name == QLatin1String("read") || name == QLatin1String("write")
        || name == QLatin1String("readwrite")) {
        if (!w.number(name, "a headbox channel", I16Min, I16Max, &v, error))
            return false;
        if (name == QLatin1String("read"))
            *command = QuarnelPc::Command::headboxRead(qint16(v));
        else if (name == QLatin1String("write"))
            *command = QuarnelPc::Command::headboxWrite(qint16(v));
        else
            *command = QuarnelPc::Command::headboxReadWrite(qint16(v));
        return true;
    }
    if (name == QLatin1String("sync")) {
        if (w.atEnd()) {
            *error = QStringLiteral("'sync' needs on, off or a number");
            return false;
        }
        const QString arg = w.next().toLower();
        bool ok = true;
        qint64 n = 0;
        if (arg == QLatin1String("on"))
            n = 1;
        else if (arg == QLatin1String("off"))
            n = 0;
        else
            n = arg.toLongLong(&ok, 0);
        if (!ok || n < I16Min || n > I16Max) {
            *error = QStringLiteral("'sync' needs on, off or a number, not '%1'").arg(arg);
            return false;
        }
        *command = QuarnelPc::Command::sync(qint16(n));
        return true;
    }
    if (name == QLatin1String("delay")) {
        // The terminal sleeps for the value taken as unsigned: a negative one
        // would stall it for weeks.
        if (!w.number(name, "milliseconds", 0, I32Max, &v, error))
            return false;
        *command = QuarnelPc::Command::delay(qint32(v));
        return true;
    }
    if (name == QLatin1String("clear")) {
        *command = QuarnelPc::Command::clearReceivePath();
        return true;
    }
    if (name == QLatin1String("raw")) {
        if (!w.number(name, "a command code", I16Min, I16Max, &v, error))
            return false;
        const qint16 code = qint16(v);
        QByteArray params;
        // The optional parameter bytes are one hexadecimal word (may be empty "").
        if (!w.atEnd()) {
            const QString hex = w.next();
            const QByteArray bytes = hex.toLatin1();
            params = QByteArray::fromHex(bytes);
            if (bytes.size() % 2 != 0 || params.toHex() != bytes.toLower()) {
                *error = QStringLiteral("'raw': parameters must be hexadecimal bytes, not '%1'").arg(hex);
                return false;
            }
            if (params.size() > QuarnelPc::Command::maxParameterSize()) {
                *error = QStringLiteral("'raw': at most %1 parameter bytes").arg(QuarnelPc::Command::maxParameterSize());
                return false;
            }
        }
        *command = QuarnelPc::Command::raw(code, params);
        return true;
    }
    *error = QStringLiteral("unknown command '%1'").arg(name);
    return false;
}

} // namespace

bool FrameCommandParser::parse(const QStringList &words, QVector<Command> *out, QString *error)
{
    out->clear();
    Words w(words);
    while (!w.atEnd()) {
        const int from = w.position();
        Command c;
        if (!parseOne(w, &c, error))
            return false;
        c.setText(w.joined(from));
        out->append(c);
    }
    if (out->isEmpty()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    return true;
}

QString FrameCommandParser::grammar()
{
    return QStringLiteral(
        "  clock FREQ                 sampling clock (code 1)\n"
        "  trigger RATE_CENTS|off     trigger output rate in hundredths, off = 0 (code 2)\n"
        "  layout N LEN TOT SPP C1 C2 C3 C4\n"
        "                             multi-headbox layout: headboxes, data length, total\n"
        "                             channels, samples per packet, channels of each (code 3)\n"
        "  read CH                    headbox read selection, 0 = shared channel (code 4)\n"
        "  write CH                   headbox write selection (code 5)\n"
        "  readwrite CH               headbox read and write selection (code 6)\n"
        "  sync on|off|N              sync (code 7)\n"
        "  delay MS                   the terminal pauses MS milliseconds (code 8)\n"
        "  clear                      clear the receive path (code 9)\n"
        "  raw CODE [HEXBYTES]        any code with any parameter bytes\n");
}
