#include "discoverymessage.h"

#include <QTest>

class tst_DiscoveryMessage : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void invalid_data();
    void invalid();
};

void tst_DiscoveryMessage::parse_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("devices");

    QTest::newRow("indented, as the terminal sends it")
        << QByteArray("{\n"
                      "    \"connected_to\": \"cable\",\n"
                      "    \"name\": \"SN01\",\n"
                      "    \"num_devices\": 1,\n"
                      "    \"remote_terminal_port\": 2000\n"
                      "}\n")
        << "SN01" << 1;
    QTest::newRow("escaped serial")
        << QByteArray("{\"connected_to\":\"cable\",\"name\":\"A\\\"B\\\\C\",\"num_devices\":2,"
                      "\"remote_terminal_port\":2000}")
        << "A\"B\\C" << 2;
    QTest::newRow("before the first report")
        << QByteArray("{\"connected_to\":\"cable\",\"name\":\"\",\"num_devices\":0,\"remote_terminal_port\":2000}")
        << "" << 0;
}

void tst_DiscoveryMessage::parse()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, name);
    QFETCH(int, devices);
    DiscoveryMessage m;
    QString error;
    QVERIFY2(DiscoveryMessage::parse(payload, &m, &error), qPrintable(error));
    QCOMPARE(m.connectedTo, QStringLiteral("cable"));
    QCOMPARE(m.name, name);
    QCOMPARE(m.numDevices, devices);
    QCOMPARE(m.remoteTerminalPort, 2000);
    // The terminal's own text comes out of the same object unchanged.
    if (payload.contains('\n'))
        QCOMPARE(m.encode(), payload);
}

void tst_DiscoveryMessage::invalid_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("mention");
    QTest::newRow("status record") << QByteArray(24, '\0') << "not JSON";
    QTest::newRow("array") << QByteArray("[1,2]") << "not an object";
    QTest::newRow("no name") << QByteArray("{\"connected_to\":\"cable\",\"num_devices\":1,\"remote_terminal_port\":2000}") << "name";
    QTest::newRow("count as text") << QByteArray("{\"connected_to\":\"cable\",\"name\":\"x\",\"num_devices\":\"1\",\"remote_terminal_port\":2000}") << "num_devices";
    QTest::newRow("fractional port") << QByteArray("{\"connected_to\":\"cable\",\"name\":\"x\",\"num_devices\":1,\"remote_terminal_port\":2000.5}") << "remote_terminal_port";
    QTest::newRow("port out of range") << QByteArray("{\"connected_to\":\"cable\",\"name\":\"x\",\"num_devices\":1,\"remote_terminal_port\":70000}") << "remote_terminal_port";
}

void tst_DiscoveryMessage::invalid()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, mention);
    DiscoveryMessage m;
    QString error;
    QVERIFY(!DiscoveryMessage::parse(payload, &m, &error));
    QVERIFY2(error.contains(mention), qPrintable(error));
}

QTEST_APPLESS_MAIN(tst_DiscoveryMessage)
#include "tst_discoverymessage.moc"
