#pragma once

// The service room: the protocol and everything the sessions share. Each
// connection's Session (session.h) reads its frames; this Service signs
// sessions on and runs every client command of a signed-on one through its
// command table, with presence, chat rooms, the directory of accounts and
// their lists. Its answers go out through an Outbox and its stored changes
// to a ChangeLog: the service knows neither the network nor the store. The
// commands are defined by subject in service_chat.cpp, service_users.cpp
// and service_lists.cpp.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "server_limits.h"
#include "service/change_log.h"
#include "service/chat_rooms.h"
#include "service/command_parser.h"
#include "service/directory.h"
#include "service/flap_codec.h"
#include "service/outbox.h"
#include "service/password_penalties.h"
#include "service/password_worker.h"
#include "service/presence.h"
#include "service/rate_book.h"
#include "service/source_network.h"

namespace reposa::server {

// Refused and accepted read as false and true; too soon (the name or the
// source has to wait longer for a check) is refused unchecked.
enum SignOnResult {
  kSignOnRefused = 0,
  kSignOnAccepted = 1,
  kSignOnPending = 2,
  kSignOnTooSoon = 3
};

class Service {
 public:
  using Log = std::function<void(std::string_view)>;
  Service(Directory& directory, Outbox& outbox, Presence::Clock now, const Limits& limits,
          Log log = {});

  // Checks a sign-on from `source`. On success the session is bound to the
  // account (an older session of the same name is ended) and gets SIGN_ON,
  // NICK and its stored configuration in CONFIG2 messages of at most
  // `maxPayload` bytes; it is online only after toc_init_done. On failure
  // nothing is sent. Pending: the password is being checked on the worker,
  // after the wait earlier failures earned (password_penalties.h); the
  // outcome comes as Outbox::SignOnVerdict, after the messages of a success.
  SignOnResult SignOn(SessionId session, std::string_view typedName, std::string_view password,
                      const Source& source = {}, std::size_t maxPayload = kMaxFlapPayload);
  // Stored changes are reported to `changes`; passwords are checked and
  // hashed on `worker`. Without them changes are only kept in memory and
  // passwords checked on the spot.
  void UseStore(ChangeLog* changes, PasswordWorker* worker);
  // The account's stored part was put back as the database holds it (a write
  // failed): its session watches whom the lists now name.
  void Reverted(const Account& account);
  // One command of a signed-on session. Unknown or malformed commands get
  // ERROR:911.
  void Command(SessionId session, const CommandLine& line);
  // The connection is gone: a check of its password that has not started
  // is taken back. True when one runs still: its verdict comes later (as a
  // refusal), and whatever the sign-on holds should be held until then.
  bool Abandon(SessionId session);
  // The connection is gone.
  void Ended(SessionId session);
  // How long the refusal SignOn just gave should wait: checks made on the
  // spot (without a worker) wait after the check instead of before it.
  std::chrono::milliseconds TakeRefusalDelay();
  // Sends the presence and room updates held back by their rates, as far as
  // the rates allow now; forgets rates that are whole again. Call often
  // (Limits::coalesceEvery).
  void Tick();
  // What was queued for the session has gone to the network (after
  // Outbox::AwaitDrain): the next kept messages may follow.
  void Drained(SessionId session);
  // The store could not keep message `id` for `account`: it is not kept.
  void Unkept(Account& account, std::int64_t id);

  // Accounts changed by the host while the server runs (through the control
  // socket), once the store holds the change. A new account or a new
  // password leaves every session as it is; the first registered account
  // makes an open server registered. A removed account's session is signed
  // off with the protocol's sign-off frame, and its lists and kept messages
  // go with it.
  void AccountRegistered(std::string_view display, const std::string& hash);
  void AccountRemoved(std::string_view normalised);

  const Limits& limits() const { return limits_; }
  Presence& presence() { return presence_; }
  ChatRooms& rooms() { return rooms_; }

 private:
  using Args = std::vector<std::string>;
  using Handler = void (Service::*)(OnlineUser&, const Args&);
  // One row of the command table: a command word, how many arguments it
  // takes, and the member that answers it.
  struct CommandRow {
    std::string_view word;
    std::size_t minArgs;
    std::size_t maxArgs;
    Handler handler;
  };
  static const CommandRow kCommands[];

  void InitDone(OnlineUser& me, const Args& args);
  void ChatJoin(OnlineUser& me, const Args& args);
  void ChatLeave(OnlineUser& me, const Args& args);
  void ChatSend(OnlineUser& me, const Args& args);
  void ChatInvite(OnlineUser& me, const Args& args);
  void ChatAccept(OnlineUser& me, const Args& args);
  void SendIm(OnlineUser& me, const Args& args);
  void GetInfo(OnlineUser& me, const Args& args);
  void SetInfo(OnlineUser& me, const Args& args);
  void SetAway(OnlineUser& me, const Args& args);
  void GetStatus(OnlineUser& me, const Args& args);
  void SetIdle(OnlineUser& me, const Args& args);
  void Evil(OnlineUser& me, const Args& args);
  void ChangePassword(OnlineUser& me, const Args& args);
  void FormatNickname(OnlineUser& me, const Args& args);
  void SetCaps(OnlineUser& me, const Args& args);
  void NewBuddies(OnlineUser& me, const Args& args);
  void RemoveBuddy(OnlineUser& me, const Args& args);
  void NewGroup(OnlineUser& me, const Args& args);
  void DelGroup(OnlineUser& me, const Args& args);
  void AddDeny(OnlineUser& me, const Args& args);
  void RemoveDeny(OnlineUser& me, const Args& args);
  void AddPermit(OnlineUser& me, const Args& args);
  void RemovePermit(OnlineUser& me, const Args& args);
  void SetPdMode(OnlineUser& me, const Args& args);

  void EditNames(OnlineUser& me, const Args& args, char kind, bool add);
  // One group (empty `buddy`) or buddy of a toc2_new_buddies list; false
  // when the lists are full.
  bool AddBuddyItem(OnlineUser& me, const std::string& group, const std::string& buddy,
                    const std::string& alias);
  // A sign-on whose password is checked on the worker.
  struct Awaiting {
    PasswordWorker::Ticket ticket = 0;
    PasswordPenalties::Keys keys;
    std::string name;  // the account's, normalised; empty: no such account
    std::string hash;  // what was checked: another by the verdict's time refuses it
    std::string typed;
    Source source;
    std::size_t maxPayload = 0;
    bool gone = false;  // its connection left while the check ran
  };
  SignOnResult SignOnRegistered(SessionId session, std::string_view typedName,
                                std::string_view password, const Source& source,
                                std::size_t maxPayload);
  void SignOnChecked(SessionId session, const PasswordWorker::Result& result);
  void LogRefusal(SessionId session, std::string_view typedName, bool known);
  void Admit(SessionId session, Account& account, const Source& source, std::size_t maxPayload);
  // The outcome of a password change's check of the old password; `newHash`
  // is empty when it could not be made.
  void PasswordChecked(OnlineUser& me, bool matches, const std::string& newHash);
  // The user's stored part changed; `ack` answers it once it is stored
  // (empty: no answer unless storing fails). `edit` names the row that
  // changed; without one the account's own row did (its display name, or
  // with `password` its password hash).
  void Stored(OnlineUser& me, std::string_view ack, bool password = false);
  void Stored(OnlineUser& me, std::string_view ack, ListEdit edit);
  void AnswerJoin(OnlineUser& me, ChatRooms::Join result, std::string_view room);
  bool JoinWithinRate(OnlineUser& me, std::string_view room);
  // Keeps an IM from `me` for the registered account `name` until it can be
  // handed over; false when none is kept (an open server, no such account,
  // privacy, or a bound).
  bool Keep(OnlineUser& me, std::string_view name, std::string_view text);
  // Hands the oldest kept messages to an online user, one batch at a time.
  void DeliverKept(OnlineUser& me);
  // The online user `name` if it lets `me` see it and `me` lets it be
  // written to; nullptr otherwise.
  OnlineUser* Reachable(const OnlineUser& me, std::string_view name);
  void BadInput(const OnlineUser& me);
  // False, and ERROR:903 to `me`, when `me`'s name is over its rate.
  bool WithinRate(OnlineUser& me, RateBook::Kind kind, std::int64_t n = 1);
  // One metrics line for a refusal by the rate `kind`.
  static void CountRateHit(RateBook::Kind kind);
  // The same for an instant message of `bytes`, against the rates of the
  // sender's name and of its network.
  bool ImWithinRate(OnlineUser& me, std::size_t bytes);
  void Send(const OnlineUser& to, std::string_view message);

  Limits limits_;
  Directory& directory_;
  Outbox& outbox_;
  Presence::Clock now_;
  Log log_;
  RateBook rates_;
  Presence presence_;
  ChatRooms rooms_;
  PasswordPenalties penalties_;
  ChangeLog* changes_ = nullptr;
  PasswordWorker* worker_ = nullptr;
  std::uint64_t command_ = 0;  // numbers commands, for their acknowledgements
  std::map<SessionId, Awaiting> awaiting_;
  // Password changes being checked, by session.
  std::map<SessionId, PasswordWorker::Ticket> changing_;
  std::chrono::milliseconds refusalDelay_{0};
  std::size_t keptBytes_;  // of the messages kept for all accounts
  std::int64_t lastKeptId_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace reposa::server
