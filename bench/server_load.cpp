// reposa-server under load: a crowd of raw clients signs on, a room of them
// talks, and all of them exchange instant messages. Measures the server's
// memory per session, the time for one room line to reach every member, and
// how many messages a second it relays, and how long an instant message takes
// while one client floods the server with its costliest commands.
//
//   bench_server [--clients 1000] [--room 100] [--lines 300] [--seconds 2]
//                [--runs 3] [--json FILE]

#if REPOSA_BENCH_URING
#include <liburing.h>
#endif
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Figures.h"
#include "FlapPeer.h"

namespace kez::bench {
namespace {

struct Client {
  explicit Client(std::uint16_t port, int index)
      : peer(port), index(index), name("bench" + std::to_string(10000 + index).substr(1)) {}
  FlapPeer peer;
  int index;
  std::string name;
  bool online = false;
  bool fenced = false;
  std::int32_t chatId = 0;
  std::set<std::string> roomNames;
  long lastLine = -1;  // number of the latest room line received
  long linesIn = 0;    // room lines received
  long imsIn = 0;      // instant messages received
  long imsOut = 0;     // instant messages sent
};

long TrailingNumber(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  long value = -1;
  const std::string_view digits = text.substr(colon + 1);
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return value;
}

class Crowd {
 public:
  using OnFrame = std::function<void(Client&, const PeerFrame&)>;

  // The driver waits with epoll, so its own cost per wake-up is what is
  // ready, not the size of the crowd: it measures the server, not itself.
  Crowd(ChildProcess& server, std::uint16_t port)
      : server_(server), port_(port), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0) throw std::runtime_error("epoll_create1 failed");
    Register(server_.errFd(), kServerLog, EPOLLIN);
  }
  ~Crowd() { ::close(epoll_); }
  Crowd(const Crowd&) = delete;
  Crowd& operator=(const Crowd&) = delete;

  Client& Add() {
    clients_.push_back(std::make_unique<Client>(port_, static_cast<int>(clients_.size())));
    writing_.push_back(false);
    Register(clients_.back()->peer.fd(), clients_.size() - 1, EPOLLIN);
    return *clients_.back();
  }
  Client& operator[](std::size_t i) { return *clients_[i]; }
  std::size_t size() const { return clients_.size(); }

  // Reads every client (and the server's log) until `done` holds, handing
  // every frame to `onFrame`; throws after `bound`.
  void Pump(const OnFrame& onFrame, const std::function<bool()>& done,
            std::chrono::milliseconds bound, const char* what) {
    const auto deadline = Clock::now() + bound;
    epoll_event ready[kMaxReady];
    while (!done()) {
      if (Clock::now() > deadline) throw std::runtime_error(std::string("timed out: ") + what);
      // Only the clients that have something to send wait to write.
      for (std::size_t i = 0; i < clients_.size(); ++i) {
        const bool wants = clients_[i]->peer.wantsWrite();
        if (wants == writing_[i]) continue;
        writing_[i] = wants;
        Modify(clients_[i]->peer.fd(), i, wants ? EPOLLIN | EPOLLOUT : EPOLLIN);
      }
      const int n = ::epoll_wait(epoll_, ready, kMaxReady, 100);
      reading_.clear();
      for (int k = 0; k < n; ++k) {
        const epoll_event event = ready[k];
        const std::size_t i = event.data.u64;
        // The server logs every sign-on; an unread pipe would stall it.
        if (i == kServerLog) {
          server_.Drain();
          continue;
        }
        Client& c = *clients_[i];
        if (event.events & EPOLLOUT) c.peer.Flush();
        if (event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) reading_.push_back(i);
      }
      ReadAll();
      for (std::size_t i : reading_)
        while (auto f = clients_[i]->peer.Next()) onFrame(*clients_[i], *f);
    }
  }

 private:
  static constexpr std::size_t kServerLog = ~std::size_t{0};
  static constexpr int kMaxReady = 256;
  static constexpr std::size_t kSlot = 16 * 1024;

  // The reads of one wake-up go to the kernel as one batch where io_uring is
  // allowed, as the server's sends do: the driver must cost less per message
  // than the server it measures.
  void ReadAll() {
    if (!ring_ || reading_.size() < 4) {
      for (std::size_t i : reading_) Receive(*clients_[i]);
      return;
    }
#if REPOSA_BENCH_URING
    for (std::size_t k = 0; k < reading_.size(); ++k) {
      io_uring_sqe* sqe = io_uring_get_sqe(&ring_->ring);
      io_uring_prep_recv(sqe, clients_[reading_[k]]->peer.fd(), arena_.data() + k * kSlot, kSlot,
                         MSG_DONTWAIT);
      io_uring_sqe_set_data64(sqe, k);
    }
    if (io_uring_submit_and_wait(&ring_->ring, static_cast<unsigned>(reading_.size())) !=
        static_cast<int>(reading_.size()))
      throw std::runtime_error("io_uring_submit_and_wait failed");
    for (std::size_t done = 0; done < reading_.size(); ++done) {
      io_uring_cqe* cqe = nullptr;
      if (io_uring_wait_cqe(&ring_->ring, &cqe) != 0) throw std::runtime_error("io_uring_wait_cqe");
      const std::size_t k = io_uring_cqe_get_data64(cqe);
      const int res = cqe->res;
      io_uring_cqe_seen(&ring_->ring, cqe);
      Client& c = *clients_[reading_[k]];
      if (res == 0) throw std::runtime_error("the server closed the connection of " + c.name);
      if (res < 0) continue;  // nothing after all
      c.peer.Feed(std::string_view(arena_.data() + k * kSlot, static_cast<std::size_t>(res)));
      if (static_cast<std::size_t>(res) == kSlot) Receive(c);  // there may be more
    }
#endif
  }

  static void Receive(Client& c) {
    if (!c.peer.Receive())
      throw std::runtime_error("the server closed the connection of " + c.name);
  }

#if REPOSA_BENCH_URING
  struct Ring {
    io_uring ring{};
    ~Ring() { io_uring_queue_exit(&ring); }
  };
  static std::unique_ptr<Ring> MakeRing() {
    io_uring ring{};
    if (io_uring_queue_init(kMaxReady, &ring, 0) != 0) return nullptr;
    auto r = std::make_unique<Ring>();
    r->ring = ring;
    return r;
  }
#else
  struct Ring {};
  static std::unique_ptr<Ring> MakeRing() {
    return nullptr;
  }
#endif
  void Register(int fd, std::size_t key, std::uint32_t events) {
    Control(EPOLL_CTL_ADD, fd, key, events);
  }
  void Modify(int fd, std::size_t key, std::uint32_t events) {
    Control(EPOLL_CTL_MOD, fd, key, events);
  }
  void Control(int op, int fd, std::size_t key, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = key;
    if (::epoll_ctl(epoll_, op, fd, &event) != 0) throw std::runtime_error("epoll_ctl failed");
  }

  ChildProcess& server_;
  std::uint16_t port_;
  int epoll_;
  std::vector<std::unique_ptr<Client>> clients_;
  std::vector<bool> writing_;
  std::vector<std::size_t> reading_;
  std::unique_ptr<Ring> ring_ = MakeRing();
  std::vector<char> arena_ = std::vector<char>(kMaxReady * kSlot);
};

void Expect(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what);
}

struct RunResult {
  double idleRssKiB = 0;
  double rssKiB = 0;
  double perSessionKiB = 0;
  double signOnSeconds = 0;
  std::vector<double> fanOutMs;
  double serverCpuPerLineMs = 0;  // the server's own share of a room line
  double roomDeliveriesPerSecond = 0;
  double imsPerSecond = 0;
  std::vector<double> imUnderAttackMs;
  double hwmKiB = 0;
};

RunResult Run(const std::string& serverPath, std::size_t clients, std::size_t roomSize,
              std::size_t lines, double seconds) {
  RunResult r;
  // Every client comes from loopback: lift the per-address caps a public
  // server keeps low.
  const std::string many = std::to_string(clients + 16);
  ChildProcess server({serverPath,    "--db",
                       ":memory:",    "--listen",
                       "127.0.0.1:0", "--keepalive",
                       "0",           "--max-connections",
                       many,          "--max-per-address",
                       many,          "--max-signing-on",
                       many,          "--max-signing-on-per-address",
                       many,          "--max-per-network",
                       many,          "--max-signing-on-per-network",
                       many,          "--im-rate",
                       "1073741824",  "--im-network-rate",
                       "1073741824"});
  const std::string marker = "listening on 127.0.0.1:";
  const std::size_t at = server.WaitErr(marker);
  Expect(at != std::string::npos, "the server did not start: " + server.err());
  const auto port = static_cast<std::uint16_t>(std::stoi(server.err().substr(at)));
  r.idleRssKiB = static_cast<double>(Sample(server.pid()).rssKiB);

  Crowd crowd(server, port);
  const auto started = Clock::now();
  for (std::size_t i = 0; i < clients; ++i) crowd.Add().peer.SendOpening();
  std::size_t fenced = 0;
  crowd.Pump(
      [&](Client& c, const PeerFrame& f) {
        if (f.type == 1) return c.peer.SendSignOn(c.name, "secret");
        if (f.type != 2) return;
        if (c.online) {
          // Answers the status request sent with toc_init_done, so the
          // session is online by now.
          if (f.payload.starts_with("UPDATE_BUDDY2:") || f.payload.starts_with("ERROR:901")) {
            fenced += !c.fenced;
            c.fenced = true;
          }
        } else if (f.payload.starts_with("ERROR:")) {
          throw std::runtime_error(c.name + " refused: " + std::string(f.payload));
        } else if (f.payload.starts_with("CONFIG2:") &&
                   f.payload.find("done:") != std::string::npos) {
          c.peer.SendLine("toc_init_done");
          c.peer.SendLine("toc_get_status " + c.name);
          c.online = true;
        }
      },
      [&] { return fenced == clients; }, 60s, "signing on");
  r.signOnSeconds = std::chrono::duration<double>(Clock::now() - started).count();
  r.rssKiB = static_cast<double>(Sample(server.pid()).rssKiB);
  r.perSessionKiB = (r.rssKiB - r.idleRssKiB) / static_cast<double>(clients);

  // The room: every member must know every other before the talk starts.
  for (std::size_t i = 0; i < roomSize; ++i)
    crowd[i].peer.SendLine("toc_chat_join 4 \"Bench Room\"");
  const auto onRoomFrame = [&](Client& c, const PeerFrame& f) {
    if (f.type != 2) return;
    const std::string_view p = f.payload;
    if (p.starts_with("CHAT_JOIN:")) {
      std::from_chars(p.data() + 10, p.data() + p.size(), c.chatId);
    } else if (p.starts_with("CHAT_UPDATE_BUDDY:")) {
      // CHAT_UPDATE_BUDDY:<id>:T:<name>[:<name>...]
      std::size_t pos = p.find(":T:");
      if (pos == std::string_view::npos) return;
      pos += 3;
      while (pos <= p.size()) {
        const std::size_t end = std::min(p.find(':', pos), p.size());
        c.roomNames.emplace(p.substr(pos, end - pos));
        pos = end + 1;
      }
    } else if (p.starts_with("CHAT_IN_ENC:")) {
      c.lastLine = TrailingNumber(p);
      ++c.linesIn;
    } else if (p.starts_with("IM_IN_ENC2:")) {
      ++c.imsIn;
    } else if (p.starts_with("ERROR:")) {
      throw std::runtime_error(c.name + " got " + std::string(p));
    }
  };
  crowd.Pump(
      onRoomFrame,
      [&] {
        for (std::size_t i = 0; i < roomSize; ++i)
          if (crowd[i].roomNames.size() < roomSize) return false;
        return true;
      },
      30s, "joining the room");
  const std::string send = "toc_chat_send " + std::to_string(crowd[0].chatId) + " ";

  // One line at a time, from each member in turn, until all have it.
  const std::int64_t cpuBefore = Sample(server.pid()).cpuNs;
  for (std::size_t k = 0; k < lines; ++k) {
    const auto t0 = Clock::now();
    crowd[k % roomSize].peer.SendLine(send + "\"line:" + std::to_string(k) + "\"");
    crowd.Pump(
        onRoomFrame,
        [&] {
          for (std::size_t i = 0; i < roomSize; ++i)
            if (crowd[i].lastLine != static_cast<long>(k)) return false;
          return true;
        },
        10s, "a room line");
    r.fanOutMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  r.serverCpuPerLineMs = static_cast<double>(Sample(server.pid()).cpuNs - cpuBefore) / 1e6 /
                         static_cast<double>(std::max<std::size_t>(lines, 1));

  // Sustained talk: lines keep coming, at most `window` of them not yet
  // delivered to everyone.
  {
    constexpr long kWindow = 16;
    for (std::size_t i = 0; i < roomSize; ++i) crowd[i].linesIn = 0;
    long sent = 0;
    const auto t0 = Clock::now();
    const auto until = t0 + std::chrono::duration<double>(seconds);
    crowd.Pump(
        onRoomFrame,
        [&] {
          long done = sent;
          for (std::size_t i = 0; i < roomSize; ++i) done = std::min(done, crowd[i].linesIn);
          const bool over = Clock::now() >= until;
          while (!over && sent - done < kWindow) {
            crowd[static_cast<std::size_t>(sent) % roomSize].peer.SendLine(
                send + "\"line:" + std::to_string(sent) + "\"");
            ++sent;
          }
          return over && done == sent;
        },
        std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 30000), "room talk");
    long delivered = 0;
    for (std::size_t i = 0; i < roomSize; ++i) delivered += crowd[i].linesIn;
    r.roomDeliveriesPerSecond =
        static_cast<double>(delivered) / std::chrono::duration<double>(Clock::now() - t0).count();
  }

  // Everyone writes to the next one round the crowd, a few messages in
  // flight each; what a client has to send goes out in one write, as a busy
  // client's would.
  {
    constexpr long kWindow = 4;
    const auto t0 = Clock::now();
    const auto until = t0 + std::chrono::duration<double>(seconds);
    const auto next = [&](std::size_t i) -> Client& { return crowd[(i + 1) % clients]; };
    crowd.Pump(
        onRoomFrame,
        [&] {
          const bool over = Clock::now() >= until;
          bool settled = true;
          for (std::size_t i = 0; i < clients; ++i) {
            Client& c = crowd[i];
            Client& to = next(i);
            while (!over && c.imsOut - to.imsIn < kWindow) {
              c.peer.QueueLine("toc_send_im " + to.name + " \"hello there\"");
              ++c.imsOut;
            }
            settled = settled && to.imsIn == c.imsOut;
          }
          return over && settled;
        },
        std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 30000), "instant messages");
    long delivered = 0;
    for (std::size_t i = 0; i < clients; ++i) delivered += crowd[i].imsIn;
    r.imsPerSecond =
        static_cast<double>(delivered) / std::chrono::duration<double>(Clock::now() - t0).count();
  }
  // One client floods a mix of the costliest commands while two others
  // exchange instant messages, one at a time: how long each takes.
  {
    Client& attacker = crowd[0];
    // Outside the room when there is anyone outside it: the room's members
    // rightly get the attacker's lines before a later message.
    const std::size_t a = clients >= roomSize + 2 ? roomSize : 1;
    Client& from = crowd[a];
    Client& to = crowd[a + 1];
    std::string names;
    for (int i = 0; i < 120; ++i) names += " \"bench" + std::to_string(1000 + i) + "\"";
    // A room of its own for its chat flood (ID 2, after the bench room): a
    // room's members rightly read every line, and here they would be the
    // driver itself, which would then measure its own reading.
    attacker.peer.SendLine("toc_chat_join 4 \"Flood Room\"");
    const std::string room = "2";
    const std::vector<std::string> mix = {
        "toc_set_idle 60",
        "toc2_new_buddies \"g:G\nb:bench0001\nb:bench0002\nb:bench0003\n\"",
        "toc2_remove_buddy" + names + " \"G\"",
        "toc_chat_send " + room + " \"" + std::string(7000, 'x') + "\"",
        "toc_chat_invite " + room + " \"come\"" + names,
        "toc_get_info bench0001",
        "toc_set_away \"gone\"",
        "toc_set_away",
    };
    std::size_t next = 0;
    bool waiting = true;  // for the reply to the ping sent at t0
    auto t0 = Clock::now();
    from.peer.SendLine("toc_send_im " + to.name + " \"ping\"");
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    crowd.Pump(
        [&](Client& c, const PeerFrame& f) {
          if (&c == &to && f.type == 2 && f.payload.starts_with("IM_IN_ENC2:")) {
            waiting = false;
            r.imUnderAttackMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            if (Clock::now() < until) {
              waiting = true;
              t0 = Clock::now();
              from.peer.SendLine("toc_send_im " + to.name + " \"ping\"");
            }
          }
        },
        [&] {
          while (!attacker.peer.wantsWrite())
            for (int i = 0; i < 64; ++i) attacker.peer.SendLine(mix[next++ % mix.size()]);
          return !waiting && Clock::now() >= until;
        },
        std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 30000), "IMs under attack");
  }
  r.hwmKiB = static_cast<double>(Sample(server.pid()).hwmKiB);
  server.Stop();
  return r;
}

}  // namespace
}  // namespace kez::bench

int main(int argc, char** argv) {
  using namespace kez::bench;
  try {
    Args args(argc, argv);
    const std::string serverPath = args.Text("--server", REPOSA_SERVER_PATH);
    const auto clients = static_cast<std::size_t>(args.Number("--clients", 1000));
    const auto room = static_cast<std::size_t>(args.Number("--room", 100));
    const auto lines = static_cast<std::size_t>(args.Number("--lines", 300));
    const double seconds = args.Number("--seconds", 2);
    const int runs = static_cast<int>(args.Number("--runs", 3));
    const std::string json = args.Text("--json", "");
    args.Check();
    if (room > clients || clients < 3 || room == 0)
      throw std::invalid_argument("wants 3 or more --clients, and a --room of 1 to --clients");

    std::vector<double> idle, rss, perSession, signOn, fanOut, fanOutP99, lineCpu, roomRate, imRate,
        hwm;
    std::vector<double> attackMedian, attackP99;
    for (int i = 0; i < runs; ++i) {
      const RunResult r = Run(serverPath, clients, room, lines, seconds);
      idle.push_back(r.idleRssKiB / 1024);
      rss.push_back(r.rssKiB / 1024);
      perSession.push_back(r.perSessionKiB);
      signOn.push_back(static_cast<double>(clients) / r.signOnSeconds);
      fanOut.push_back(Median(r.fanOutMs));
      fanOutP99.push_back(Quantile(r.fanOutMs, 0.99));
      lineCpu.push_back(r.serverCpuPerLineMs);
      roomRate.push_back(r.roomDeliveriesPerSecond);
      imRate.push_back(r.imsPerSecond);
      attackMedian.push_back(Median(r.imUnderAttackMs));
      attackP99.push_back(Quantile(r.imUnderAttackMs, 0.99));
      hwm.push_back(r.hwmKiB / 1024);
    }
    const std::string n = std::to_string(clients);
    const std::string m = std::to_string(room);
    Figures figures("bench_server");
    figures.Add("server.rss_idle", "MiB", idle);
    figures.Add("server.rss_" + n + "_sessions", "MiB", rss);
    figures.Add("server.kib_per_session_" + n + "_clients", "KiB", perSession);
    figures.Add("server.sign_ons_per_second_" + n + "_clients", "1/s", signOn);
    figures.Add("server.room_" + m + "_fanout", "ms", fanOut);
    figures.Add("server.room_" + m + "_fanout_p99", "ms", fanOutP99);
    figures.Add("server.room_" + m + "_line_server_cpu", "ms", lineCpu);
    figures.Add("server.room_" + m + "_deliveries_per_second", "1/s", roomRate);
    figures.Add("server.ims_per_second_" + n + "_clients", "1/s", imRate);
    figures.Add("server.im_under_attack_" + n + "_clients", "ms", attackMedian);
    figures.Add("server.im_under_attack_p99_" + n + "_clients", "ms", attackP99);
    figures.Add("server.rss_peak_" + n + "_clients", "MiB", hwm);
    figures.Write(json);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_server: %s\n", e.what());
    return 1;
  }
  return 0;
}
