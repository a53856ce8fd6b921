#include "service/chat_rooms.h"

#include <algorithm>

#include "service/messages.h"

namespace reposa::server {

bool ChatRoom::Has(SessionId session) const {
  return std::any_of(members.begin(), members.end(),
                     [&](const ChatMember& m) { return m.session == session; });
}

bool IsValidRoomName(std::string_view name, const Limits& limits) {
  if (name.empty() || name.size() > limits.maxRoomName) return false;
  for (char c : name)
    if (static_cast<unsigned char>(c) < 32 || c == 127 || c == ':') return false;
  return true;
}

std::size_t ChatRooms::RoomsOf(SessionId session) const {
  auto it = roomCount_.find(session);
  return it == roomCount_.end() ? 0 : it->second;
}

std::string ChatRooms::Key(int exchange, std::string_view name) {
  std::string key = std::to_string(exchange) + ":";
  for (char c : name) key.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  return key;
}

ChatRooms::Join ChatRooms::JoinByName(SessionId session, std::string_view display, int exchange,
                                      std::string_view name) {
  const std::string key = Key(exchange, name);
  if (auto it = byKey_.find(key); it != byKey_.end())
    return Enter(rooms_.at(it->second), session, display);
  if (RoomsOf(session) >= limits_.maxRoomsPerSession ||
      rooms_.size() >= static_cast<std::size_t>(maxId_))
    return Join::TooMany;
  // IDs grow, so a stale ID in some client rarely names a newer room; after
  // the last one they start again, passing over rooms still open.
  do {
    lastId_ = lastId_ >= maxId_ ? 1 : lastId_ + 1;
  } while (rooms_.count(lastId_));
  ChatRoom room;
  room.id = lastId_;
  room.exchange = exchange;
  room.name = std::string(name);
  room.roster = RateLimit{static_cast<std::int64_t>(limits_.rosterBurst),
                          static_cast<std::int64_t>(limits_.rosterPerSecond)};
  auto [it, inserted] = rooms_.emplace(room.id, std::move(room));
  byKey_[key] = it->first;
  return Enter(it->second, session, display);
}

bool ChatRooms::JoinById(SessionId session, std::string_view display, std::int32_t id,
                         Join& result) {
  auto it = rooms_.find(id);
  if (it == rooms_.end()) return false;
  result = Enter(it->second, session, display);
  return true;
}

ChatRooms::Join ChatRooms::Enter(ChatRoom& room, SessionId session, std::string_view display) {
  const bool already = room.Has(session);
  if (!already) {
    if (room.members.size() >= limits_.maxRoomMembers) return Join::Full;
    if (RoomsOf(session) >= limits_.maxRoomsPerSession) return Join::TooMany;
    Tell(room, std::string(display), true);
    room.members.push_back(ChatMember{session, std::string(display)});
    ++roomCount_[session];
  }
  outbox_.Deliver(session, msg::ChatJoin(room.id, room.name));
  std::vector<std::string> names;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < room.members.size(); ++i) {
    names.push_back(room.members[i].display);
    bytes += names.back().size() + 1;
    if (bytes >= limits_.memberListMessage || i + 1 == room.members.size()) {
      outbox_.Deliver(session, msg::ChatUpdateBuddy(room.id, true, names));
      names.clear();
      bytes = 0;
    }
  }
  return Join::Joined;
}

void ChatRooms::Leave(SessionId session, std::int32_t id) {
  auto it = rooms_.find(id);
  if (it != rooms_.end() && it->second.Has(session)) {
    Depart(it, session, true);
  } else {
    outbox_.Deliver(session, msg::ChatLeft(id));
  }
}

void ChatRooms::Depart(std::map<std::int32_t, ChatRoom>::iterator it, SessionId session,
                       bool tellLeaver) {
  ChatRoom& room = it->second;
  auto member = std::find_if(room.members.begin(), room.members.end(),
                             [&](const ChatMember& m) { return m.session == session; });
  const std::string display = member->display;
  room.members.erase(member);
  if (auto count = roomCount_.find(session); count != roomCount_.end() && --count->second == 0)
    roomCount_.erase(count);
  if (tellLeaver) outbox_.Deliver(session, msg::ChatLeft(room.id));
  Tell(room, display, false);
  if (room.members.empty()) {
    byKey_.erase(Key(room.exchange, room.name));
    rooms_.erase(it);
  }
}

void ChatRooms::Tell(ChatRoom& room, const std::string& display, bool inside) {
  std::vector<std::string>& same = inside ? room.arrived : room.departed;
  std::vector<std::string>& other = inside ? room.departed : room.arrived;
  const bool holding = !room.arrived.empty() || !room.departed.empty();
  if (!holding && (!now_ || room.roster.Take(now_()))) {
    const std::string update = msg::ChatUpdateBuddy(room.id, inside, {display});
    for (const ChatMember& m : room.members) outbox_.Deliver(m.session, update);
    return;
  }
  // The members have not heard the opposite yet: the two cancel out.
  if (auto it = std::find(other.begin(), other.end(), display); it != other.end()) {
    other.erase(it);
  } else if (std::find(same.begin(), same.end(), display) == same.end()) {
    same.push_back(display);
  }
}

void ChatRooms::SendHeld(ChatRoom& room) {
  for (bool inside : {true, false}) {
    std::vector<std::string>& names = inside ? room.arrived : room.departed;
    // In messages of about the member list's size, so each fits its frame.
    std::vector<std::string> part;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
      part.push_back(std::move(names[i]));
      bytes += part.back().size() + 1;
      if (bytes < limits_.memberListMessage && i + 1 < names.size()) continue;
      const std::string update = msg::ChatUpdateBuddy(room.id, inside, part);
      for (const ChatMember& m : room.members) outbox_.Deliver(m.session, update);
      part.clear();
      bytes = 0;
    }
    names.clear();
  }
}

void ChatRooms::Flush() {
  const std::int64_t now = now_ ? now_() : 0;
  for (auto& [id, room] : rooms_)
    if ((!room.arrived.empty() || !room.departed.empty()) && (!now_ || room.roster.Take(now)))
      SendHeld(room);
}

bool ChatRooms::Send(SessionId session, std::int32_t id, std::string_view message) {
  auto it = rooms_.find(id);
  if (it == rooms_.end()) return false;
  const ChatRoom& room = it->second;
  auto sender = std::find_if(room.members.begin(), room.members.end(),
                             [&](const ChatMember& m) { return m.session == session; });
  if (sender == room.members.end()) return false;
  const std::string line = msg::ChatIn(room.id, sender->display, message);
  for (const ChatMember& m : room.members) outbox_.Deliver(m.session, line);
  return true;
}

void ChatRooms::LeaveAll(SessionId session) {
  if (!roomCount_.count(session)) return;
  for (auto it = rooms_.begin(); it != rooms_.end();) {
    auto next = std::next(it);
    if (it->second.Has(session)) Depart(it, session, false);
    it = next;
  }
}

void ChatRooms::Rename(SessionId session, std::string_view display) {
  for (auto& [id, room] : rooms_)
    for (ChatMember& m : room.members)
      if (m.session == session) m.display = std::string(display);
}

const ChatRoom* ChatRooms::Find(std::int32_t id) const {
  auto it = rooms_.find(id);
  return it == rooms_.end() ? nullptr : &it->second;
}

}  // namespace reposa::server
