#pragma once

#include <sys/types.h>
#include <optional>
#include <string>
#include <string_view>

namespace reposa::console {

// The password is the first line of the file, without its line ending.
std::string FirstLine(std::string_view content);

// True when group or others may read a file of this mode.
bool ReadableByOthers(mode_t mode);

// Reads the password file; throws std::runtime_error when it cannot be read.
// `warning` receives a text for standard error when the file is readable by
// group or others, and stays empty otherwise.
std::string ReadPasswordFile(const std::string& path, std::string& warning);

// Asks for the password on the terminal `tty` with echo off, after writing
// `prompt` to `out`. Gives up, with the echo restored, when `interruptFd` becomes
// readable (a signal) or the terminal closes: nothing is returned then.
std::optional<std::string> PromptPassword(int tty, int out, std::string_view prompt,
                                          int interruptFd);

}  // namespace reposa::console
