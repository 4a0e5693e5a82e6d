#include <QTest>
#include <QSignalSpy>

#include <QNetworkDatagram>
#include <QTcpSocket>

#include "fpgasim.h"
#include "harness.h"
#include "pcside.h"
#include "quarnelnetwork.h"
#include "streampattern.h"
#include "terminalframe.h"
#include "testhub.h"

// A whole exam as the PC program runs it, through the program's own objects:
// the hub with its FPGA-backed link on the simulated FPGA and headbox.

static const QByteArray Serial("ABC-1234/56-7");
static const QByteArray PanelOctets("\xC6\x33\x64\x0A", 4);
static const QByteArray PcOctets("\xC6\x33\x64\x01", 4);
static const QByteArray NoAddress(4, '\0');

static QByteArray discoveryText()
{
    return "{\n"
           "    \"connected_to\": \"cable\",\n"
           "    \"name\": \"" + Serial + "\",\n"
           "    \"num_devices\": 1,\n"
           "    \"remote_terminal_port\": 2000\n"
           "}\n";
}

class tst_Exam : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void wholeExam();
    void cablePulledDuringExam();
    void nextExamGetsOnlyFreshWords_data();
    void nextExamGetsOnlyFreshWords();
    void longWriteCutWhenTheExamEnds_data();
    void longWriteCutWhenTheExamEnds();
    void vanishedStreamingPcLetGo();

private:
    // Start-up up to the first discovery datagram.
    void startTerminal();
    // Data and answer connections, checked through the status record.
    void connectPc();
    // Frames for one headbox with sync on; the stream starts afterwards.
    void startAcquisition();
    // Reads the stream until bytes have come, checking every word.
    void receiveStream(qint64 bytes);
    // Feeds the checker from the data connection until bytes have come.
    void readStream(StreamChecker &checker, qint64 bytes);
    // Identification requests the headbox has heard so far.
    static int identificationRequests();

    TestHub *hub = nullptr;
    QUdpSocket *discovery = nullptr;
    QUdpSocket *status = nullptr;
    QTcpSocket *data = nullptr;
    QTcpSocket *answer = nullptr;
    QSignalSpy *connection = nullptr;
    QSignalSpy *hostName = nullptr;
    QSignalSpy *cable = nullptr;
    // identificationRequests() once the PC was in.
    int requestsAtConnection = -1;
};

void tst_Exam::initTestCase()
{
    QUARNEL_REQUIRE_HARNESS();
    QCOMPARE(qgetenv("ZELK_FPGA"), QByteArray("sim"));
}

void tst_Exam::init()
{
    FpgaSimConfig config;
    config.headboxes = 1;
    config.serials = {Serial};
    // Words as fast as the terminal reads them: a paced stream loses words
    // whenever a loaded machine falls behind, whatever the terminal does.
    config.byteRate = 0;
    FpgaSim::instance()->reset(config);
    discovery = pcside::udpSocket(8192);
    status = pcside::udpSocket(8193);
    QVERIFY(discovery && status);
}

void tst_Exam::cleanup()
{
    delete data;
    delete answer;
    data = answer = nullptr;
    delete connection;
    delete hostName;
    delete cable;
    connection = hostName = cable = nullptr;
    delete hub;
    hub = nullptr;
    delete discovery;
    delete status;
    pcside::plugCable();
}

void tst_Exam::startTerminal()
{
    // No link given: the hub opens its FPGA-backed one, as the program does.
    hub = new TestHub(nullptr);
    connection = new QSignalSpy(hub, &QuarnelNetwork::ClientConnectionState);
    hostName = new QSignalSpy(hub, &QuarnelNetwork::NewHostName);
    cable = new QSignalSpy(hub, &QuarnelNetwork::NetworkCableState);
    QVERIFY(connection->isValid() && hostName->isValid() && cable->isValid());
    // The first tick comes from the test; the detector's timer gives the rest.
    hub->tick();

    QTRY_VERIFY_WITH_TIMEOUT(discovery->hasPendingDatagrams(), 20000);
    const QNetworkDatagram first = discovery->receiveDatagram();
    QCOMPARE(first.data(), discoveryText());
    QCOMPARE(first.senderAddress(), QHostAddress(harness::panelIp()));
    QCOMPARE(cable->size(), 1);
    QCOMPARE(cable->at(0).at(0).toBool(), true);

    // The relay was created before any headbox report: no serial, no PC.
    QTRY_VERIFY(status->hasPendingDatagrams());
    const QList<QNetworkDatagram> records = drain(status);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.at(0).data(), expectedStatus("", NoAddress, PanelOctets));
}

void tst_Exam::connectPc()
{
    const int before = connection->size();
    answer = pcside::tcpConnect(QHostAddress(harness::panelIp()), 2001);
    data = pcside::tcpConnect(QHostAddress(harness::panelIp()), 2000);
    QVERIFY(answer && data);
    QTRY_COMPARE(connection->size(), before + 1);
    QCOMPARE(connection->last().at(0).toBool(), true);

    QTRY_VERIFY(status->hasPendingDatagrams());
    const QList<QNetworkDatagram> records = drain(status);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.at(0).data(), expectedStatus(Serial, PcOctets, PanelOctets));

    // The checker was looking for the headbox until now; it is paused before
    // the connection is reported, and asks nothing more during the exam
    // (see receiveStream).
    QVERIFY(identificationRequests() > 0);
    requestsAtConnection = identificationRequests();
}

int tst_Exam::identificationRequests()
{
    return FpgaSim::instance()->receivedBy(1).count("\r\nRDJW002002\r\n");
}

void tst_Exam::startAcquisition()
{
    // Headbox traffic passes through and the emulated headbox echoes it
    // (whole 64-bit words: the FPGA delivers nothing less). Only the echo:
    // an answer to a presence check that the PC's connection interrupted
    // is not this PC's.
    const QByteArray first("\r\nheadbox traffic, no command!\r\n");
    const QByteArray traffic("\r\nand more traffic, still none\r\n");
    QCOMPARE(first.size() % 8, 0);
    QCOMPARE(traffic.size() % 8, 0);
    data->write(first);
    QByteArray echo;
    QTRY_VERIFY((echo += data->readAll()).endsWith(first));
    QCOMPARE(echo, first);

    data->write(traffic);
    echo.clear();
    QTRY_VERIFY((echo += data->readAll()).size() >= traffic.size());
    QCOMPARE(echo, traffic);

    const quint16 channels[4] = {32, 0, 0, 0};
    data->write(TerminalFrame::clock(16));
    data->write(TerminalFrame::multiHeadLayout(1, 2, 32, 8, channels));
    data->write(TerminalFrame::sync(1));
    QByteArray oks;
    QTRY_VERIFY_WITH_TIMEOUT((oks += answer->readAll()).size() >= 6, 10000);
    QCOMPARE(oks, QByteArray("okokok"));
    QVERIFY(FpgaSim::instance()->syncOn());
    QVERIFY(FpgaSim::instance()->streaming(1));
}

void tst_Exam::readStream(StreamChecker &checker, qint64 bytes)
{
    // The terminal's side runs in this thread too: the wait keeps its loop turning.
    QTRY_VERIFY2_WITH_TIMEOUT((checker.feed(data->readAll()), qint64(checker.bytes()) >= bytes),
                              qPrintable(QString::number(checker.bytes())), 20000);
}

void tst_Exam::receiveStream(qint64 bytes)
{
    StreamChecker checker(1);
    readStream(checker, bytes);
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
    QCOMPARE(checker.lostWords(), 0u);
    QCOMPARE(checker.corruptWords(), 0u);
    QCOMPARE(checker.duplicatedWords(), 0u);
    // Nor did the paused checker ask the headbox anything meanwhile.
    QCOMPARE(identificationRequests(), requestsAtConnection);
}

void tst_Exam::wholeExam()
{
    startTerminal();
    QVERIFY(!QTest::currentTestFailed());
    connectPc();
    QVERIFY(!QTest::currentTestFailed());
    startAcquisition();
    QVERIFY(!QTest::currentTestFailed());
    receiveStream(1 << 20);
    QVERIFY(!QTest::currentTestFailed());

    const int before = connection->size();
    data->disconnectFromHost();
    QTRY_COMPARE(connection->size(), before + 1);
    QCOMPARE(connection->last().at(0).toBool(), false);
    QTRY_VERIFY(!hostName->isEmpty());
    QCOMPARE(hostName->last().at(0).toString(), QString());

    QTRY_VERIFY(status->hasPendingDatagrams());
    QCOMPARE(drain(status).at(0).data(), expectedStatus(Serial, NoAddress, PanelOctets));

    // The headbox was told to stop and the checker looks for it again.
    QVERIFY(FpgaSim::instance()->receivedBy(1).contains("\r\nRDJW008000\r\n"));
    QVERIFY(!FpgaSim::instance()->streaming(1));
    QTRY_VERIFY_WITH_TIMEOUT(identificationRequests() > requestsAtConnection, 10000);
    drain(discovery);
    QTRY_VERIFY_WITH_TIMEOUT(discovery->hasPendingDatagrams(), 20000);
    QCOMPARE(discovery->receiveDatagram().data(), discoveryText());
}

void tst_Exam::cablePulledDuringExam()
{
    startTerminal();
    QVERIFY(!QTest::currentTestFailed());
    connectPc();
    QVERIFY(!QTest::currentTestFailed());
    startAcquisition();
    QVERIFY(!QTest::currentTestFailed());
    receiveStream(256 * 1024);
    QVERIFY(!QTest::currentTestFailed());

    const int before = connection->size();
    QVERIFY(pcside::pullCable());
    QTRY_VERIFY_WITH_TIMEOUT(connection->size() == before + 1, 10000);
    QCOMPARE(connection->last().at(0).toBool(), false);
    QCOMPARE(cable->last().at(0).toBool(), false);
    QCOMPARE(hostName->last().at(0).toString(), QString());
    QVERIFY(FpgaSim::instance()->receivedBy(1).contains("\r\nRDJW008000\r\n"));
    QVERIFY(!FpgaSim::instance()->streaming(1));

    drain(discovery);
    QVERIFY(pcside::plugCable());
    QTRY_VERIFY_WITH_TIMEOUT(cable->last().at(0).toBool(), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(discovery->hasPendingDatagrams(), 20000);
    QCOMPARE(discovery->receiveDatagram().data(), discoveryText());

    // The terminal takes the next exam.
    delete data;
    delete answer;
    data = answer = nullptr;
    drain(status);
    connectPc();
    QCOMPARE(connection->size(), before + 2);
}

void tst_Exam::nextExamGetsOnlyFreshWords_data()
{
    QTest::addColumn<bool>("syncOffFirst");
    QTest::newRow("PC gone mid-stream") << false;
    QTest::newRow("PC switched sync off, then closed") << true;
}

// A PC reconnects at once after a streaming exam: the first byte it gets is
// the first byte of the stream its own sync on starts (word 0 of the
// pattern), not a word of the exam before.
void tst_Exam::nextExamGetsOnlyFreshWords()
{
    QFETCH(bool, syncOffFirst);
    startTerminal();
    QVERIFY(!QTest::currentTestFailed());
    connectPc();
    QVERIFY(!QTest::currentTestFailed());
    startAcquisition();
    QVERIFY(!QTest::currentTestFailed());
    receiveStream(256 * 1024);
    QVERIFY(!QTest::currentTestFailed());

    if (syncOffFirst) {
        data->write(TerminalFrame::sync(0));
        QTRY_VERIFY(!FpgaSim::instance()->syncOn());
    }
    const int before = connection->size();
    data->abort();
    answer->abort();
    delete data;
    delete answer;
    answer = pcside::tcpConnect(QHostAddress(harness::panelIp()), 2001);
    data = pcside::tcpConnect(QHostAddress(harness::panelIp()), 2000);
    QVERIFY(answer && data);
    QTRY_COMPARE(connection->size(), before + 2);
    QCOMPARE(connection->last().at(0).toBool(), true);

    const quint16 channels[4] = {32, 0, 0, 0};
    data->write(TerminalFrame::multiHeadLayout(1, 2, 32, 8, channels));
    data->write(TerminalFrame::sync(1));
    QByteArray oks;
    QTRY_VERIFY_WITH_TIMEOUT((oks += answer->readAll()).size() >= 4, 10000);
    // Not receiveStream(): it also counts presence checks since connectPc().
    StreamChecker checker(1);
    readStream(checker, 64 * 1024);
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY2(checker.ok(), qPrintable(checker.firstError()));
}

void tst_Exam::longWriteCutWhenTheExamEnds_data()
{
    QTest::addColumn<bool>("programEnds");
    QTest::newRow("PC leaves") << false;
    QTest::newRow("program stops") << true;
}

// Seconds of paced headbox traffic with a sync on behind it, and the exam
// ends a few bytes in: by the PC leaving, or by the program being stopped.
void tst_Exam::longWriteCutWhenTheExamEnds()
{
    QFETCH(bool, programEnds);
    startTerminal();
    QVERIFY(!QTest::currentTestFailed());
    connectPc();
    QVERIFY(!QTest::currentTestFailed());

    FpgaSim *sim = FpgaSim::instance();
    const QByteArray stop("\r\nRDJW008000\r\n");
    const QByteArray identify("\r\nRDJW002002\r\n");
    // Frames the emulated headbox only echoes: the cut falls inside one.
    const QByteArray traffic = QByteArray("\r\nRDJW001001\r\n").repeated(2143).left(30000);
    sim->clearWrites();
    data->write(traffic + TerminalFrame::sync(1));
    data->flush();
    QTRY_VERIFY(sim->sentOnChannel(0).size() >= 100);

    if (programEnds) {
        delete hub;
        hub = nullptr;
    } else {
        const int before = connection->size();
        data->abort();
        answer->abort();
        QTRY_COMPARE(connection->size(), before + 1);
    }

    // The write stopped between two bytes, then the headboxes were told to
    // stop, twice after a cut; then only the presence checks of the next
    // idle time.
    const QByteArray sent = sim->sentOnChannel(0);
    const int stopAt = sent.indexOf(stop);
    QVERIFY2(stopAt > 0, sent.right(64).toHex().constData());
    QVERIFY2(stopAt < traffic.size(), qPrintable(QString::number(stopAt)));
    QCOMPARE(sent.left(stopAt), traffic.left(stopAt));
    QCOMPARE(sent.mid(stopAt, 2 * stop.size()), stop + stop);
    const QByteArray after = sent.mid(stopAt + 2 * stop.size());
    QCOMPARE(after, identify.repeated(after.size() / identify.size()));
    // The departed PC's sync on never ran: sync stays off.
    for (const uint64_t value : sim->writesTo(15))
        QVERIFY(!(value & 0x0800));
    QVERIFY(!sim->syncOn());
    QVERIFY(!sim->streaming(1));
}

// The PC loses its power mid-stream, its link up: nothing it sends
// reaches the terminal any more (a blackhole route on its side), so the
// stream the terminal sends is never acknowledged. The kernel sets the
// pace: the test waits for the end of the exam, with a safety bound.
void tst_Exam::vanishedStreamingPcLetGo()
{
    startTerminal();
    QVERIFY(!QTest::currentTestFailed());
    connectPc();
    QVERIFY(!QTest::currentTestFailed());
    startAcquisition();
    QVERIFY(!QTest::currentTestFailed());
    receiveStream(256 * 1024);
    QVERIFY(!QTest::currentTestFailed());

    const QStringList route{"ip", "route", "add", "blackhole", harness::panelIp() + "/32"};
    QVERIFY(pcside::run(route));
    struct Unroute
    {
        ~Unroute() { pcside::run({"ip", "route", "del", "blackhole", harness::panelIp() + "/32"}); }
    } unroute;
    const int before = connection->size();
    QTRY_VERIFY_WITH_TIMEOUT(connection->size() > before, 120000);
    QCOMPARE(connection->last().at(0).toBool(), false);
    QVERIFY(!FpgaSim::instance()->syncOn());
}

int main(int argc, char **argv)
{
    // Never the panel's /dev/mem: the simulated FPGA stands in.
    qputenv("ZELK_FPGA", "sim");
    QCoreApplication app(argc, argv);
    tst_Exam test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_exam.moc"
