#pragma once

// A command's arguments as one value, and the line it sends. Each command of
// KEZ_TOCSOCK_COMMANDS has a struct of the same name in kez::command whose
// members are its parameters, so a rendering (commands.cpp) or a test reads
// them by name: `c.strRoomName`.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "kez/KezTOCSockCommands.h"

namespace kez {

namespace command {
#define KEZ_COMMAND_MEMBER(i, p) KEZ_PARAM_DEFINE(i, p);
#define KEZ_COMMAND_STRUCT(Name, doc, ...)                 \
  struct Name {                                            \
    KEZ_EACH(KEZ_COMMAND_MEMBER, KEZ_NOTHING, __VA_ARGS__) \
  };
KEZ_TOCSOCK_COMMANDS(KEZ_COMMAND_STRUCT)
#undef KEZ_COMMAND_STRUCT
#undef KEZ_COMMAND_MEMBER
}  // namespace command

// The line a command builds. `send` is false where the command rightly sends
// nothing (a room name not in the chat table); the line is still checked, so
// whether an argument is refused never depends on the table.
struct CommandLine {
  std::string text;
  bool send = true;
};

}  // namespace kez
