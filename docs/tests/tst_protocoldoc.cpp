#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include "commandframe.h"
#include "discoverymessage.h"
#include "quarnelprotocol.h"
#include "statusrecord.h"
#include "terminalframe.h"

// The protocol reference's marked examples, read from the document itself:
// each must decode as the document says, with the code the terminal runs.
// Convention (also explained at the end of protocol.md): a fenced block whose
// info string is quarnel-frame, quarnel-status or quarnel-discovery; frames
// and records as lines of hexadecimal bytes followed by "name: value" lines.
class tst_ProtocolDoc : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void examplesCoverEveryCommand();
    void frames_data();
    void frames();
    void statusRecords_data();
    void statusRecords();
    void discoveryMessages_data();
    void discoveryMessages();

private:
    struct Block
    {
        QString kind;
        int line = 0;   // of the opening fence
        QStringList lines;
    };
    struct Example
    {
        QByteArray bytes;
        QMap<QString, QString> fields;
        QString error;
    };

    void addRows(const QString &kind);
    static Example parse(const QStringList &lines, const QStringList &keys);
    static QByteArray hexOrNone(const QString &text);

    QVector<Block> blocks;
};

static const QStringList frameKeys{"lenParam", "code", "params", "checksum", "value", "layout", "answer"};
static const QStringList statusKeys{"serial", "pc", "terminal"};

void tst_ProtocolDoc::initTestCase()
{
    QFile f(QStringLiteral(QUARNEL_PROTOCOL_DOC));
    QVERIFY2(f.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(f.fileName()));
    const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    static const QRegularExpression opening(QStringLiteral("^```(\\S+)\\s*$"));
    bool inFence = false;
    bool marked = false;
    Block block;
    for (int i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (!inFence) {
            const QRegularExpressionMatch m = opening.match(line);
            if (!m.hasMatch() && line != QLatin1String("```"))
                continue;
            inFence = true;
            marked = m.hasMatch() && m.captured(1).startsWith(QLatin1String("quarnel-"));
            block = Block{m.captured(1).mid(8), i + 1, {}};
            continue;
        }
        if (line.startsWith(QLatin1String("```"))) {
            inFence = false;
            if (marked)
                blocks.append(block);
            continue;
        }
        block.lines.append(line);
    }
    QVERIFY2(!inFence, "a fenced block is not closed");
    for (const Block &b : qAsConst(blocks)) {
        const bool known = b.kind == QLatin1String("frame") || b.kind == QLatin1String("status")
            || b.kind == QLatin1String("discovery");
        QVERIFY2(known, qPrintable(QStringLiteral("line %1: unknown example kind quarnel-%2").arg(b.line).arg(b.kind)));
    }
}

void tst_ProtocolDoc::addRows(const QString &kind)
{
    QTest::addColumn<QStringList>("lines");
    for (const Block &b : qAsConst(blocks)) {
        if (b.kind == kind)
            QTest::addRow("%s at line %d", qPrintable(kind), b.line) << b.lines;
    }
}

// Hexadecimal byte lines first, then "name: value" lines with known names.
tst_ProtocolDoc::Example tst_ProtocolDoc::parse(const QStringList &lines, const QStringList &keys)
{
    static const QRegularExpression hexLine(QStringLiteral("^([0-9A-Fa-f]{2})(\\s+[0-9A-Fa-f]{2})*$"));
    static const QRegularExpression field(QStringLiteral("^(\\w+): (.+)$"));
    Example e;
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        if (hexLine.match(line).hasMatch() && e.fields.isEmpty()) {
            e.bytes += QByteArray::fromHex(line.toLatin1());
            continue;
        }
        const QRegularExpressionMatch m = field.match(line);
        if (!m.hasMatch() || !keys.contains(m.captured(1)) || e.fields.contains(m.captured(1))) {
            e.error = QStringLiteral("unexpected line '%1'").arg(line);
            return e;
        }
        e.fields.insert(m.captured(1), m.captured(2));
    }
    if (e.bytes.isEmpty())
        e.error = QStringLiteral("no bytes");
    return e;
}

QByteArray tst_ProtocolDoc::hexOrNone(const QString &text)
{
    return text == QLatin1String("none") ? QByteArray() : QByteArray::fromHex(text.toLatin1());
}

static int number(const QString &text)
{
    bool ok = false;
    const int v = text.toInt(&ok, 0);
    return ok ? v : -99999;
}

void tst_ProtocolDoc::examplesCoverEveryCommand()
{
    QSet<int> executed;
    int status = 0;
    int discovery = 0;
    for (const Block &b : qAsConst(blocks)) {
        status += b.kind == QLatin1String("status");
        discovery += b.kind == QLatin1String("discovery");
        if (b.kind != QLatin1String("frame"))
            continue;
        const Example e = parse(b.lines, frameKeys);
        if (e.fields.value(QStringLiteral("answer")) == QLatin1String("ok"))
            executed.insert(number(e.fields.value(QStringLiteral("code"))));
    }
    for (int code = TerminalFrame::Clock; code <= TerminalFrame::ClearReceivePath; ++code)
        QVERIFY2(executed.contains(code), qPrintable(QStringLiteral("no answered example of command %1").arg(code)));
    QVERIFY(status > 0);
    QVERIFY(discovery > 0);
}

void tst_ProtocolDoc::frames_data()
{
    addRows(QStringLiteral("frame"));
}

void tst_ProtocolDoc::frames()
{
    QFETCH(QStringList, lines);
    const Example e = parse(lines, frameKeys);
    QVERIFY2(e.error.isEmpty(), qPrintable(e.error));
    for (const char *key : {"lenParam", "code", "answer"})
        QVERIFY2(e.fields.contains(QLatin1String(key)), key);
    const QByteArray &f = e.bytes;
    const QString answer = e.fields.value(QStringLiteral("answer"));
    QVERIFY(f.size() >= TerminalFrame::OverheadSize);
    QVERIFY(f.startsWith(TerminalFrame::key()));
    QCOMPARE(TerminalFrame::lenParamOf(f.constData()), number(e.fields.value(QStringLiteral("lenParam"))));
    QCOMPARE(int(TerminalFrame::codeOf(f.constData())), number(e.fields.value(QStringLiteral("code"))));

    // The relay's scanner, with the example at the head of the PC's stream.
    const CommandFrame::Pass pass = CommandFrame::scan(f.constData(), f.size());
    QCOMPARE(pass.data, 0L);
    if (answer == QLatin1String("none (length out of range)")) {
        QCOMPARE(pass.frame, 0L);
        QCOMPARE(pass.dropped, long(TerminalFrame::KeySize));
        return;
    }
    QCOMPARE(pass.frame, long(f.size()));
    QCOMPARE(pass.dropped, 0L);

    TerminalFrame::Parsed p;
    QVERIFY(TerminalFrame::parse(f, &p));
    QCOMPARE(p.lenParam + TerminalFrame::OverheadSize, f.size());
    QVERIFY(e.fields.contains(QStringLiteral("params")) && e.fields.contains(QStringLiteral("checksum")));
    QCOMPARE(p.params, hexOrNone(e.fields.value(QStringLiteral("params"))));
    QCOMPARE(int(p.storedChecksum), number(e.fields.value(QStringLiteral("checksum"))));

    const CommandFrame::Command c = CommandFrame::decode(f.constData(), f.size());
    if (answer == QLatin1String("none (checksum)")) {
        QVERIFY(!p.checksumOk());
        QCOMPARE(c.status, short(-1));
        return;
    }
    if (answer == QLatin1String("none (parameters too short)")) {
        QVERIFY(p.checksumOk());
        QCOMPARE(c.status, short(-2));
        return;
    }
    QCOMPARE(answer, QStringLiteral("ok"));
    QVERIFY(p.checksumOk());
    QCOMPARE(c.status, short(0));
    // What the PC side's frame builder writes for the same command.
    QCOMPARE(TerminalFrame::raw(p.code, p.params).toHex(' '), f.toHex(' '));
    if (e.fields.contains(QStringLiteral("value")))
        QCOMPARE(c.value, number(e.fields.value(QStringLiteral("value"))));
    if (e.fields.contains(QStringLiteral("layout"))) {
        QStringList got;
        for (quint16 v : c.layout)
            got << QString::number(v);
        QCOMPARE(got.join(QLatin1Char(' ')), e.fields.value(QStringLiteral("layout")));
    }
}

void tst_ProtocolDoc::statusRecords_data()
{
    addRows(QStringLiteral("status"));
}

static QHostAddress addressOrNone(const QString &text)
{
    return text == QLatin1String("none") ? QHostAddress() : QHostAddress(text);
}

void tst_ProtocolDoc::statusRecords()
{
    QFETCH(QStringList, lines);
    const Example e = parse(lines, statusKeys);
    QVERIFY2(e.error.isEmpty(), qPrintable(e.error));
    QCOMPARE(e.fields.size(), statusKeys.size());
    StatusRecord r;
    QString error;
    QVERIFY2(StatusRecord::decode(e.bytes, &r, &error), qPrintable(error));
    QCOMPARE(r.headboxSerial, e.fields.value(QStringLiteral("serial")));
    QCOMPARE(r.pc, addressOrNone(e.fields.value(QStringLiteral("pc"))));
    QCOMPARE(r.terminal, addressOrNone(e.fields.value(QStringLiteral("terminal"))));
    // The terminal's encoder writes these very bytes for it.
    QCOMPARE(r.encode().toHex(' '), e.bytes.toHex(' '));
}

void tst_ProtocolDoc::discoveryMessages_data()
{
    addRows(QStringLiteral("discovery"));
}

void tst_ProtocolDoc::discoveryMessages()
{
    QFETCH(QStringList, lines);
    // The block holds the datagram's text exactly, its last line feed included.
    const QByteArray text = lines.join(QLatin1Char('\n')).toUtf8() + '\n';
    DiscoveryMessage m;
    QString error;
    QVERIFY2(DiscoveryMessage::parse(text, &m, &error), qPrintable(error));
    QCOMPARE(m.connectedTo, QStringLiteral("cable"));
    QCOMPARE(m.remoteTerminalPort, int(QuarnelProtocol::DataPort));
    QVERIFY(m.numDevices > 0 && !m.name.isEmpty());
    QCOMPARE(QString::fromUtf8(m.encode()), QString::fromUtf8(text));
}

QTEST_GUILESS_MAIN(tst_ProtocolDoc)
#include "tst_protocoldoc.moc"
