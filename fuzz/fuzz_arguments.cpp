// Command arguments against the server's own parser: whatever bytes a host
// passes, parsing the line the control sends must give them back exactly
// (normalised where the argument is a screen name). Any difference, or a line
// the parser refuses, is a finding.

#include <fuzzer/FuzzedDataProvider.h>

#include <deque>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "arguments.h"
#include "commands.h"
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
  bool IsConnected() const override { return true; }
  std::string incoming;
  void GetData(std::string& data) override { data += std::exchange(incoming, {}); }
  // Connects and answers the server's sign-on, so commands go out.
  void Open() {
    NotifyConnected();
    incoming.assign("*\x01\0\0\0\4\0\0\0\1", 10);
    NotifyDataArrival();
    sent.clear();  // the opening string and the sign-on answer
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

// Draws a command's arguments from the fuzzer's bytes. Texts are kept here,
// so the views a command's struct holds stay valid for the call.
class Draw {
 public:
  explicit Draw(FuzzedDataProvider& in) : in_(in) {}
  template <class T>
  T Next() {
    if constexpr (std::is_same_v<T, std::string_view>) {
      return texts_.emplace_back(in_.ConsumeRandomLengthString(256));
    } else if constexpr (std::is_same_v<T, bool>) {
      return in_.ConsumeBool();
    } else {
      return in_.ConsumeIntegral<T>();
    }
  }

 private:
  FuzzedDataProvider& in_;
  std::deque<std::string> texts_;
};

// The line the server must read back: its word and arguments. Nothing where
// the command rightly sends nothing.
struct Line {
  std::string word;
  Args args;
};
using Expect = std::optional<Line>;

std::string Trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return std::string(s);
}

// The chat table is empty: ID 0 with an empty name finds a free entry (ID 0),
// with any other name nothing.
Expect InRoom(std::string_view room, int32_t id, const std::string& word, Args rest = {}) {
  if (id == 0 && !room.empty()) return std::nullopt;
  rest.insert(rest.begin(), std::to_string(id));
  return Line{word, rest};
}

std::string Name(std::string_view name) {
  return NormalizeName(name);
}
std::string Text(std::string_view text) {
  return std::string(text);
}

// What the server reads for each command, written out from the protocol's
// side, one function per command of the control's list.
namespace cmd = kez::command;
Expect Expected(const cmd::JoinChat& c) {
  return Line{"toc_chat_join", {std::to_string(c.intExchange), Trim(c.strRoomName)}};
}
Expect Expected(const cmd::LeaveChat& c) {
  return InRoom(c.strChatName, c.lngChatID, "toc_chat_leave");
}
Expect Expected(const cmd::SendChat& c) {
  return InRoom(c.strChatName, c.lngChatID, "toc_chat_send", {Text(c.strMessage)});
}
Expect Expected(const cmd::InviteUsers& c) {
  return InRoom(c.strChatName, c.lngChatID, "toc_chat_invite",
                {Text(c.strInviteMessage), Name(c.strUsers)});
}
Expect Expected(const cmd::AcceptChatInvite& c) {
  return Line{"toc_chat_accept", {std::to_string(c.lngChatID)}};
}
Expect Expected(const cmd::SendIM& c) {
  Args args{Name(c.strUserName), Text(c.strMessage)};
  if (c.AutoResponse) args.push_back("auto");
  return Line{"toc_send_im", args};
}
Expect Expected(const cmd::GetProfile& c) {
  return Line{"toc_get_info", {Name(c.strUserName)}};
}
Expect Expected(const cmd::GetStatus& c) {
  return Line{"toc_get_status", {Name(c.strUserName)}};
}
Expect Expected(const cmd::SetProfile& c) {
  return Line{"toc_set_info", {Text(c.strProfile)}};
}
Expect Expected(const cmd::SetAwayMessage& c) {
  return Line{"toc_set_away", {Text(c.strAwayMessage)}};
}
Expect Expected(const cmd::SetIdleTime& c) {  // called only when it did not overflow
  return Line{"toc_set_idle", {std::to_string(int64_t{c.lngMinutes} * 60)}};
}
Expect Expected(const cmd::WarnUser& c) {
  return Line{"toc_evil", {Name(c.strUserName), c.blnAnonymous ? "anon" : "norm"}};
}
Expect Expected(const cmd::SetCapability& c) {
  return Line{"toc_set_caps", {Text(c.strCapUUID)}};
}
Expect Expected(const cmd::ChangePassword& c) {
  return Line{"toc_change_passwd", {Text(c.strOldPassword), Text(c.strNewPassword)}};
}
Expect Expected(const cmd::FormatUserName& c) {
  return Line{"toc_format_nickname", {Text(c.strFormatted)}};
}
Expect Expected(const cmd::AddBuddy& c) {
  return Line{"toc2_new_buddies", {"g:" + Text(c.strGroup) + "\nb:" + Text(c.strBuddy) + "\n"}};
}
Expect Expected(const cmd::RemoveBuddy& c) {
  return Line{"toc2_remove_buddy", {Text(c.strBuddy), Text(c.strGroup)}};
}
Expect Expected(const cmd::AddGroup& c) {
  return Line{"toc2_new_group", {Text(c.strGroup)}};
}
Expect Expected(const cmd::RemoveGroup& c) {
  return Line{"toc2_del_group", {Text(c.strGroup)}};
}
Expect Expected(const cmd::BlockUser& c) {
  return Line{"toc2_add_deny", {Name(c.strUserName)}};
}
Expect Expected(const cmd::UnblockUser& c) {
  return Line{"toc2_remove_deny", {Name(c.strUserName)}};
}
Expect Expected(const cmd::AddPrivateUser& c) {
  return Line{"toc2_add_permit", {Name(c.strUserName)}};
}
Expect Expected(const cmd::RemovePrivateUser& c) {
  return Line{"toc2_remove_permit", {Name(c.strUserName)}};
}
Expect Expected(const cmd::SetPrivacy& c) {
  return Line{"toc2_set_pdmode", {std::to_string(c.intMode)}};
}

// Every command of the control's list: draw its arguments, call it, and say
// what the server must read. A command added to the list without its
// Expected above does not compile here.
using Call = Expect (*)(kez::KezTOCSock& control, Draw& draw);
#define FUZZ_DRAW(i, p) draw.Next<KEZ_PARAM_TYPE(i, p)>()
#define FUZZ_PASS(i, p) c.KEZ_PARAM_NAME(i, p)
#define FUZZ_COMMAND(Name, doc, ...)                                \
  [](kez::KezTOCSock& control, Draw& draw) -> Expect {              \
    const cmd::Name c{KEZ_EACH(FUZZ_DRAW, KEZ_COMMA, __VA_ARGS__)}; \
    control.Name(KEZ_EACH(FUZZ_PASS, KEZ_COMMA, __VA_ARGS__));      \
    return Expected(c);                                             \
  },
const Call kCommands[] = {KEZ_TOCSOCK_COMMANDS(FUZZ_COMMAND)};

// One command through a control: what reaches the socket is one data frame
// whose line parses back into the arguments given.
void ThroughTheControl(FuzzedDataProvider& in) {
  auto socket = std::make_unique<RecordingSocket>();
  RecordingSocket* sock = socket.get();
  kez::KezTOCSock control(std::move(socket));
  sock->Open();
  const Call command =
      kCommands[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kCommands) - 1)];
  Draw draw(in);
  Expect expected;
  try {
    expected = command(control, draw);
  } catch (const std::invalid_argument&) {
    Check(sock->sent.empty());  // a NUL: refused before sending
    return;
  } catch (const std::overflow_error&) {
    Check(sock->sent.empty());  // idle seconds past 32 bits
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
  ExpectParsed(f.substr(6, length - 1), expected->word, expected->args);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Renderings(in);
  while (in.remaining_bytes() > 0) ThroughTheControl(in);
  return 0;
}
