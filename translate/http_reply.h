#pragma once

// Reads one HTTP/1.x reply from the bytes of a connection, fed as they arrive. No I/O: the caller
// owns the socket. Errors are raised as platform::Error with the client's messages.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace translate {

// The longest status or header line a reply may have.
inline constexpr std::size_t kMaxLineBytes = 16384;
// Bounds no real translation reply comes near; they keep a hostile server from growing our
// memory without end.
inline constexpr std::size_t kMaxHeaderBytes = 1u << 20;
inline constexpr std::size_t kMaxBodyBytes = 64u << 20;

class ReplyReader {
 public:
  // Takes more bytes of the reply; returns true once the reply is complete (a body that runs to
  // the end of the connection completes only at Finish). Raises "Max line length exceeded.",
  // "Max header length exceeded.", "Max body length exceeded." or "Invalid chunk size." for
  // replies that cannot be read, and the status line itself for a reply that is not 2xx or
  // carries a "Location" header. Bytes after a complete reply are ignored.
  bool Feed(std::string_view bytes);
  // The connection has closed. Raises "Connection Closed Gracefully." when the reply is not
  // complete, unless its body was one that runs to the close.
  void Finish();

  bool Complete() const { return state_ == State::kDone; }
  // The final reply's status line and headers have all arrived (its body may not have).
  bool HeaderComplete() const { return headerComplete_; }
  const std::string& StatusLine() const { return statusLine_; }
  int Status() const { return status_; }
  // The final reply's header lines as (name, value), in order.
  const std::vector<std::pair<std::string, std::string>>& Headers() const { return headers_; }
  const std::string& Body() const { return body_; }

 private:
  enum class State {
    kStatus,
    kHeaders,
    kBody,
    kChunkSize,
    kChunkData,
    kChunkEnd,
    kTrailers,
    kDone
  };
  enum class Framing { kLength, kChunked, kClose };

  bool TakeLine(std::string& line);
  // The next `bytes` of the buffer have been taken.
  void Consume(std::size_t bytes);
  void OnStatusLine(const std::string& line);
  void OnHeadersDone();
  void AppendBody(std::string_view bytes);

  State state_ = State::kStatus;
  Framing framing_ = Framing::kClose;
  std::string pending_;
  std::size_t offset_ = 0;   // where what waits in pending_ begins
  std::size_t scanned_ = 0;  // how far pending_ was searched for a line's end
  std::size_t headerBytes_ = 0;
  std::string statusLine_;
  int status_ = 0;
  std::vector<std::pair<std::string, std::string>> headers_;
  std::string body_;
  std::size_t remaining_ = 0;
  bool headerComplete_ = false;
};

}  // namespace translate
