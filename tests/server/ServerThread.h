#pragma once

// The server in-process, on its own loop and thread, on 127.0.0.1 with an
// ephemeral port. The test thread talks to it only through sockets.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kez/posix/EventLoop.h"
#include "server.h"
#include "service/directory.h"
#include "store/account_rows.h"

namespace reposa::server::test {

class ServerThread {
 public:
  explicit ServerThread(ServerOptions options = {}, std::vector<AccountEntry> accounts = {})
      : directory_(options.limits, accounts) {
    Start(std::move(options), nullptr, nullptr);
  }
  // Accounts and lists kept in `store`; passwords checked on `worker`.
  ServerThread(AccountStore& store, PasswordWorker* worker, ServerOptions options = {})
      : directory_(options.limits, ToAccounts(store.LoadAll())) {
    Start(std::move(options), &store, worker);
  }
  ~ServerThread() {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_[1], &byte, 1);
    thread_.join();
    server_.reset();
    ::close(stop_[0]);
    ::close(stop_[1]);
  }

  std::uint16_t port() const { return port_; }
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }

 private:
  void Start(ServerOptions options, AccountStore* store, PasswordWorker* worker) {
    options.host = "127.0.0.1";
    options.port = "0";
    server_ = std::make_unique<Server>(loop_, directory_, options, [this](std::string_view line) {
      std::lock_guard<std::mutex> lock(mutex_);
      log_.emplace_back(line);
    });
    server_->UseStore(store, worker);
    server_->Start();
    port_ = server_->port();
    if (::pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    loop_.Watch(stop_[0], POLLIN, [this](short) { loop_.Stop(); });
    thread_ = std::thread([this] { loop_.Run(); });
  }

  Directory directory_;
  kez::posix::EventLoop loop_;
  std::unique_ptr<Server> server_;
  std::uint16_t port_ = 0;
  int stop_[2] = {-1, -1};
  std::thread thread_;
  std::mutex mutex_;
  std::vector<std::string> log_;
};

}  // namespace reposa::server::test
