// Command arguments against the server's own parser: whatever bytes a host
// passes, parsing the line the control sends must give them back exactly
// (normalised where the argument is a screen name). Any difference, or a line
// the parser refuses, is a finding.

#include <fuzzer/FuzzedDataProvider.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "arguments.h"
#include "service/command_parser.h"
#include "kez/KezTOCSock.h"
#include "wire.h"

namespace {

using Args = std::vector<std::string>;
using kez::wire::NormalizeName;

// A connected socket that keeps what is sent.
class RecordingSocket final : public kez::Socket {
 public:
  std::string sent;
  void Close() override {}
  void Connect(const std::string&, int32_t) override {}
  void SendData(std::string_view bytes) override { sent.append(bytes); }
  void GetData(std::string&) override {}
  bool IsConnected() const override { return true; }
  void Open() {
    NotifyConnected();
    sent.clear();  // the opening string
  }
};

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// The line must parse into `word` and `args`.
void ExpectParsed(const std::string& line, const std::string& word, const Args& args) {
  const auto parsed = reposa::server::ParseCommandLine(line);
  Check(parsed.has_value());
  Check(parsed->word == word);
  Check(parsed->args == args);
}

// The renderings on their own, several in one line.
void Renderings(FuzzedDataProvider& in) {
  const std::string text = in.ConsumeRandomLengthString(512);
  const std::string name = in.ConsumeRandomLengthString(64);
  const int32_t number = in.ConsumeIntegral<int32_t>();
  const std::string group = in.ConsumeRandomLengthString(64);
  const std::string buddy = in.ConsumeRandomLengthString(64);
  using namespace kez::wire;
  const std::string line = "toc_x " + QuotedText(text) + " " + QuotedName(name) + " " +
                           QuotedNumber(number) + " " + QuotedBuddyEntry(group, buddy) + " " +
                           QuotedText("");
  ExpectParsed(line, "toc_x",
               {text, NormalizeName(name), std::to_string(number),
                "g:" + group + "\nb:" + buddy + "\n", ""});
}

struct Command {
  const char* word;
  // Calls the command; returns the arguments the server must read back, or
  // nothing when the command rightly sends nothing.
  std::function<std::optional<Args>(kez::KezTOCSock&, FuzzedDataProvider&)> call;
};

std::string Text(FuzzedDataProvider& in) {
  return in.ConsumeRandomLengthString(256);
}

std::string Trim(std::string s) {
  while (!s.empty() && s.front() == ' ') s.erase(0, 1);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// The chat table is empty: ID 0 with an empty name finds a free entry (ID 0),
// with any other name nothing.
std::optional<std::string> Resolved(const std::string& room, int32_t id) {
  if (id != 0) return std::to_string(id);
  if (room.empty()) return "0";
  return std::nullopt;
}

const std::vector<Command>& Commands() {
  using C = kez::KezTOCSock;
  using P = FuzzedDataProvider;
  static const std::vector<Command> commands = {
      {"toc_chat_join",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string room = Text(in);
         const int16_t exchange = in.ConsumeIntegral<int16_t>();
         c.JoinChat(room, exchange);
         return Args{std::to_string(exchange), Trim(room)};
       }},
      {"toc_chat_leave",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string room = in.ConsumeRandomLengthString(4);
         const int32_t id = in.ConsumeIntegral<int32_t>();
         c.LeaveChat(room, id);
         const auto chat = Resolved(room, id);
         return chat ? std::optional<Args>(Args{*chat}) : std::nullopt;
       }},
      {"toc_chat_send",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string room = in.ConsumeRandomLengthString(4);
         const std::string message = Text(in);
         const int32_t id = in.ConsumeIntegral<int32_t>();
         c.SendChat(room, message, id);
         const auto chat = Resolved(room, id);
         return chat ? std::optional<Args>(Args{*chat, message}) : std::nullopt;
       }},
      {"toc_chat_invite",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string room = in.ConsumeRandomLengthString(4);
         const std::string message = Text(in), users = Text(in);
         const int32_t id = in.ConsumeIntegral<int32_t>();
         c.InviteUsers(room, message, users, id);
         const auto chat = Resolved(room, id);
         return chat ? std::optional<Args>(Args{*chat, message, NormalizeName(users)})
                     : std::nullopt;
       }},
      {"toc_chat_accept",
       [](C& c, P& in) -> std::optional<Args> {
         const int32_t id = in.ConsumeIntegral<int32_t>();
         c.AcceptChatInvite(id);
         return Args{std::to_string(id)};
       }},
      {"toc_send_im",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string to = Text(in), message = Text(in);
         const bool autoResponse = in.ConsumeBool();
         c.SendIM(to, message, autoResponse);
         Args args{NormalizeName(to), message};
         if (autoResponse) args.push_back("auto");
         return args;
       }},
      {"toc_get_info",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string who = Text(in);
         c.GetProfile(who);
         return Args{NormalizeName(who)};
       }},
      {"toc_get_status",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string who = Text(in);
         c.GetStatus(who);
         return Args{NormalizeName(who)};
       }},
      {"toc_set_info",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string profile = Text(in);
         c.SetProfile(profile);
         return Args{profile};
       }},
      {"toc_set_away",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string away = Text(in);
         c.SetAwayMessage(away);
         return Args{away};
       }},
      {"toc_set_idle",
       [](C& c, P& in) -> std::optional<Args> {
         const int32_t minutes = in.ConsumeIntegralInRange<int32_t>(-35791394, 35791394);
         c.SetIdleTime(minutes);
         return Args{std::to_string(minutes * 60)};
       }},
      {"toc_evil",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string who = Text(in);
         const bool anonymous = in.ConsumeBool();
         c.WarnUser(who, anonymous);
         return Args{NormalizeName(who), anonymous ? "anon" : "norm"};
       }},
      {"toc_set_caps",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string caps = Text(in);
         c.SetCapability(caps);
         return Args{caps};
       }},
      {"toc_change_passwd",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string old = Text(in), fresh = Text(in);
         c.ChangePassword(old, fresh);
         return Args{old, fresh};
       }},
      {"toc_format_nickname",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string formatted = Text(in);
         c.FormatUserName(formatted);
         return Args{formatted};
       }},
      {"toc2_new_buddies",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string group = Text(in), buddy = Text(in);
         c.AddBuddy(group, buddy);
         return Args{"g:" + group + "\nb:" + buddy + "\n"};
       }},
      {"toc2_remove_buddy",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string group = Text(in), buddy = Text(in);
         c.RemoveBuddy(group, buddy);
         return Args{buddy, group};
       }},
      {"toc2_new_group",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string group = Text(in);
         c.AddGroup(group);
         return Args{group};
       }},
      {"toc2_del_group",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string group = Text(in);
         c.RemoveGroup(group);
         return Args{group};
       }},
      {"toc2_add_deny",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string who = Text(in);
         c.BlockUser(who);
         return Args{NormalizeName(who)};
       }},
      {"toc2_remove_deny",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string who = Text(in);
         c.UnblockUser(who);
         return Args{NormalizeName(who)};
       }},
      {"toc2_add_permit",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string who = Text(in);
         c.AddPrivateUser(who);
         return Args{NormalizeName(who)};
       }},
      {"toc2_remove_permit",
       [](C& c, P& in) -> std::optional<Args> {
         const std::string who = Text(in);
         c.RemovePrivateUser(who);
         return Args{NormalizeName(who)};
       }},
      {"toc2_set_pdmode",
       [](C& c, P& in) -> std::optional<Args> {
         const int16_t mode = in.ConsumeIntegral<int16_t>();
         c.SetPrivacy(mode);
         return Args{std::to_string(mode)};
       }},
  };
  return commands;
}

// One command through a control: what reaches the socket is one data frame
// whose line parses back into the arguments given.
void ThroughTheControl(FuzzedDataProvider& in) {
  auto socket = std::make_unique<RecordingSocket>();
  RecordingSocket* sock = socket.get();
  kez::KezTOCSock control(std::move(socket));
  sock->Open();
  const Command& command =
      Commands()[in.ConsumeIntegralInRange<std::size_t>(0, Commands().size() - 1)];
  std::optional<Args> expected;
  try {
    expected = command.call(control, in);
  } catch (const std::invalid_argument&) {
    Check(sock->sent.empty());  // a NUL: refused before sending
    return;
  }
  if (!expected) {
    Check(sock->sent.empty());
    return;
  }
  const std::string& f = sock->sent;
  Check(f.size() >= 7 && f[0] == '*' && f[1] == 2);
  const std::size_t length =
      static_cast<unsigned char>(f[4]) * 256u + static_cast<unsigned char>(f[5]);
  Check(f.size() == 6 + length && f.back() == '\0');
  ExpectParsed(f.substr(6, length - 1), command.word, *expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Renderings(in);
  while (in.remaining_bytes() > 0) ThroughTheControl(in);
  return 0;
}
