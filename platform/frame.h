#pragma once

// The frames that processes of a socket desktop exchange. Every connection carries a stream of
//   type    u32 little-endian  (kSend, kNotify or kReply)
//   length  u32 little-endian  (bytes of payload that follow)
//   payload
// A kSend or kNotify payload is a fixed 48-byte head, then the copied bytes when flag bit 0 says
// the message carries WM_COPYDATA data:
//   seq u64 | window u64 | msg u32 | flags u32 | wParam u64 | lParam i64 | dwData u64 | bytes...
// The copy-data flag is set exactly when msg is WM_COPYDATA, which only a kSend may carry.
// A kReply payload is exactly: seq u64 | result i64.
// Requests are answered on the connection they came in on; seq pairs a reply with its request.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/desktop.h"

namespace platform::wire {

enum class FrameType : std::uint32_t { kSend = 1, kNotify = 2, kReply = 3 };

inline constexpr std::size_t kFrameHeadBytes = 8;
inline constexpr std::size_t kMessageHeadBytes = 48;
inline constexpr std::size_t kReplyBytes = 16;
inline constexpr std::size_t kMaxPayloadBytes = kMessageHeadBytes + kMaxCopyDataBytes;
inline constexpr std::uint32_t kFlagCopyData = 1;

struct Frame {
  FrameType type = FrameType::kReply;
  std::uint64_t seq = 0;
  // kSend and kNotify only.
  std::uint64_t window = 0;
  std::uint32_t msg = 0;
  bool hasCopyData = false;
  std::uint64_t wParam = 0;
  std::int64_t lParam = 0;
  std::uint64_t dwData = 0;
  std::string data;
  // kReply only.
  std::int64_t result = 0;
};

// Serialises a frame. Data longer than kMaxCopyDataBytes must be refused by the caller.
std::string Encode(const Frame& frame);

// Cuts frames out of a byte stream that arrives in pieces of any size. No I/O.
class FrameReader {
 public:
  enum class Status { kNeedMore, kFrame, kBad };

  void Append(std::string_view bytes);
  // kFrame: one frame was taken off the stream into `out`. kNeedMore: no whole frame yet.
  // kBad: the stream holds an impossible frame (unknown type, a length beyond the bound or not
  // fitting its type, unknown flags, WM_COPYDATA without its data or in a notification, data on
  // another message); it stays bad, and the connection should be closed.
  Status Next(Frame& out);
  std::size_t Buffered() const { return buffer_.size() - offset_; }

 private:
  std::string buffer_;
  std::size_t offset_ = 0;
  bool bad_ = false;
};

}  // namespace platform::wire
