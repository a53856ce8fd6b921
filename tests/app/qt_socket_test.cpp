// The control's socket over QTcpSocket, against a QTcpServer on 127.0.0.1:
// outcomes arrive later and once, an orderly close is not an error, and the
// owner may close or destroy the socket from inside any notification.

#include "kez/qt/QtSocket.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <functional>
#include <memory>

using kez::qt::QtSocket;

namespace {

struct Recorder : kez::SocketListener {
  QStringList seen;
  std::string data;
  kez::Socket* sock = nullptr;
  std::function<void(const QString&)> after;  // runs after each notification is noted
  void Note(const QString& what) {
    seen << what;
    if (after) after(what);
  }
  void OnConnected() override { Note("connected"); }
  void OnDataArrival() override {
    sock->GetData(data);
    Note("data");
  }
  void OnError(int, const std::string& text) override {
    Note("error " + QString::fromStdString(text));
  }
  void OnClosedByPeer() override { Note("closed"); }
};

quint16 ClosedPort() {
  QTcpServer gone;
  gone.listen(QHostAddress::LocalHost, 0);
  return gone.serverPort();
}

QTcpSocket* Accept(QTcpServer& server) {
  if (!server.hasPendingConnections() && !server.waitForNewConnection(5000)) return nullptr;
  return server.nextPendingConnection();
}

// Reads from the server side until `n` bytes have come, at most five seconds.
QByteArray ReadExactly(QTcpSocket* peer, qsizetype n) {
  QByteArray got;
  QDeadlineTimer deadline(5000);
  while (got.size() < n && !deadline.hasExpired()) {
    if (peer->bytesAvailable() == 0) QTest::qWait(5);
    got += peer->readAll();
  }
  return got;
}

}  // namespace

class QtSocketTest : public QObject {
  Q_OBJECT

 private slots:
  void connectsSendsReceivesAndReportsAnOrderlyCloseAsClosed() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QtSocket sock;
    Recorder rec;
    rec.sock = &sock;
    sock.SetListener(&rec);

    sock.Connect("127.0.0.1", server.serverPort());
    QVERIFY2(rec.seen.isEmpty(), "the outcome must come later, not inside Connect");
    QVERIFY(!sock.IsConnected());
    QTRY_COMPARE_WITH_TIMEOUT(rec.seen, QStringList{"connected"}, 5000);
    QVERIFY(sock.IsConnected());
    QTcpSocket* peer = Accept(server);
    QVERIFY(peer);

    sock.SendData(std::string_view("FLAPON\n\n\0\xff", 10));
    QCOMPARE(ReadExactly(peer, 10), QByteArray("FLAPON\n\n\0\xff", 10));

    peer->write(QByteArray("*\x02\0\0", 4));
    QTRY_COMPARE_WITH_TIMEOUT(rec.data, std::string("*\x02\0\0", 4), 5000);

    // The last bytes and the close come together: bytes first.
    peer->write("tail");
    peer->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(rec.seen.last(), QString("closed"), 5000);
    QCOMPARE(rec.data, std::string("*\x02\0\0tail", 8));
    QCOMPARE(rec.seen.filter("error").size(), 0);
    QVERIFY(!sock.IsConnected());
    sock.SendData("dropped");  // harmless once closed
    QTest::qWait(20);
    QCOMPARE(rec.seen.count("closed"), 1);
  }

  void failuresReportOneClearErrorLater_data() {
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("expected");
    const int closed = ClosedPort();
    QTest::newRow("refused")
        << "127.0.0.1" << closed
        << QString("error Cannot connect to 127.0.0.1:%1: Connection refused").arg(closed);
    // A name that cannot be a host name fails before any lookup goes out.
    QTest::newRow("bad name") << "no such host" << closed << "error Host not found: no such host";
    QTest::newRow("port too high")
        << "127.0.0.1" << 70000 << "error Cannot connect to 127.0.0.1:70000: port out of range";
    QTest::newRow("port zero") << "127.0.0.1" << 0
                               << "error Cannot connect to 127.0.0.1:0: port out of range";
  }
  void failuresReportOneClearErrorLater() {
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, expected);
    QtSocket sock;
    Recorder rec;
    rec.sock = &sock;
    sock.SetListener(&rec);
    sock.Connect(host.toStdString(), port);
    QVERIFY(rec.seen.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!rec.seen.isEmpty(), 5000);
    QTest::qWait(20);  // room for a wrong second report
    QCOMPARE(rec.seen, QStringList{expected});
    QVERIFY(!sock.IsConnected());
  }

  // A lost cause must not report: Close and a new Connect cut the old
  // connection off, including an error already on its way.
  void closeAndReconnectSilenceTheOldConnection() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QtSocket sock;
    Recorder rec;
    rec.sock = &sock;
    sock.SetListener(&rec);
    sock.Connect("127.0.0.1", 70000);         // its error is posted
    sock.Connect("127.0.0.1", ClosedPort());  // so is this refusal, later
    sock.Close();
    sock.Connect("127.0.0.1", server.serverPort());
    QTRY_COMPARE_WITH_TIMEOUT(rec.seen, QStringList{"connected"}, 5000);
    QTest::qWait(50);
    QCOMPARE(rec.seen, QStringList{"connected"});
  }

  void theOwnerMayDestroyTheSocketInsideAnyNotification_data() {
    QTest::addColumn<QString>("at");
    QTest::newRow("connected") << "connected";
    QTest::newRow("data") << "data";
    QTest::newRow("closed") << "closed";
    QTest::newRow("error") << "error";
  }
  void theOwnerMayDestroyTheSocketInsideAnyNotification() {
    QFETCH(QString, at);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    auto sock = std::make_unique<QtSocket>();
    Recorder rec;
    rec.sock = sock.get();
    sock->SetListener(&rec);
    rec.after = [&](const QString& what) {
      if (what.startsWith(at)) sock.reset();
    };
    const quint16 port = at == "error" ? ClosedPort() : server.serverPort();
    sock->Connect("127.0.0.1", port);
    if (at != "error") {
      QTRY_VERIFY_WITH_TIMEOUT(rec.seen.contains("connected"), 5000);
      if (at != "connected") {
        QTcpSocket* peer = Accept(server);
        QVERIFY(peer);
        peer->write("bytes");
        if (at == "closed") {
          QTRY_VERIFY_WITH_TIMEOUT(rec.seen.contains("data"), 5000);
          peer->disconnectFromHost();
        }
      }
    }
    QTRY_VERIFY_WITH_TIMEOUT(!sock, 5000);
    QTest::qWait(50);  // whatever was still under way must stay silent
    QVERIFY(rec.seen.last().startsWith(at));
  }

  void theOwnerMayCloseAndReconnectInsideANotification() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QtSocket sock;
    Recorder rec;
    rec.sock = &sock;
    sock.SetListener(&rec);
    int connects = 0;
    rec.after = [&](const QString& what) {
      if (what == "connected" && ++connects == 1) sock.Connect("127.0.0.1", server.serverPort());
    };
    sock.Connect("127.0.0.1", server.serverPort());
    QTRY_COMPARE_WITH_TIMEOUT(connects, 2, 5000);
    QTest::qWait(50);
    QCOMPARE(rec.seen, (QStringList{"connected", "connected"}));
    QVERIFY(sock.IsConnected());
  }

  // Sending never waits for the peer: what it cannot take yet is kept, in
  // order. Large arrivals come whole and in order, appended to what the
  // reader holds.
  void largeTransfersKeepTheirOrderBothWays() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QtSocket sock;
    Recorder rec;
    rec.sock = &sock;
    sock.SetListener(&rec);
    sock.Connect("127.0.0.1", server.serverPort());
    QTRY_COMPARE_WITH_TIMEOUT(rec.seen, QStringList{"connected"}, 5000);
    QTcpSocket* peer = Accept(server);
    QVERIFY(peer);
    QByteArray expected;
    for (int i = 0; i < 64; ++i) {
      const std::string chunk(64 * 1024, static_cast<char>('a' + i % 26));
      sock.SendData(chunk);  // far more than the kernel takes at once
      expected.append(chunk.data(), static_cast<qsizetype>(chunk.size()));
    }
    QCOMPARE(ReadExactly(peer, expected.size()), expected);

    rec.data = "held";
    peer->write(expected);
    const auto want = static_cast<std::size_t>(expected.size()) + 4;
    QTRY_COMPARE_WITH_TIMEOUT(rec.data.size(), want, 5000);
    QVERIFY(rec.data == "held" + expected.toStdString());
  }
};

QTEST_MAIN(QtSocketTest)
#include "qt_socket_test.moc"
