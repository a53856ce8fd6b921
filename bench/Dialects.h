#pragma once

// What the load driver speaks to each kind of server it measures: how a
// client signs on, joins the room, says a numbered line there and sends an
// instant message, and what it makes of what it reads. The driver's shapes
// (a crowd signing on, a room's lines, a ring of instant messages) stay the
// same whichever server is on the other end:
//
//   toc   reposa-server: FLAP frames and TOC2 command lines;
//   echo  bench_echo, the floor: the same messages, bounced by a relay that
//         does nothing else;
//   irc   an IRC daemon: one line per message (NICK/USER, JOIN, PRIVMSG).

#include <charconv>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

#include "Figures.h"

namespace kez::bench {

struct Client {
  explicit Client(std::uint16_t port, int index)
      : peer(port), index(index), name("bench" + std::to_string(10000 + index).substr(1)) {}
  FlapPeer peer;
  int index;
  std::string name;
  bool online = false;  // signed on; the fence is on its way
  bool fenced = false;  // the server has answered the fence: every earlier command is done
  bool joined = false;  // in the room
  std::int32_t chatId = 0;
  std::set<std::string> roomNames;  // members it has heard of
  long lastLine = -1;               // number of the latest room line received
  long linesIn = 0;                 // room lines received
  long linesOut = 0;                // room lines said
  long imsIn = 0;                   // instant messages received
  long imsOut = 0;                  // instant messages sent
  // A flooding client: the server may rightly drop it (its answers pile up
  // faster than the one-threaded driver reads them), which ends its flood.
  bool mayBeDropped = false;
  bool dropped = false;
};

// The number after the last ':' of a text, or -1.
inline long TrailingNumber(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  long value = -1;
  const std::string_view digits = text.substr(colon + 1);
  std::from_chars(digits.data(), digits.data() + digits.size(), value);
  return value;
}

class Dialect {
 public:
  virtual ~Dialect() = default;
  // The next whole message the client has read, if any.
  virtual std::optional<PeerFrame> Next(Client& c) = 0;
  // What a client sends once connected.
  virtual void Start(Client& c) = 0;
  // Takes in one message: sign-on steps, room members, lines, messages.
  // Throws when the server refuses something.
  virtual void Read(Client& c, const PeerFrame& f) = 0;
  virtual void Join(Client& c) = 0;
  // These queue; the driver writes what a client has queued in one go.
  virtual void Say(Client& c, long line) = 0;
  virtual void Message(Client& from, const Client& to) = 0;
  // Whether the sender of a room line gets it too.
  virtual bool HearsOwnLines() const { return true; }
  // Whether joining lists the members (else joining is enough).
  virtual bool ListsMembers() const { return true; }
  // Whether the server itself is the counterpart of an instant message
  // (the echo), so it comes back to its sender.
  virtual bool MessagesComeBack() const { return false; }
};

// reposa-server, as the control speaks to it.
class TocDialect : public Dialect {
 public:
  std::optional<PeerFrame> Next(Client& c) override { return c.peer.Next(); }
  void Start(Client& c) override { c.peer.SendOpening(); }
  void Read(Client& c, const PeerFrame& f) override {
    if (f.type == 1) return c.peer.SendSignOn(c.name, "secret");
    if (f.type != 2) return;
    const std::string_view p = f.payload;
    if (!c.online) {
      if (p.starts_with("ERROR:")) throw std::runtime_error(c.name + " refused: " + f.payload);
      if (p.starts_with("CONFIG2:") && p.find("done:") != std::string_view::npos) {
        c.peer.SendLine("toc_init_done");
        // Answered only once the server has handled the sign-on: the fence.
        c.peer.SendLine("toc_get_status " + c.name);
        c.online = true;
      }
    } else if (!c.fenced) {
      c.fenced = p.starts_with("UPDATE_BUDDY2:") || p.starts_with("ERROR:901");
    } else {
      ReadMessage(c, p);
    }
  }
  void Join(Client& c) override { c.peer.SendLine("toc_chat_join 4 \"Bench Room\""); }
  void Say(Client& c, long line) override {
    c.peer.QueueLine("toc_chat_send " + std::to_string(c.chatId) +
                     " \"line:" + std::to_string(line) + "\"");
  }
  void Message(Client& from, const Client& to) override {
    from.peer.QueueLine("toc_send_im " + to.name + " \"hello there\"");
  }

 protected:
  static void ReadMessage(Client& c, std::string_view p) {
    if (p.starts_with("CHAT_IN_ENC:")) {
      c.lastLine = TrailingNumber(p);
      ++c.linesIn;
    } else if (p.starts_with("IM_IN_ENC2:")) {
      ++c.imsIn;
    } else if (p.starts_with("CHAT_JOIN:")) {
      std::from_chars(p.data() + 10, p.data() + p.size(), c.chatId);
      c.joined = true;
    } else if (p.starts_with("CHAT_UPDATE_BUDDY:")) {
      // CHAT_UPDATE_BUDDY:<id>:T:<name>[:<name>...]
      std::size_t pos = p.find(":T:");
      if (pos == std::string_view::npos) return;
      for (pos += 3; pos <= p.size();) {
        const std::size_t end = std::min(p.find(':', pos), p.size());
        c.roomNames.emplace(p.substr(pos, end - pos));
        pos = end + 1;
      }
    } else if (p.starts_with("ERROR:")) {
      throw std::runtime_error(c.name + " got " + std::string(p));
    }
  }
};

// bench_echo: the messages reposa-server would deliver, bounced as they are.
class EchoDialect final : public TocDialect {
 public:
  static constexpr int kGroupFrame = 9;  // moves the client to a group, answered with itself
  void Start(Client& c) override { Regroup(c, "alone " + c.name); }
  void Read(Client& c, const PeerFrame& f) override {
    if (f.type != kGroupFrame) return ReadMessage(c, f.payload);
    c.joined = f.payload == "room";
    c.online = c.fenced = true;
  }
  void Join(Client& c) override { Regroup(c, "room"); }
  void Say(Client& c, long line) override {
    c.peer.QueueLine("CHAT_IN_ENC:1:" + c.name + ":F:line:" + std::to_string(line));
  }
  void Message(Client& from, const Client&) override {
    from.peer.QueueLine("IM_IN_ENC2:" + from.name + ":F:F:F: O:F:L:en:hello there");
  }
  bool ListsMembers() const override { return false; }
  bool MessagesComeBack() const override { return true; }

 private:
  static void Regroup(Client& c, const std::string& group) { c.peer.SendFrame(kGroupFrame, group); }
};

// An IRC daemon: registration, a channel, PRIVMSG.
class IrcDialect final : public Dialect {
 public:
  std::optional<PeerFrame> Next(Client& c) override {
    std::optional<std::string> line = c.peer.NextLine();
    if (!line) return std::nullopt;
    return PeerFrame{0, std::move(*line)};
  }
  void Start(Client& c) override {
    c.peer.SendRaw("NICK " + c.name + "\r\nUSER " + c.name + " 0 * :bench\r\n");
  }
  void Read(Client& c, const PeerFrame& f) override {
    // [:prefix ]command params... [:trailing]
    std::string_view rest = f.payload;
    std::string_view from;
    if (rest.starts_with(':')) {
      from = rest.substr(1, rest.find(' ') - 1);
      rest.remove_prefix(std::min(rest.find(' '), rest.size()));
      rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    }
    const std::string_view command = rest.substr(0, rest.find(' '));
    const std::string_view args = rest.substr(std::min(command.size() + 1, rest.size()));
    const std::string_view nick = from.substr(0, from.find('!'));
    const std::size_t colon = args.find(" :");
    const std::string_view trailing =
        colon == std::string_view::npos ? std::string_view() : args.substr(colon + 2);
    if (command == "PING") {
      c.peer.SendRaw("PONG " + std::string(args) + "\r\n");
    } else if (command == "001") {
      c.peer.SendRaw("PING :fence\r\n");  // answered once registration is done
      c.online = true;
    } else if (command == "PONG") {
      c.fenced = true;
    } else if (command == "PRIVMSG") {
      if (args.starts_with('#')) {
        c.lastLine = TrailingNumber(trailing);
        ++c.linesIn;
      } else {
        ++c.imsIn;
      }
    } else if (command == "JOIN") {
      c.roomNames.emplace(nick);
      if (nick == c.name) c.joined = true;
    } else if (command == "353") {  // names: <me> <type> <channel> :<names>
      for (std::size_t pos = 0; pos < trailing.size();) {
        std::size_t end = std::min(trailing.find(' ', pos), trailing.size());
        std::string_view name = trailing.substr(pos, end - pos);
        name.remove_prefix(std::min(name.find_first_not_of("@%+~&"), name.size()));
        if (!name.empty()) c.roomNames.emplace(name);
        pos = end + 1;
      }
    } else if (command == "ERROR" ||
               (command.size() == 3 && command[0] >= '4' && command[0] <= '5' &&
                command != "422")) {  // 422: no message of the day, which is fine
      throw std::runtime_error(c.name + " got " + f.payload);
    }
  }
  void Join(Client& c) override { c.peer.SendRaw("JOIN #bench\r\n"); }
  void Say(Client& c, long line) override {
    c.peer.QueueRaw("PRIVMSG #bench :line:" + std::to_string(line) + "\r\n");
  }
  void Message(Client& from, const Client& to) override {
    from.peer.QueueRaw("PRIVMSG " + to.name + " :hello there\r\n");
  }
  bool HearsOwnLines() const override { return false; }
};

inline std::unique_ptr<Dialect> MakeDialect(const std::string& name) {
  if (name == "toc") return std::make_unique<TocDialect>();
  if (name == "echo") return std::make_unique<EchoDialect>();
  if (name == "irc") return std::make_unique<IrcDialect>();
  throw std::invalid_argument("--dialect is toc, echo or irc, not " + name);
}

}  // namespace kez::bench
