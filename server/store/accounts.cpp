#include "store/accounts.h"

#include <sys/stat.h>

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "service/names.h"

namespace reposa::server {

std::vector<AccountEntry> ParseAccounts(std::string_view text, std::string_view fileName,
                                        const Limits& limits) {
  std::vector<AccountEntry> entries;
  std::set<std::string> seen;
  std::size_t lineNumber = 0;
  auto fail = [&](std::string_view why) {
    throw std::runtime_error(std::string(fileName) + ":" + std::to_string(lineNumber) + ": " +
                             std::string(why));
  };
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (TrimSpaces(line).empty() || TrimSpaces(line).front() == '#') continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) fail("expected screenname:password");
    const std::string_view name = TrimSpaces(line.substr(0, colon));
    const std::string_view password = line.substr(colon + 1);
    if (!IsValidScreenName(name, limits))
      fail("not a valid screen name (letters, digits, spaces and . _ @ -)");
    if (!IsValidPassword(password, limits))
      fail("the password must be 1 to " + std::to_string(limits.maxPassword) +
           " bytes without control characters");
    if (!seen.insert(NormalizeName(name)).second) fail("screen name listed twice");
    entries.push_back(AccountEntry{std::string(name), std::string(password)});
  }
  return entries;
}

std::vector<AccountEntry> LoadAccounts(const std::string& path, const Limits& limits) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read accounts file " + path);
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw std::runtime_error("cannot read accounts file " + path);
  return ParseAccounts(text.str(), path, limits);
}

bool AccessibleByOthers(const std::string& path, unsigned& mode) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  mode = st.st_mode & 07777;
  return (st.st_mode & (S_IRWXG | S_IRWXO)) != 0;
}

}  // namespace reposa::server
