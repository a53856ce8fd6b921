#pragma once

#include <sys/socket.h>

#include <QSocketNotifier>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FlapPeer.h"

namespace reposa::test {

// The scripted peer on the test's own Qt event loop: socket notifiers wake
// it when a client connects or sends. It answers the opening with its
// sign-on frame and the login line with SIGN_ON, NICK and an empty
// configuration, and records every later command line.
class FlapServer {
 public:
  FlapServer() : listening_(peer_.listenFd(), QSocketNotifier::Read) {
    QObject::connect(&listening_, &QSocketNotifier::activated, [this] { Accept(); });
  }

  std::uint16_t port() const { return peer_.port(); }

  // What the client sent, in order.
  int connections = 0;
  std::string loginLine;              // toc2_login ...
  std::vector<std::string> commands;  // every later command line, NUL removed
  bool answerLogin = true;            // false: stay silent after the login line

  void SendMessage(std::string_view message) { peer_.SendMessage(message); }
  // An orderly close from the server's side.
  void Hangup() { ::shutdown(peer_.fd(), SHUT_WR); }

 private:
  void Accept() {
    reading_.reset();
    if (!peer_.Accept(std::chrono::milliseconds(0))) return;
    ++connections;
    greeted_ = false;
    reading_ = std::make_unique<QSocketNotifier>(peer_.fd(), QSocketNotifier::Read);
    QObject::connect(reading_.get(), &QSocketNotifier::activated, [this] { Read(); });
  }
  void Read() {
    // At the end the notifier would fire for ever.
    if (!peer_.Receive()) reading_->setEnabled(false);
    if (!greeted_) {
      const std::optional<std::string> opening = peer_.Read(8, std::chrono::milliseconds(0));
      if (!opening) return;
      if (*opening != "FLAPON\n\n") return Hangup();
      greeted_ = true;
      peer_.SendFrame(1, std::string_view("\0\0\0\1", 4));  // FLAP version 1
    }
    while (std::optional<PeerFrame> frame = peer_.Next()) {
      if (frame->type != 2) continue;
      if (!frame->payload.starts_with("toc2_login ")) {
        commands.push_back(frame->payload);
      } else {
        loginLine = frame->payload;
        if (answerLogin) {
          SendMessage("SIGN_ON:TOC2.0");
          SendMessage("NICK:Some Body");
          SendMessage("CONFIG2:m:1\ndone:\n");
        }
      }
    }
  }

  FlapPeer peer_;
  QSocketNotifier listening_;
  std::unique_ptr<QSocketNotifier> reading_;
  bool greeted_ = false;
};

}  // namespace reposa::test
