#include "service/profile_page.h"

namespace reposa::server {

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '-' ||
        b == '.' || b == '_' || b == '~') {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    }
  }
  return out;
}

std::string ProfileUrl(const OnlineUser& user, std::int64_t now) {
  std::string html = "<html><body><b>Username:</b> " + user.display() +
                     "<br><b>Warning Level:</b> " + std::to_string(user.warning) +
                     "%<br><b>Online Time:</b> " + std::to_string((now - user.signOnTime) / 60) +
                     " minutes";
  if (user.idleSince)
    html += "<br><b>Idle:</b> " + std::to_string((now - user.idleSince) / 60) + " minutes";
  if (!user.away.empty()) html += "<br><b>Away:</b> " + user.away;
  html += "<hr>" + user.profile + "</body></html>";
  return "data:text/html;charset=utf-8," + PercentEncode(html);
}

}  // namespace reposa::server
