#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "options.h"

namespace reposa::console {

// The rooms the session is in, so that a new sign-on can join them again.
// The server confirms a join with the room's name and a chat ID only, so the
// exchange asked for is kept from the request and matched by name.
class RoomMemory {
 public:
  // Joined after each sign-on until left.
  void Want(const JoinTarget& room);
  // A JoinChat call: its exchange, for when the server confirms it.
  void Requested(const JoinTarget& room);
  void Joined(std::string_view name, int32_t chatId);
  void Left(int32_t chatId);
  std::vector<JoinTarget> Rooms() const;

  // Bounds what a script can make us remember.
  static constexpr std::size_t kMaxRooms = 64;

 private:
  struct Room {
    JoinTarget target;
    int32_t chatId = 0;
  };
  static std::string Key(std::string_view name);

  std::map<std::string, Room> rooms_;
  std::map<std::string, int16_t> requested_;
};

}  // namespace reposa::console
