#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kez::test {

// A FLAP frame as the server would send it.
inline std::string Frame(int type, std::string_view payload, int seq = 0) {
  std::string f;
  f.push_back('*');
  f.push_back(static_cast<char>(type));
  f.push_back(static_cast<char>((seq >> 8) & 0xff));
  f.push_back(static_cast<char>(seq & 0xff));
  f.push_back(static_cast<char>((payload.size() >> 8) & 0xff));
  f.push_back(static_cast<char>(payload.size() & 0xff));
  f.append(payload);
  return f;
}

// A server message in a data frame.
inline std::string Data(std::string_view message, int seq = 0) {
  return Frame(2, message, seq);
}

// The data frame the control sends for a command line: payload plus NUL.
inline std::string Sent(std::string_view line, int seq) {
  std::string payload(line);
  payload.push_back('\0');
  return Frame(2, payload, seq);
}

}  // namespace kez::test
