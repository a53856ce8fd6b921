#include "kez/host/Rooms.h"

#include "kez/host/Names.h"

namespace kez::host {

// Room names compare as the server compares them: without case and spaces.
void RoomMemory::Want(const JoinTarget& room) {
  if (rooms_.size() < kMaxRooms) rooms_[NormalizeName(room.room)].target = room;
}

void RoomMemory::Requested(const JoinTarget& room) {
  if (requested_.size() >= kMaxRooms) requested_.clear();
  requested_[NormalizeName(room.room)] = room.exchange;
}

void RoomMemory::Joined(std::string_view name, std::int32_t chatId) {
  const std::string key = NormalizeName(name);
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

void RoomMemory::Left(std::int32_t chatId) {
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

}  // namespace kez::host
