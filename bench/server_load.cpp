// A chat server under load: a crowd of raw clients signs on, all of them
// exchange instant messages round the crowd, and a room of them talks.
// Measures the server's memory per session, how many messages a second it
// relays, the time for one room line to reach every member, and (for
// reposa-server) how long an instant message takes while one client floods
// the server with its costliest commands. With reposa-server, once all are
// signed on, the server is watched idle (metrics served, no one scraping)
// and then scraped.
//
// The same shapes run against the references bench/run weighs reposa-server
// against: bench_echo (--dialect echo), the least a relay can do, and IRC
// daemons (--dialect irc, --server the daemon, --port the port its
// configuration names).
//
// With --tls every client of reposa-server speaks TLS (a full handshake each,
// ECDSA P-256, with a certificate made for the run) to the server's TLS port,
// and the figures are named server_tls.* instead of server.*.
//
//   bench_server [--clients 1000] [--room 100] [--lines 300] [--seconds 2]
//                [--idle 10] [--scrapes 20] [--runs 3] [--json FILE]
//                [--dialect toc|echo|irc]
//                [--name server] [--server PROGRAM] [--server-args "A B"]
//                [--port N] [--tls]

#if REPOSA_BENCH_URING
#include <liburing.h>
#endif
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Dialects.h"
#include "Figures.h"
#include "Http.h"
#include "TlsServerFiles.h"

namespace kez::bench {
namespace {

using reposa::test::ClientContext;
using reposa::test::SslContext;
using reposa::test::TlsServerFiles;

class Crowd {
 public:
  using OnFrame = std::function<void(Client&, const PeerFrame&)>;

  // The driver waits with epoll, so its own cost per wake-up is what is
  // ready, not the size of the crowd: it measures the server, not itself.
  // `tls`: the clients' TLS settings, or null for plain clients.
  Crowd(ChildProcess& server, std::uint16_t port, Dialect& dialect, SslContext tls)
      : server_(server),
        port_(port),
        dialect_(dialect),
        tls_(std::move(tls)),
        epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0) throw std::runtime_error("epoll_create1 failed");
    Register(server_.errFd(), kServerLog, EPOLLIN);
    Register(server_.outFd(), kServerLog, EPOLLIN);
  }
  ~Crowd() { ::close(epoll_); }
  Crowd(const Crowd&) = delete;
  Crowd& operator=(const Crowd&) = delete;

  Client& Add() {
    clients_.push_back(std::make_unique<Client>(port_, static_cast<int>(clients_.size())));
    if (tls_) clients_.back()->peer.StartTls(tls_, "localhost");
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
        if (clients_[i]->dropped) continue;
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
        // A server may log every sign-on; an unread pipe would stall it.
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
        while (auto f = dialect_.Next(*clients_[i])) onFrame(*clients_[i], *f);
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
      if (res == 0) {
        Closed(c);
        continue;
      }
      if (res < 0) continue;  // nothing after all
      c.peer.Feed(std::string_view(arena_.data() + k * kSlot, static_cast<std::size_t>(res)));
      if (static_cast<std::size_t>(res) == kSlot) Receive(c);  // there may be more
    }
#endif
  }

  void Receive(Client& c) {
    if (!c.dropped && !c.peer.Receive()) Closed(c);
  }

  // Only a flooding client may be closed by the server; it is then watched
  // no more.
  void Closed(Client& c) {
    if (!c.mayBeDropped) throw std::runtime_error("the server closed the connection of " + c.name);
    if (c.dropped) return;
    c.dropped = true;
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, c.peer.fd(), nullptr);
    std::fprintf(stderr, "(the server dropped the flooding client %s)\n", c.name.c_str());
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
  Dialect& dialect_;
  SslContext tls_;
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
  std::vector<double> imQuietMs;        // one instant message at a time, nothing else going on
  std::vector<double> imUnderAttackMs;  // the same while one client floods
  double hwmKiB = 0;
  double idleWakeups = 0;
  double idleCpuMs = 0;
  double scrapeCpuMs = 0;  // the server's own CPU time per scrape
};

// The server measured and how to reach it.
struct Target {
  std::unique_ptr<Dialect> dialect;
  std::vector<std::string> argv;
  std::uint16_t port = 0;               // 0: the server says "listening on 127.0.0.1:PORT"
  bool flood = false;                   // reposa-server: also time messages while one client floods
  bool metrics = false;                 // reposa-server with --metrics: also watch idle, scrape
  std::unique_ptr<TlsServerFiles> tls;  // reposa-server over TLS: its certificate and key
};

// Starts the server and waits until it takes connections; returns its port.
std::uint16_t Start(ChildProcess& server, const Target& target) {
  if (target.port == 0) {
    const std::string marker =
        target.tls ? "listening for TLS on 127.0.0.1:" : "listening on 127.0.0.1:";
    const std::size_t at = server.WaitErr(marker);
    Expect(at != std::string::npos, "the server did not start: " + server.err());
    return static_cast<std::uint16_t>(std::stoi(server.err().substr(at)));
  }
  const auto deadline = Clock::now() + 20s;
  for (;;) {
    try {
      FlapPeer probe(target.port);
      return target.port;
    } catch (const std::runtime_error&) {
      Expect(server.Running() && Clock::now() < deadline,
             "the server did not start: " + server.out() + server.err());
      std::this_thread::sleep_for(20ms);  // polling a port: there is nothing to wait on
    }
  }
}

// Every client connects and signs on; done once the server has answered each
// one's fence.
// At most `window` are signing on at once.
void SignOn(Crowd& crowd, Dialect& dialect, std::size_t clients, std::size_t window) {
  std::size_t fenced = 0;
  const auto arrive = [&] {
    while (crowd.size() < clients && crowd.size() - fenced < window) dialect.Start(crowd.Add());
  };
  arrive();
  crowd.Pump(
      [&](Client& c, const PeerFrame& f) {
        const bool was = c.fenced;
        dialect.Read(c, f);
        fenced += c.fenced && !was;
      },
      [&] {
        arrive();
        return fenced == clients;
      },
      std::chrono::seconds(60 + clients / 50), "signing on");
}

// Everyone writes to the next one round the crowd (the echo: to itself), a
// few messages in flight each; what a client has to send goes out in one
// write, as a busy client's would. Messages delivered a second.
double Ims(Crowd& crowd, Dialect& dialect, double seconds) {
  constexpr long kWindow = 4;
  const std::size_t clients = crowd.size();
  const auto t0 = Clock::now();
  const auto until = t0 + std::chrono::duration<double>(seconds);
  const auto next = [&](std::size_t i) -> Client& {
    return crowd[dialect.MessagesComeBack() ? i : (i + 1) % clients];
  };
  crowd.Pump([&](Client& c, const PeerFrame& f) { dialect.Read(c, f); },
             [&] {
               const bool over = Clock::now() >= until;
               bool settled = true;
               for (std::size_t i = 0; i < clients; ++i) {
                 Client& c = crowd[i];
                 Client& to = next(i);
                 while (!over && c.imsOut - to.imsIn < kWindow) {
                   dialect.Message(c, to);
                   ++c.imsOut;
                 }
                 settled = settled && to.imsIn == c.imsOut;
               }
               return over && settled;
             },
             std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 30000),
             "instant messages");
  long delivered = 0;
  for (std::size_t i = 0; i < clients; ++i) delivered += crowd[i].imsIn;
  return static_cast<double>(delivered) / std::chrono::duration<double>(Clock::now() - t0).count();
}

// The first `room` clients join; done once every member knows all of them.
void JoinRoom(Crowd& crowd, Dialect& dialect, std::size_t room) {
  for (std::size_t i = 0; i < room; ++i) dialect.Join(crowd[i]);
  crowd.Pump([&](Client& c, const PeerFrame& f) { dialect.Read(c, f); },
             [&] {
               for (std::size_t i = 0; i < room; ++i) {
                 const Client& c = crowd[i];
                 if (!c.joined || (dialect.ListsMembers() && c.roomNames.size() < room))
                   return false;
               }
               return true;
             },
             60s, "joining the room");
}

// Room lines every member has (a server that does not echo a line to its
// sender: every member but the sender).
long Heard(Crowd& crowd, const Dialect& dialect, std::size_t i) {
  return crowd[i].linesIn + (dialect.HearsOwnLines() ? 0 : crowd[i].linesOut);
}

// One line at a time, from each member in turn, each timed until every
// member has it.
std::vector<double> FanOut(Crowd& crowd, Dialect& dialect, std::size_t room, std::size_t lines) {
  std::vector<double> ms;
  for (std::size_t k = 0; k < lines; ++k) {
    const auto t0 = Clock::now();
    Client& from = crowd[k % room];
    dialect.Say(from, static_cast<long>(k));
    ++from.linesOut;
    crowd.Pump(
        [&](Client& c, const PeerFrame& f) { dialect.Read(c, f); },
        [&] {
          for (std::size_t i = 0; i < room; ++i) {
            const Client& c = crowd[i];
            if (c.lastLine != static_cast<long>(k) && (&c != &from || dialect.HearsOwnLines()))
              return false;
          }
          return true;
        },
        10s, "a room line");
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  return ms;
}

// Sustained talk: lines keep coming, at most `kWindow` of them not yet
// delivered to everyone. Deliveries a second.
double Talk(Crowd& crowd, Dialect& dialect, std::size_t room, double seconds) {
  constexpr long kWindow = 16;
  long sent = 0;
  std::vector<long> before(room);
  long linesBefore = 0;
  for (std::size_t i = 0; i < room; ++i) {
    before[i] = Heard(crowd, dialect, i);
    linesBefore += crowd[i].linesIn;
  }
  const auto t0 = Clock::now();
  const auto until = t0 + std::chrono::duration<double>(seconds);
  crowd.Pump([&](Client& c, const PeerFrame& f) { dialect.Read(c, f); },
             [&] {
               long done = sent;
               for (std::size_t i = 0; i < room; ++i)
                 done = std::min(done, Heard(crowd, dialect, i) - before[i]);
               const bool over = Clock::now() >= until;
               while (!over && sent - done < kWindow) {
                 Client& from = crowd[static_cast<std::size_t>(sent) % room];
                 dialect.Say(from, sent++);
                 ++from.linesOut;
               }
               return over && done == sent;
             },
             std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 30000), "room talk");
  long delivered = -linesBefore;
  for (std::size_t i = 0; i < room; ++i) delivered += crowd[i].linesIn;
  return static_cast<double>(delivered) / std::chrono::duration<double>(Clock::now() - t0).count();
}

// Two clients outside the room exchange instant messages one at a time for
// `seconds`, each timed from the send until it is read, while `flood` (when
// given) keeps a third one busy.
std::vector<double> Pings(Crowd& crowd, Dialect& dialect, std::size_t a, double seconds,
                          const std::function<void()>& flood) {
  Client& from = crowd[a];
  Client& to = crowd[dialect.MessagesComeBack() ? a : a + 1];
  std::vector<double> ms;
  const auto send = [&] {
    dialect.Message(from, to);
    from.peer.Flush();
    return Clock::now();
  };
  const auto until = Clock::now() + std::chrono::duration<double>(seconds);
  const long before = to.imsIn;
  auto t0 = send();
  crowd.Pump(
      [&](Client& c, const PeerFrame& f) {
        if (&c != &to) return;  // the flood's answers are not ours to read
        dialect.Read(c, f);
        if (to.imsIn == before + static_cast<long>(ms.size())) return;
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (Clock::now() < until) t0 = send();
      },
      [&] {
        if (flood) flood();
        return to.imsIn == before + static_cast<long>(ms.size()) && Clock::now() >= until;
      },
      std::chrono::milliseconds(static_cast<long>(seconds * 1000) + 30000), "IMs one at a time");
  return ms;
}

// One client of reposa-server floods a mix of its costliest commands, 64 at
// a time whenever its socket takes more.
std::function<void()> Flood(Client& attacker) {
  std::string names;
  for (int i = 0; i < 120; ++i) names += " \"bench" + std::to_string(1000 + i) + "\"";
  // A room of its own for its chat flood (ID 2, after the bench room): a
  // room's members rightly read every line, and here they would be the
  // driver itself, which would then measure its own reading.
  attacker.peer.SendLine("toc_chat_join 4 \"Flood Room\"");
  const std::string room = "2";
  auto mix = std::make_shared<std::vector<std::string>>(std::vector<std::string>{
      "toc_set_idle 60",
      "toc2_new_buddies \"g:G\nb:bench0001\nb:bench0002\nb:bench0003\n\"",
      "toc2_remove_buddy" + names + " \"G\"",
      "toc_chat_send " + room + " \"" + std::string(7000, 'x') + "\"",
      "toc_chat_invite " + room + " \"come\"" + names,
      "toc_get_info bench0001",
      "toc_set_away \"gone\"",
      "toc_set_away",
  });
  attacker.mayBeDropped = true;
  return [&attacker, mix, next = std::size_t{0}]() mutable {
    while (!attacker.dropped && !attacker.peer.wantsWrite())
      for (int i = 0; i < 64; ++i) attacker.peer.SendLine((*mix)[next++ % mix->size()]);
  };
}

// Signed on and silent: the server's wake-ups and CPU time over `idle`,
// while metrics are served and no one scrapes.
// The watch starts a second after the last traffic, once the log lines of
// the sign-ons have been written.
void WatchIdle(ChildProcess& server, double idle, RunResult& r) {
  server.Idle(1s);
  Expect(WaitAsleep(server.pid()), "the server never went idle");
  const ProcSample before = Sample(server.pid());
  Expect(server.Idle(std::chrono::milliseconds(static_cast<long>(idle * 1000))),
         "the server ended while idle: " + server.err());
  const ProcSample after = Sample(server.pid());
  r.idleWakeups = static_cast<double>(after.wakeups - before.wakeups);
  r.idleCpuMs = static_cast<double>(after.cpuNs - before.cpuNs) / 1e6;
}

// `scrapes` scrapes one after another: the server's CPU time for each, after
// checking that the answer counts every session.
void Scrape(ChildProcess& server, std::uint16_t metricsPort, std::size_t sessions, int scrapes,
            RunResult& r) {
  const std::string expected = "\nreposa_sessions " + std::to_string(sessions) + "\n";
  const std::int64_t cpuBefore = Sample(server.pid()).cpuNs;
  for (int i = 0; i < scrapes; ++i) {
    const std::string answer = reposa::test::HttpExchange(metricsPort, reposa::test::kMetricsGet);
    Expect(answer.starts_with("HTTP/1.1 200") && answer.find(expected) != std::string::npos,
           "a scrape did not count the sessions: " + answer.substr(0, 200));
  }
  r.scrapeCpuMs = static_cast<double>(Sample(server.pid()).cpuNs - cpuBefore) / 1e6 /
                  static_cast<double>(std::max(scrapes, 1));
}

struct Sizes {
  std::size_t clients, room, lines;
  double seconds, idle;
  int scrapes;
};

RunResult Run(const Target& target, const Sizes& sizes) {
  const std::size_t clients = sizes.clients, roomSize = sizes.room, lines = sizes.lines;
  const double seconds = sizes.seconds;
  RunResult r;
  Dialect& dialect = *target.dialect;
  ChildProcess server(target.argv);
  const std::uint16_t port = Start(server, target);
  const std::uint16_t metricsPort = target.metrics ? reposa::test::MetricsPort(server) : 0;
  Expect(!target.metrics || metricsPort != 0, "the server serves no metrics: " + server.err());
  r.idleRssKiB = static_cast<double>(Sample(server.pid()).rssKiB);

  Crowd crowd(server, port, dialect,
              target.tls ? ClientContext(target.tls->caFile()) : SslContext());
  const auto started = Clock::now();
  // Over TLS at most the server's default --max-signing-on (256) clients are
  // signing on at once, as a server left at its defaults would have it: each
  // handshake holds its record buffers until it is done.
  SignOn(crowd, dialect, clients, target.tls ? 256 : clients);
  r.signOnSeconds = std::chrono::duration<double>(Clock::now() - started).count();
  r.rssKiB = static_cast<double>(Sample(server.pid()).rssKiB);
  r.perSessionKiB = (r.rssKiB - r.idleRssKiB) / static_cast<double>(clients);
  if (target.metrics) {
    WatchIdle(server, sizes.idle, r);
    Scrape(server, metricsPort, clients, sizes.scrapes, r);
  }

  r.imsPerSecond = Ims(crowd, dialect, seconds);
  JoinRoom(crowd, dialect, roomSize);
  const std::int64_t cpuBefore = Sample(server.pid()).cpuNs;
  r.fanOutMs = FanOut(crowd, dialect, roomSize, lines);
  r.serverCpuPerLineMs = static_cast<double>(Sample(server.pid()).cpuNs - cpuBefore) / 1e6 /
                         static_cast<double>(std::max<std::size_t>(lines, 1));
  r.roomDeliveriesPerSecond = Talk(crowd, dialect, roomSize, seconds);

  // Outside the room when there is anyone outside it: the room's members
  // rightly get the attacker's lines before a later message.
  const std::size_t a = clients >= roomSize + 2 ? roomSize : 1;
  r.imQuietMs = Pings(crowd, dialect, a, seconds / 2, nullptr);
  if (target.flood) r.imUnderAttackMs = Pings(crowd, dialect, a, seconds, Flood(crowd[0]));
  r.hwmKiB = static_cast<double>(Sample(server.pid()).hwmKiB);
  server.Stop();
  return r;
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

// The server to start: reposa-server with its per-address and per-network
// caps and its IM rates lifted (every client comes from 127.0.0.1),
// bench_echo, or a program and its arguments.
Target MakeTarget(Args& args, std::size_t clients) {
  Target t;
  const std::string dialect = args.Text("--dialect", "toc");
  t.dialect = MakeDialect(dialect);
  t.flood = dialect == "toc";
  if (args.Flag("--tls")) {
    if (dialect != "toc") throw std::invalid_argument("--tls is for reposa-server only");
    t.tls = std::make_unique<TlsServerFiles>();
  }
  const std::string path =
      args.Text("--server", dialect == "echo" ? REPOSA_ECHO_PATH : REPOSA_SERVER_PATH);
  const std::string many = std::to_string(clients + 16);
  const std::string listen = t.tls ? "--tls-listen 127.0.0.1:0 --tls-cert " + t.tls->pair.cert +
                                         " --tls-key " + t.tls->pair.key
                                   : "--listen 127.0.0.1:0";
  const std::string fallback =
      dialect == "echo" ? listen
      : dialect == "toc"
          ? "--db :memory: " + listen + " --keepalive 0 --max-connections " + many +
                " --max-per-address " + many + " --max-signing-on " + many +
                " --max-signing-on-per-address " + many + " --max-per-network " + many +
                " --max-signing-on-per-network " + many +
                // One sender's IMs are rated; the bench measures the server.
                " --im-rate 1073741824 --im-network-rate 1073741824" + " --metrics 127.0.0.1:0"
          : "";
  t.argv = Words(args.Text("--server-args", fallback));
  t.metrics = dialect == "toc" && std::any_of(t.argv.begin(), t.argv.end(), [](const auto& w) {
                return w.starts_with("--metrics");
              });
  t.argv.insert(t.argv.begin(), path);
  t.port = static_cast<std::uint16_t>(args.Number("--port", 0));
  return t;
}

}  // namespace
}  // namespace kez::bench

int main(int argc, char** argv) {
  using namespace kez::bench;
  try {
    Args args(argc, argv);
    const auto clients = static_cast<std::size_t>(args.Number("--clients", 1000));
    const auto room = static_cast<std::size_t>(args.Number("--room", 100));
    const auto lines = static_cast<std::size_t>(args.Number("--lines", 300));
    const double seconds = args.Number("--seconds", 2);
    const double idleSeconds = args.Number("--idle", 10);
    const int scrapes = static_cast<int>(args.Number("--scrapes", 20));
    const int runs = static_cast<int>(args.Number("--runs", 3));
    const std::string json = args.Text("--json", "");
    const Target target = MakeTarget(args, clients);
    const std::string name = args.Text("--name", target.tls ? "server_tls" : "server");
    args.Check();
    if (room > clients || clients < 3 || room == 0)
      throw std::invalid_argument("wants 3 or more --clients, and a --room of 1 to --clients");

    std::vector<double> idle, rss, perSession, signOn, fanOut, fanOutP99, lineCpu, roomRate, imRate,
        hwm, quiet, attackMedian, attackP99, idleWakeups, idleCpu, scrapeCpu;
    for (int i = 0; i < runs; ++i) {
      const RunResult r = Run(target, {clients, room, lines, seconds, idleSeconds, scrapes});
      idle.push_back(r.idleRssKiB / 1024);
      rss.push_back(r.rssKiB / 1024);
      perSession.push_back(r.perSessionKiB);
      signOn.push_back(static_cast<double>(clients) / r.signOnSeconds);
      fanOut.push_back(Median(r.fanOutMs));
      fanOutP99.push_back(Quantile(r.fanOutMs, 0.99));
      lineCpu.push_back(r.serverCpuPerLineMs);
      roomRate.push_back(r.roomDeliveriesPerSecond);
      imRate.push_back(r.imsPerSecond);
      quiet.push_back(Median(r.imQuietMs));
      attackMedian.push_back(Median(r.imUnderAttackMs));
      attackP99.push_back(Quantile(r.imUnderAttackMs, 0.99));
      hwm.push_back(r.hwmKiB / 1024);
      idleWakeups.push_back(r.idleWakeups);
      idleCpu.push_back(r.idleCpuMs);
      scrapeCpu.push_back(r.scrapeCpuMs);
    }
    const std::string n = std::to_string(clients);
    const std::string m = std::to_string(room);
    Figures figures("bench_server");
    const auto add = [&](const std::string& figure, const std::string& unit,
                         const std::vector<double>& v) {
      figures.Add(name + "." + figure, unit, v);
    };
    add("rss_idle", "MiB", idle);
    add("rss_" + n + "_sessions", "MiB", rss);
    add("kib_per_session_" + n + "_clients", "KiB", perSession);
    add("sign_ons_per_second_" + n + "_clients", "1/s", signOn);
    add("room_" + m + "_fanout", "ms", fanOut);
    add("room_" + m + "_fanout_p99", "ms", fanOutP99);
    add("room_" + m + "_fanout_p99_" + n + "_clients", "ms", fanOutP99);  // the same, per crowd
    add("room_" + m + "_line_server_cpu", "ms", lineCpu);
    add("room_" + m + "_deliveries_per_second", "1/s", roomRate);
    add("ims_per_second_" + n + "_clients", "1/s", imRate);
    add("im_quiet_" + n + "_clients", "ms", quiet);
    if (target.flood) {
      add("im_under_attack_" + n + "_clients", "ms", attackMedian);
      add("im_under_attack_p99_" + n + "_clients", "ms", attackP99);
    }
    add("rss_peak_" + n + "_clients", "MiB", hwm);
    if (target.metrics) {
      add("idle_wakeups_" + n + "_sessions", "", idleWakeups);
      add("idle_cpu_" + n + "_sessions", "ms", idleCpu);
      add("scrape_cpu_" + n + "_sessions", "ms", scrapeCpu);
    }
    figures.Write(json);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_server: %s\n", e.what());
    return 1;
  }
  return 0;
}
