#include "platform/frame.h"

#include <cstring>

namespace platform::wire {
namespace {

void Put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void Put64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
std::uint32_t Get32(const char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}
std::uint64_t Get64(const char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

}  // namespace

std::string Encode(const Frame& frame) {
  std::string out;
  if (frame.type == FrameType::kReply) {
    out.reserve(kFrameHeadBytes + kReplyBytes);
    Put32(out, static_cast<std::uint32_t>(frame.type));
    Put32(out, kReplyBytes);
    Put64(out, frame.seq);
    Put64(out, static_cast<std::uint64_t>(frame.result));
    return out;
  }
  const std::size_t dataBytes = frame.hasCopyData ? frame.data.size() : 0;
  out.reserve(kFrameHeadBytes + kMessageHeadBytes + dataBytes);
  Put32(out, static_cast<std::uint32_t>(frame.type));
  Put32(out, static_cast<std::uint32_t>(kMessageHeadBytes + dataBytes));
  Put64(out, frame.seq);
  Put64(out, frame.window);
  Put32(out, frame.msg);
  Put32(out, frame.hasCopyData ? kFlagCopyData : 0);
  Put64(out, frame.wParam);
  Put64(out, static_cast<std::uint64_t>(frame.lParam));
  Put64(out, frame.dwData);
  if (frame.hasCopyData) out.append(frame.data);
  return out;
}

void FrameReader::Append(std::string_view bytes) {
  if (bad_) return;
  // Drop what was consumed before growing, so a long-lived connection does not keep every
  // byte it ever received.
  if (offset_ > 0 && offset_ >= buffer_.size() / 2) {
    buffer_.erase(0, offset_);
    offset_ = 0;
  }
  buffer_.append(bytes);
}

FrameReader::Status FrameReader::Next(Frame& out) {
  if (bad_) return Status::kBad;
  const std::size_t available = buffer_.size() - offset_;
  if (available < kFrameHeadBytes) return Status::kNeedMore;
  const char* head = buffer_.data() + offset_;
  const std::uint32_t type = Get32(head);
  const std::uint32_t length = Get32(head + 4);
  // Judge the head before waiting for the payload: a lying length must not make us buffer it.
  bool fits = false;
  if (type == static_cast<std::uint32_t>(FrameType::kReply)) {
    fits = length == kReplyBytes;
  } else if (type == static_cast<std::uint32_t>(FrameType::kSend) ||
             type == static_cast<std::uint32_t>(FrameType::kNotify)) {
    fits = length >= kMessageHeadBytes && length <= kMaxPayloadBytes;
  }
  if (!fits) {
    bad_ = true;
    return Status::kBad;
  }
  if (available - kFrameHeadBytes < length) return Status::kNeedMore;

  const char* p = head + kFrameHeadBytes;
  Frame frame;
  frame.type = static_cast<FrameType>(type);
  frame.seq = Get64(p);
  if (frame.type == FrameType::kReply) {
    frame.result = static_cast<std::int64_t>(Get64(p + 8));
  } else {
    frame.window = Get64(p + 8);
    frame.msg = Get32(p + 16);
    const std::uint32_t flags = Get32(p + 20);
    const bool copyData = (flags & kFlagCopyData) != 0;
    // The receiver hands a WM_COPYDATA's lParam to a window procedure as a pointer, so that
    // message is only ever built locally from carried bytes: one that carries none (a peer's
    // integer in its place) or comes as a notification is refused, and so is data on any other
    // message.
    const bool isCopyData = frame.msg == kWmCopyData;
    if ((flags & ~kFlagCopyData) != 0 || (!copyData && length != kMessageHeadBytes) ||
        copyData != isCopyData || (isCopyData && frame.type == FrameType::kNotify)) {
      bad_ = true;
      return Status::kBad;
    }
    frame.hasCopyData = copyData;
    frame.wParam = Get64(p + 24);
    frame.lParam = static_cast<std::int64_t>(Get64(p + 32));
    frame.dwData = Get64(p + 40);
    frame.data.assign(p + kMessageHeadBytes, length - kMessageHeadBytes);
  }
  offset_ += kFrameHeadBytes + length;
  if (offset_ == buffer_.size()) {
    buffer_.clear();
    offset_ = 0;
  }
  out = std::move(frame);
  return Status::kFrame;
}

}  // namespace platform::wire
