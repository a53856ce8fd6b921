#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kez::host {

// A room to join: its name and exchange.
struct JoinTarget {
  std::string room;
  std::int16_t exchange = 4;
  bool operator==(const JoinTarget&) const = default;
};

// The rooms a session is in, so that a new sign-on can join them again.
// The server confirms a join with the room's name and a chat ID only, so the
// exchange asked for is kept from the request and matched by name.
class RoomMemory {
 public:
  // Joined after each sign-on until left.
  void Want(const JoinTarget& room);
  // A join asked of the control: its exchange, for when the server confirms it.
  void Requested(const JoinTarget& room);
  void Joined(std::string_view name, std::int32_t chatId);
  void Left(std::int32_t chatId);
  // In the order of their names as the server compares them.
  std::vector<JoinTarget> Rooms() const;

  // Bounds what a script can make us remember.
  static constexpr std::size_t kMaxRooms = 64;

 private:
  struct Room {
    JoinTarget target;
    std::int32_t chatId = 0;
  };

  std::map<std::string, Room> rooms_;
  std::map<std::string, std::int16_t> requested_;
};

}  // namespace kez::host
