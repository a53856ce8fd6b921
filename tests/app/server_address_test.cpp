// reposa --server HOST[:PORT]: what is taken, and what is refused.

#include "ServerAddress.h"

#include <QTest>

class ServerAddressTest : public QObject {
  Q_OBJECT

 private slots:
  void parses_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("host alone") << "toc.example" << true << "toc.example" << 5190;
    QTest::newRow("host and port") << "127.0.0.2:9898" << true << "127.0.0.2" << 9898;
    QTest::newRow("lowest port") << "h:1" << true << "h" << 1;
    QTest::newRow("highest port") << "h:65535" << true << "h" << 65535;
    QTest::newRow("bare IPv6") << "::1" << true << "::1" << 5190;
    QTest::newRow("bracketed IPv6") << "[::1]" << true << "::1" << 5190;
    QTest::newRow("bracketed IPv6 and port") << "[::1]:7000" << true << "::1" << 7000;
    QTest::newRow("empty") << "" << false << "" << 0;
    QTest::newRow("port alone") << ":5190" << false << "" << 0;
    QTest::newRow("empty port") << "h:" << false << "" << 0;
    QTest::newRow("port zero") << "h:0" << false << "" << 0;
    QTest::newRow("port too high") << "h:65536" << false << "" << 0;
    QTest::newRow("port not a number") << "h:http" << false << "" << 0;
    QTest::newRow("signed port") << "h:+80" << false << "" << 0;
    QTest::newRow("port with junk") << "h:80x" << false << "" << 0;
    QTest::newRow("unclosed bracket") << "[::1:80" << false << "" << 0;
    QTest::newRow("junk after bracket") << "[::1]x80" << false << "" << 0;
    QTest::newRow("empty brackets") << "[]:80" << false << "" << 0;
  }
  void parses() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QString, host);
    QFETCH(int, port);
    const auto parsed = ParseServerAddress(text.toStdString());
    QCOMPARE(parsed.has_value(), valid);
    if (!valid) return;
    QCOMPARE(QString::fromStdString(parsed->host), host);
    QCOMPARE(parsed->port, port);
  }

  void defaultsToTheLocalServer() {
    const ServerAddress address;
    QCOMPARE(address.host, std::string("127.0.0.1"));
    QCOMPARE(address.port, 5190);
  }
};

QTEST_MAIN(ServerAddressTest)
#include "server_address_test.moc"
