#pragma once

// Chat rooms, named by exchange and room name, known to clients by a chat ID
// the server hands out. A room lasts while someone is in it. What its
// members hear of arrivals and departures is rated per room: past the rate
// they are gathered (one who comes and goes meanwhile cancels out) and go
// out as one update each way once the rate allows (Flush).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "server_limits.h"
#include "service/outbox.h"
#include "service/rate_limit.h"

namespace reposa::server {

struct ChatMember {
  SessionId session;
  std::string display;
};

struct ChatRoom {
  std::int32_t id = 0;
  int exchange = 0;
  std::string name;  // as the first member typed it
  std::vector<ChatMember> members;
  bool Has(SessionId session) const;
  // Arrival and departure updates: their rate, and those held back.
  RateLimit roster;
  std::vector<std::string> arrived;
  std::vector<std::string> departed;
};

// A room name the server accepts: 1 to maxRoomName bytes, no control bytes
// and no colon, which would move the fields of the messages that carry it.
bool IsValidRoomName(std::string_view name, const Limits& limits);

class ChatRooms {
 public:
  using Clock = std::function<std::int64_t()>;  // seconds since the epoch
  // IDs run from 1 to `maxId`, then start again. Without a clock arrivals
  // and departures are never held back.
  ChatRooms(Outbox& outbox, const Limits& limits, std::int32_t maxId = INT32_MAX, Clock now = {})
      : outbox_(outbox), limits_(limits), maxId_(maxId), now_(std::move(now)) {}

  enum class Join { Joined, Full, TooMany };
  // Joins the room, making it when it is new (room names match ignoring
  // case). The joiner gets CHAT_JOIN and the member list; the others hear
  // of the arrival. Joining a room one is in repeats the first two only.
  Join JoinByName(SessionId session, std::string_view display, int exchange, std::string_view name);
  // The same for a room known by its ID; false when there is no such room.
  bool JoinById(SessionId session, std::string_view display, std::int32_t id, Join& result);
  // The leaver gets CHAT_LEFT, whether it was in the room or not; the others
  // hear of the departure.
  void Leave(SessionId session, std::int32_t id);
  // Every member gets the message, the sender included; false when the
  // sender is not in the room.
  bool Send(SessionId session, std::int32_t id, std::string_view message);
  // Leaves every room, silently for the leaver (its connection is going).
  void LeaveAll(SessionId session);
  // A member's display name changed.
  void Rename(SessionId session, std::string_view display);

  // Sends the arrivals and departures held back, as far as each room's
  // rate allows now.
  void Flush();

  const ChatRoom* Find(std::int32_t id) const;
  std::size_t size() const { return rooms_.size(); }

 private:
  Join Enter(ChatRoom& room, SessionId session, std::string_view display);
  void Depart(std::map<std::int32_t, ChatRoom>::iterator it, SessionId session, bool tellLeaver);
  static std::string Key(int exchange, std::string_view name);
  // Without making an entry: only members are counted.
  std::size_t RoomsOf(SessionId session) const;
  // The members hear that `display` came in or left, now or, past the
  // room's rate, with the next update that goes.
  void Tell(ChatRoom& room, const std::string& display, bool inside);
  void SendHeld(ChatRoom& room);

  Outbox& outbox_;
  const Limits& limits_;
  std::int32_t maxId_;
  Clock now_;
  std::int32_t lastId_ = 0;
  std::map<std::int32_t, ChatRoom> rooms_;
  std::map<std::string, std::int32_t> byKey_;
  std::map<SessionId, std::size_t> roomCount_;
};

}  // namespace reposa::server
