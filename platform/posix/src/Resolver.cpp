#include "Resolver.h"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace kez::posix {

namespace {
std::atomic<int> inFlight{0};
}  // namespace

// Owned jointly by the lookup and its thread; whichever lets go last closes
// the wake-up descriptor, so the thread never writes to a reused one.
struct Lookup::Shared {
  std::mutex mutex;
  int error = EAI_SYSTEM;
  std::vector<Address> found;
  int wake = -1;
  ~Shared() {
    if (wake >= 0) ::close(wake);
  }
};

Lookup::Lookup(EventLoop& loop, const std::string& host, const std::string& port, Done done)
    : loop_(loop), done_(std::move(done)), shared_(std::make_shared<Shared>()) {
  shared_->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  bool started = false;
  if (shared_->wake >= 0 && inFlight.fetch_add(1) < kMaxInFlight) {
    try {
      std::thread([shared = shared_, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
        {
          std::lock_guard lock(shared->mutex);
          shared->error = rc;
          for (addrinfo* a = list; rc == 0 && a; a = a->ai_next) {
            Address address{};
            std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
            address.length = a->ai_addrlen;
            shared->found.push_back(address);
          }
        }
        if (list) ::freeaddrinfo(list);
        const std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(shared->wake, &one, sizeof one);
        --inFlight;
      }).detach();
      started = true;
    } catch (const std::system_error&) {
    }
  }
  if (!started) {
    if (shared_->wake >= 0) --inFlight;
    shared_->error = EAI_AGAIN;  // no thread: report "try again" on the next turn
    const std::uint64_t one = 1;
    if (shared_->wake >= 0) {
      [[maybe_unused]] ssize_t n = ::write(shared_->wake, &one, sizeof one);
    }
  }
  if (shared_->wake >= 0) {
    watch_ = loop_.Watch(shared_->wake, POLLIN, [this](short) { OnWake(); });
  } else {
    loop_.Post([weak = std::weak_ptr<Shared>(shared_), this] {
      if (weak.lock()) OnWake();
    });
  }
}

Lookup::~Lookup() {
  if (watch_) loop_.Unwatch(watch_);
}

void Lookup::OnWake() {
  if (watch_) loop_.Unwatch(watch_);
  watch_ = 0;
  int error;
  std::vector<Address> found;
  {
    std::lock_guard lock(shared_->mutex);
    error = shared_->error;
    found = std::move(shared_->found);
  }
  Done done = std::move(done_);
  done(error, std::move(found));  // may destroy this
}

}  // namespace kez::posix
