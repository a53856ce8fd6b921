#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <string>
#include <string_view>
#include <vector>

namespace reposa::test {

// A TOC server that speaks just enough, on 127.0.0.1 with an ephemeral port,
// on the test's own event loop: it answers "FLAPON\n\n" with its sign-on
// frame, answers the client's sign-on frame and toc2_login line with
// SIGN_ON, NICK and an empty configuration, and records every later command
// line. Frames: "*", type, 16-bit sequence number, 16-bit length, payload.
class FlapServer : public QObject {
 public:
  FlapServer() {
    server_.listen(QHostAddress::LocalHost, 0);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* next = server_.nextPendingConnection()) {
        ++connections;
        if (peer_) peer_->deleteLater();
        peer_ = next;
        in_.clear();
        greeted_ = false;
        connect(next, &QTcpSocket::readyRead, this, [this, next] { Read(next); });
      }
    });
  }

  quint16 port() const { return server_.serverPort(); }

  // What the client sent, in order.
  int connections = 0;
  std::string signOnFrame;            // payload of its type-1 frame
  std::string loginLine;              // toc2_login ...
  std::vector<std::string> commands;  // every later command line, NUL removed
  bool answerLogin = true;            // false: stay silent after the login line

  void SendFrame(int type, std::string_view payload) {
    if (!peer_) return;
    QByteArray frame;
    frame.append('*');
    frame.append(static_cast<char>(type));
    frame.append(static_cast<char>((seq_ >> 8) & 0xff));
    frame.append(static_cast<char>(seq_ & 0xff));
    frame.append(static_cast<char>((payload.size() >> 8) & 0xff));
    frame.append(static_cast<char>(payload.size() & 0xff));
    frame.append(payload.data(), static_cast<qsizetype>(payload.size()));
    seq_ = (seq_ + 1) & 0xffff;
    peer_->write(frame);
  }
  void SendMessage(std::string_view message) { SendFrame(2, message); }

  // An orderly close from the server's side.
  void Hangup() {
    if (peer_) peer_->disconnectFromHost();
  }

 private:
  void Read(QTcpSocket* sock) {
    if (sock != peer_) return;
    in_ += sock->readAll();
    if (!greeted_) {
      if (in_.size() < 8) return;
      if (in_.left(8) != "FLAPON\n\n") {
        sock->abort();
        return;
      }
      in_.remove(0, 8);
      greeted_ = true;
      SendFrame(1, std::string_view("\0\0\0\1", 4));  // FLAP version 1
    }
    while (in_.size() >= 6) {
      const int length =
          (static_cast<unsigned char>(in_[4]) << 8) | static_cast<unsigned char>(in_[5]);
      if (in_.size() < 6 + length) return;
      const int type = static_cast<unsigned char>(in_[1]);
      std::string payload(in_.constData() + 6, static_cast<std::size_t>(length));
      in_.remove(0, 6 + length);
      if (type == 1) {
        signOnFrame = payload;
      } else if (type == 2) {
        // Command lines end with a NUL.
        if (!payload.empty() && payload.back() == '\0') payload.pop_back();
        if (payload.starts_with("toc2_login ")) {
          loginLine = payload;
          if (answerLogin) {
            SendMessage("SIGN_ON:TOC2.0");
            SendMessage("NICK:Some Body");
            SendMessage("CONFIG2:m:1\ndone:\n");
          }
        } else {
          commands.push_back(payload);
        }
      }
    }
  }

  QTcpServer server_;
  QPointer<QTcpSocket> peer_;
  QByteArray in_;
  bool greeted_ = false;
  int seq_ = 0;
};

}  // namespace reposa::test
