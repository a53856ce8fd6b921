#pragma once

// A listening socket whose clients each send one request and get one answer,
// after which the connection closes: what the control socket and the metrics
// endpoint share. Every connection is bounded (how many at once, the size of
// a request, the time until its answer has gone), works on the loop without
// ever blocking it, and nothing runs while no one connects: no timer is
// armed without a connection.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "kez/posix/EventLoop.h"

namespace reposa::server {

class RequestServer {
 public:
  // Answers the request; may be called later (an answer that takes a while),
  // at most once. Nothing happens when the connection is gone by then.
  using Reply = std::function<void(std::string answer)>;
  using Handle = std::function<void(std::string request, Reply reply)>;
  enum class Refusal { TooMany, TooLong, NotAllowed, Timeout };
  struct Rules {
    std::size_t maxConnections = 4;
    std::size_t maxRequest = 4096;
    // From the connection until its request is whole, and from the answer
    // until it has gone; not while the answer is being made.
    std::chrono::milliseconds timeout{5000};
    // The length of the first whole request at the front of `bytes`; 0
    // while it is not whole yet.
    std::function<std::size_t(std::string_view bytes)> whole;
    // What a refused client is told (may be empty: closed without a word).
    std::function<std::string(Refusal)> refusal;
    // A new connection's socket: false refuses it (Refusal::NotAllowed).
    std::function<bool(int fd)> admit;
  };

  RequestServer(kez::posix::EventLoop& loop, Rules rules, Handle handle);
  ~RequestServer();
  RequestServer(const RequestServer&) = delete;
  RequestServer& operator=(const RequestServer&) = delete;

  // Serves the clients of a listening, non-blocking socket, which it owns
  // from now on.
  void Serve(int listeningFd);
  std::size_t connections() const { return clients_.size(); }

 private:
  struct Client;
  void Accept();
  void OnReady(std::uint64_t id, short revents);
  void Read(Client& c);
  void Answer(std::uint64_t id, std::string answer);
  void Write(Client& c);
  void Refuse(int fd, Refusal why);
  void Close(std::uint64_t id);
  void ArmDeadline(Client& c);

  kez::posix::EventLoop& loop_;
  Rules rules_;
  Handle handle_;
  int fd_ = -1;
  kez::posix::EventLoop::Id watch_ = 0;
  std::uint64_t nextId_ = 1;
  std::map<std::uint64_t, std::unique_ptr<Client>> clients_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace reposa::server
