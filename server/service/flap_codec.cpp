#include "service/flap_codec.h"

#include <algorithm>

namespace reposa::server {

void FlapReader::Feed(std::string_view bytes) {
  if (status_ != Status::Ok) return;
  // Drop what has been handed out before growing, so the buffer stays near
  // one frame's size however long the connection lives.
  if (pos_ > 0 && pos_ >= buffer_.size() / 2) {
    buffer_.erase(0, pos_);
    pos_ = 0;
  }
  buffer_.append(bytes);
}

std::optional<Frame> FlapReader::Next() {
  if (status_ != Status::Ok) return std::nullopt;
  std::string_view rest(buffer_);
  rest.remove_prefix(pos_);
  if (!opened_) {
    // Garbage is refused as soon as it differs from the opening, not only
    // once eight bytes have come.
    const std::size_t n = std::min(rest.size(), kFlapOn.size());
    if (rest.substr(0, n) != kFlapOn.substr(0, n)) {
      status_ = Status::BadOpening;
      return std::nullopt;
    }
    if (n < kFlapOn.size()) return std::nullopt;
    opened_ = true;
    pos_ += kFlapOn.size();
    rest.remove_prefix(kFlapOn.size());
  }
  if (rest.empty()) return std::nullopt;
  if (rest[0] != '*') {
    status_ = Status::BadMarker;
    return std::nullopt;
  }
  if (rest.size() < kFlapHeader) return std::nullopt;
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(rest[i]); };
  const std::size_t length = static_cast<std::size_t>(byte(4)) << 8 | byte(5);
  if (rest.size() < kFlapHeader + length) return std::nullopt;
  Frame frame;
  frame.type = byte(1);
  frame.payload = rest.substr(kFlapHeader, length);
  pos_ += kFlapHeader + length;
  return frame;
}

std::optional<std::string> FlapWriter::Encode(FrameType type, std::string_view payload) {
  if (payload.size() > kMaxFlapPayload) return std::nullopt;
  std::string frame;
  frame.reserve(kFlapHeader + payload.size());
  frame.push_back('*');
  frame.push_back(static_cast<char>(type));
  frame.push_back(static_cast<char>(sequence_ >> 8));
  frame.push_back(static_cast<char>(sequence_ & 0xff));
  frame.push_back(static_cast<char>(payload.size() >> 8));
  frame.push_back(static_cast<char>(payload.size() & 0xff));
  frame.append(payload);
  ++sequence_;  // wraps from 65535 to 0
  return frame;
}

}  // namespace reposa::server
