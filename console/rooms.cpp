#include "rooms.h"

#include <cctype>

namespace reposa::console {

// Room names compare as the server compares them: without case and spaces.
std::string RoomMemory::Key(std::string_view name) {
  std::string key;
  for (const char c : name)
    if (c != ' ') key.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return key;
}

void RoomMemory::Want(const JoinTarget& room) {
  if (rooms_.size() < kMaxRooms) rooms_[Key(room.room)].target = room;
}

void RoomMemory::Requested(const JoinTarget& room) {
  if (requested_.size() >= kMaxRooms) requested_.clear();
  requested_[Key(room.room)] = room.exchange;
}

void RoomMemory::Joined(std::string_view name, int32_t chatId) {
  const std::string key = Key(name);
  auto found = rooms_.find(key);
  if (found == rooms_.end()) {
    if (rooms_.size() >= kMaxRooms) return;
    found = rooms_.emplace(key, Room{JoinTarget{std::string(name), 4}, 0}).first;
  }
  if (auto asked = requested_.find(key); asked != requested_.end()) {
    found->second.target.exchange = asked->second;
    requested_.erase(asked);
  }
  found->second.chatId = chatId;
}

void RoomMemory::Left(int32_t chatId) {
  for (auto it = rooms_.begin(); it != rooms_.end(); ++it) {
    if (it->second.chatId == chatId) {
      rooms_.erase(it);
      return;
    }
  }
}

std::vector<JoinTarget> RoomMemory::Rooms() const {
  std::vector<JoinTarget> rooms;
  for (const auto& [key, room] : rooms_) rooms.push_back(room.target);
  return rooms;
}

}  // namespace reposa::console
