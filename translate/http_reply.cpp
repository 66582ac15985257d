#include "translate/http_reply.h"

#include <algorithm>
#include <cctype>

#include "platform/ascii.h"
#include "platform/error.h"

namespace translate {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

}  // namespace

// A line ends at LF; a CR before it is dropped.
bool ReplyReader::TakeLine(std::string& line) {
  // Bytes already searched are not searched again, and taken lines are not cut off the buffer
  // one by one: a reply costs linear time however it arrives.
  const std::size_t lf = pending_.find('\n', scanned_);
  if (lf == std::string::npos) {
    scanned_ = pending_.size();
    const bool endsInCr = pending_.size() > offset_ && pending_.back() == '\r';
    if (pending_.size() - offset_ - (endsInCr ? 1 : 0) > kMaxLineBytes) {
      throw platform::Error("Max line length exceeded.");
    }
    return false;
  }
  std::size_t end = lf;
  if (end > offset_ && pending_[end - 1] == '\r') --end;
  if (end - offset_ > kMaxLineBytes) throw platform::Error("Max line length exceeded.");
  line.assign(pending_, offset_, end - offset_);
  if (state_ == State::kStatus || state_ == State::kHeaders || state_ == State::kTrailers) {
    headerBytes_ += lf + 1 - offset_;
    if (headerBytes_ > kMaxHeaderBytes) throw platform::Error("Max header length exceeded.");
  }
  Consume(lf + 1 - offset_);
  return true;
}

void ReplyReader::Consume(std::size_t bytes) {
  offset_ += bytes;
  scanned_ = offset_;
}

void ReplyReader::OnStatusLine(const std::string& line) {
  statusLine_ = line;
  headers_.clear();
  status_ = 0;
  // "HTTP/1.x NNN reason"
  const std::size_t space = line.find(' ');
  if (line.rfind("HTTP/1.", 0) == 0 && space != std::string::npos && line.size() >= space + 4) {
    const std::string code = line.substr(space + 1, 3);
    if (std::isdigit(static_cast<unsigned char>(code[0])) &&
        std::isdigit(static_cast<unsigned char>(code[1])) &&
        std::isdigit(static_cast<unsigned char>(code[2]))) {
      status_ = std::stoi(code);
    }
  }
  state_ = State::kHeaders;
}

void ReplyReader::OnHeadersDone() {
  if (status_ == 100) {  // an interim reply: the real one follows
    state_ = State::kStatus;
    return;
  }
  headerComplete_ = true;
  bool hasLocation = false;
  bool chunked = false;
  std::string length;
  for (const auto& [name, value] : headers_) {
    if (platform::SameIgnoringCase(name, "Location")) hasLocation = true;
    if (platform::SameIgnoringCase(name, "Transfer-Encoding") &&
        value.find("chunked") != std::string::npos) {
      chunked = true;
    }
    if (platform::SameIgnoringCase(name, "Content-Length")) length = value;
  }
  // A shared service's limits are the user's to act on, so they are said in words; any other
  // refusal is told by its status line.
  if (status_ == 401) {
    throw platform::Error("The translation service wants a key: set WebApiKey in parlavant.ini.");
  }
  if (status_ == 403) {
    throw platform::Error("The translation service refused the key (WebApiKey in parlavant.ini).");
  }
  if (status_ == 413) {
    throw platform::Error("The message is too long for the translation service.");
  }
  if (status_ == 429) {
    std::string wait;
    for (const auto& [name, value] : headers_) {
      if (!platform::SameIgnoringCase(name, "Retry-After")) continue;
      const std::string& seconds = value;
      if (!seconds.empty() && seconds.size() <= 6 &&
          std::all_of(seconds.begin(), seconds.end(),
                      [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        wait = " in " + std::to_string(std::stoi(seconds)) + " s";
      }
    }
    throw platform::Error("The translation service has had too many requests; try again" +
                          (wait.empty() ? std::string(" in a moment") : wait) + ".");
  }
  if (status_ < 200 || status_ > 299 || hasLocation) throw platform::Error(statusLine_);
  if (chunked) {
    framing_ = Framing::kChunked;
    state_ = State::kChunkSize;
  } else if (!length.empty()) {
    std::size_t n = 0;
    for (char c : length) {
      if (!std::isdigit(static_cast<unsigned char>(c))) {
        throw platform::Error("Invalid Content-Length: " + length);
      }
      n = n * 10 + static_cast<std::size_t>(c - '0');
      if (n > kMaxBodyBytes) throw platform::Error("Max body length exceeded.");
    }
    framing_ = Framing::kLength;
    remaining_ = n;
    state_ = n == 0 ? State::kDone : State::kBody;
  } else {
    framing_ = Framing::kClose;
    state_ = State::kBody;
  }
}

void ReplyReader::AppendBody(std::string_view bytes) {
  if (body_.size() + bytes.size() > kMaxBodyBytes)
    throw platform::Error("Max body length exceeded.");
  body_.append(bytes);
}

bool ReplyReader::Feed(std::string_view bytes) {
  if (state_ == State::kDone) return true;
  // What was taken goes before the buffer grows, so it never holds more than twice what waits.
  if (offset_ > 0 && offset_ >= pending_.size() / 2) {
    pending_.erase(0, offset_);
    scanned_ -= offset_;
    offset_ = 0;
  }
  pending_.append(bytes);
  std::string line;
  for (;;) {
    switch (state_) {
      case State::kStatus:
        if (!TakeLine(line)) return false;
        if (line.empty()) continue;  // stray blank lines before a reply
        OnStatusLine(line);
        break;
      case State::kHeaders:
      case State::kTrailers: {
        if (!TakeLine(line)) return false;
        if (line.empty()) {
          if (state_ == State::kTrailers) {
            state_ = State::kDone;
          } else {
            OnHeadersDone();
          }
          break;
        }
        if (state_ == State::kTrailers) break;
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) break;  // not a header: ignored
        headers_.emplace_back(line.substr(0, colon),
                              std::string(Trim(std::string_view(line).substr(colon + 1))));
        break;
      }
      case State::kBody:
        if (framing_ == Framing::kClose) {
          AppendBody(std::string_view(pending_).substr(offset_));
          Consume(pending_.size() - offset_);
          return false;
        }
        [[fallthrough]];
      case State::kChunkData: {
        const std::size_t take = std::min(remaining_, pending_.size() - offset_);
        AppendBody(std::string_view(pending_).substr(offset_, take));
        Consume(take);
        remaining_ -= take;
        if (remaining_ > 0) return false;
        state_ = state_ == State::kBody ? State::kDone : State::kChunkEnd;
        break;
      }
      case State::kChunkSize: {
        if (!TakeLine(line)) return false;
        std::string_view size = Trim(std::string_view(line).substr(0, line.find(';')));
        if (size.empty()) throw platform::Error("Invalid chunk size.");
        std::size_t n = 0;
        for (char c : size) {
          const int d = platform::HexDigitValue(c);
          if (d < 0) throw platform::Error("Invalid chunk size.");
          n = n * 16 + static_cast<std::size_t>(d);
          if (n > kMaxBodyBytes) throw platform::Error("Max body length exceeded.");
        }
        remaining_ = n;
        state_ = n == 0 ? State::kTrailers : State::kChunkData;
        break;
      }
      case State::kChunkEnd:
        if (!TakeLine(line)) return false;
        state_ = State::kChunkSize;
        break;
      case State::kDone:
        return true;
    }
  }
}

void ReplyReader::Finish() {
  if (state_ == State::kDone) return;
  if (state_ == State::kBody && framing_ == Framing::kClose) {
    state_ = State::kDone;
    return;
  }
  throw platform::Error("Connection Closed Gracefully.");
}

}  // namespace translate
