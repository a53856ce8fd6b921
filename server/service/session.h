#pragma once

// One client connection's protocol: the opening, the sign-on, then frames of
// commands handed to the service. No I/O of its own: bytes come in through
// Receive and go out through the Transport.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "service/flap_codec.h"
#include "service/outbox.h"
#include "service/service.h"

namespace reposa::server {

class Transport {
 public:
  virtual ~Transport() = default;
  virtual void Write(std::string_view bytes) = 0;
  // Holds what is written from now on back for `delay`: a refused sign-on is
  // answered late, so guesses come slowly.
  virtual void Hold(std::chrono::milliseconds delay) { (void)delay; }
  // Close once what was written has gone; input after this is ignored.
  virtual void Finish() = 0;
};

class Session {
 public:
  using Log = std::function<void(std::string_view)>;
  // `source`: where the connection comes from (service/source_network.h).
  Session(SessionId id, Service& service, Transport& transport, Log log = {}, Source source = {});

  // Takes the bytes, then handles at most `maxFrames` of the frames
  // buffered; more() says whether complete frames may still wait.
  std::size_t Receive(std::string_view bytes, std::size_t maxFrames = SIZE_MAX);
  bool more() const { return more_; }
  std::size_t buffered() const { return reader_.buffered(); }
  void SendMessage(std::string_view message);
  void SendKeepAlive();
  // Ended by the server (a newer sign-on of the same name, or abuse): a
  // sign-off frame, then close.
  void End(std::string_view why = "replaced by a newer sign-on");
  // The outcome of a sign-on that waited for its password check; what came
  // in meanwhile is handled on the following turns (more() says so).
  void Verdict(bool accepted);
  // The connection is gone: nothing more is read or sent.
  void Abandon() { state_ = State::Finished; }

  SessionId id() const { return id_; }
  bool signedOn() const { return state_ == State::SignedOn; }
  bool finished() const { return state_ == State::Finished; }

 private:
  enum class State { AwaitSignOnFrame, AwaitLogin, AwaitVerdict, SignedOn, Finished };
  void HandleFrame(const Frame& frame);
  void HandleSignOnFrame(const Frame& frame);
  void HandleLogin(std::string_view line);
  void HandleCommand(std::string_view line);
  void Refuse(int code, std::string_view why,
              std::chrono::milliseconds delay = std::chrono::milliseconds(0));
  void Close(std::string_view why);
  void SendFrame(FrameType type, std::string_view payload);

  SessionId id_;
  Service& service_;
  Transport& transport_;
  Log log_;
  FlapReader reader_;
  FlapWriter writer_;
  State state_ = State::AwaitSignOnFrame;
  bool greeted_ = false;
  bool more_ = false;
  std::string frameName_;  // the screen name of the client's sign-on frame
  Source source_;
};

}  // namespace reposa::server
