#include "uilocal/interface_file.h"

#include <zlib.h>

#include <array>
#include <cstring>

#include "platform/ascii.h"
#include "platform/codepage.h"
#include "platform/error.h"

namespace uilocal {
namespace {

std::uint32_t Le32(const char* p) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(p[0])) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(p[1])) << 8 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(p[2])) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(p[3])) << 24;
}

bool IsBlank(char c) {
  const auto b = static_cast<std::uint8_t>(c);
  return b >= 0x01 && b <= 0x20;
}

// The bytes that end an unquoted field: a blank or ";". One look-up per byte of the hot loop.
constexpr auto kEndsField = [] {
  std::array<bool, 256> ends{};
  for (int b = 0x01; b <= 0x20; ++b) ends[static_cast<std::size_t>(b)] = true;
  ends[';'] = true;
  return ends;
}();

// A line as a delimited list: ";" separates, double quotes enclose (two stand for one), and an
// unquoted blank ends a field as ";" does; a ";" as the line's last byte adds an empty field.
class FieldSplitter {
 public:
  explicit FieldSplitter(std::string_view line) : line_(line) { SkipBlanks(); }

  // The next field, viewing the line or, for a quoted field, `scratch`; false when none is left.
  bool Next(std::string_view& field, std::string& scratch) {
    if (emptyPending_) {
      emptyPending_ = false;
      field = {};
      return true;
    }
    if (i_ >= line_.size()) return false;
    if (line_[i_] == '"') {
      ++i_;
      const std::size_t start = i_;
      // Usually the closing quote is the next one: the field is then a view of the line.
      const std::size_t close = line_.find('"', start);
      if (close == std::string_view::npos || close + 1 >= line_.size() || line_[close + 1] != '"') {
        // A quote that is never closed takes the rest of the line.
        const std::size_t stop = close == std::string_view::npos ? line_.size() : close;
        field = line_.substr(start, stop - start);
        i_ = close == std::string_view::npos ? line_.size() : close + 1;
      } else {
        scratch.assign(line_.substr(start, close - start));
        i_ = close;
        while (i_ < line_.size()) {
          if (line_[i_] == '"') {
            if (i_ + 1 < line_.size() && line_[i_ + 1] == '"') {
              scratch += '"';
              i_ += 2;
              continue;
            }
            ++i_;
            break;
          }
          scratch += line_[i_++];
        }
        field = scratch;
      }
    } else {
      const std::size_t start = i_;
      while (i_ < line_.size() && !kEndsField[static_cast<std::uint8_t>(line_[i_])]) ++i_;
      field = line_.substr(start, i_ - start);
    }
    SkipBlanks();
    if (i_ < line_.size() && line_[i_] == ';') {
      emptyPending_ = i_ == line_.size() - 1;
      ++i_;
      SkipBlanks();
    }
    return true;
  }

 private:
  void SkipBlanks() {
    while (i_ < line_.size() && IsBlank(line_[i_])) ++i_;
  }
  std::string_view line_;
  std::size_t i_ = 0;
  bool emptyPending_ = false;
};

// A field read as a signed 32-bit integer: decimal, or hexadecimal after "$" or "0x", with
// optional blanks before it.
std::int32_t ToInteger(std::string_view field) {
  std::string_view s = field;
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  int base = 10;
  if (!s.empty() && s.front() == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() > 1 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  std::int64_t value = 0;
  bool ok = !s.empty();
  for (char c : s) {
    int d = platform::HexDigitValue(c);
    if (d >= base) d = -1;
    if (d < 0 || value > 0x80000000LL) {
      ok = false;
      break;
    }
    value = value * base + d;
  }
  if (negative) value = -value;
  if (!ok || value > 0x7FFFFFFFLL || value < -0x80000000LL) {
    throw platform::Error("'" + std::string(field) + "' is not a valid integer value");
  }
  return static_cast<std::int32_t>(value);
}

[[noreturn]] void IndexOutOfBounds(std::size_t index) {
  throw platform::Error("List index out of bounds (" + std::to_string(index) + ")");
}

}  // namespace

std::uint8_t KeystreamByte(std::uint32_t offset) {
  const auto product = static_cast<std::int32_t>(offset * 871043u);
  const std::int32_t remainder = product % 402817;
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(remainder) & 0xFF);
}

struct ContentDecoder::Inflater {
  z_stream stream{};
  bool ready = false;
  Inflater() { ready = inflateInit2(&stream, -15) == Z_OK; }
  ~Inflater() {
    if (ready) inflateEnd(&stream);
  }
};

ContentDecoder::ContentDecoder() = default;
ContentDecoder::~ContentDecoder() = default;

namespace {
// A length up to this is reserved ahead in one piece; a longer claim (most likely a hostile one)
// has the content grow as it really arrives.
constexpr std::size_t kMaxReserve = 1u << 20;
}  // namespace

bool ContentDecoder::Enough() const {
  if (content_.size() < 4) return false;
  const auto length = static_cast<std::int32_t>(Le32(content_.data()));
  return length < 0 || content_.size() - 4 >= static_cast<std::uint32_t>(length);
}

void ContentDecoder::Stop() {
  state_ = State::kDone;
}

std::uint32_t ContentDecoder::MemberCrc() const {
  const std::size_t length = content_.size() - memberStart_;
  return static_cast<std::uint32_t>(
      crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(content_.data() + memberStart_),
            static_cast<uInt>(length)));
}

bool ContentDecoder::Feed(std::string_view fileBytes) {
  if (state_ == State::kDone) return false;
  // Unscrambled by absolute file offsets, whatever the size of the piece.
  // Every byte's key on its own (a division by a constant, which the compiler makes a
  // multiplication): no chain from one byte to the next, so the loop runs several bytes at once.
  plain_.resize(fileBytes.size());
  const std::uint32_t first = offset_;
  for (std::size_t i = 0; i < fileBytes.size(); ++i) {
    plain_[i] = static_cast<char>(static_cast<std::uint8_t>(fileBytes[i]) ^
                                  KeystreamByte(first + static_cast<std::uint32_t>(i)));
  }
  offset_ += static_cast<std::uint32_t>(fileBytes.size());
  Take(reinterpret_cast<const std::uint8_t*>(plain_.data()), plain_.size());
  return state_ != State::kDone;
}

void ContentDecoder::Inflate(const std::uint8_t*& p, std::size_t& n) {
  z_stream& z = inflater_->stream;
  z.next_in = const_cast<Bytef*>(p);
  z.avail_in = static_cast<uInt>(n);
  constexpr std::size_t kChunk = 65536;
  for (;;) {
    // Straight into the content: it was reserved once its length was known.
    const std::size_t before = content_.size();
    content_.resize(before + kChunk);
    z.next_out = reinterpret_cast<Bytef*>(content_.data() + before);
    z.avail_out = kChunk;
    const int rc = inflate(&z, Z_NO_FLUSH);
    content_.resize(before + kChunk - z.avail_out);
    if (before < 4 && content_.size() >= 4) {
      const auto length = static_cast<std::int32_t>(Le32(content_.data()));
      if (length > 0)
        content_.reserve(4 + std::min<std::size_t>(static_cast<std::size_t>(length), kMaxReserve));
    }
    if (Enough()) break;
    if (rc == Z_STREAM_END) {
      state_ = State::kTrailer;
      field_.clear();
      break;
    }
    if (rc == Z_BUF_ERROR || (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0))
      break;  // wants input
    if (rc != Z_OK) {
      Stop();
      break;
    }
  }
  const std::size_t used = n - z.avail_in;
  p += used;
  n -= used;
}

bool ContentDecoder::Collect(const std::uint8_t*& p, std::size_t& n, std::size_t want) {
  const std::size_t take = std::min(want - field_.size(), n);
  field_.append(reinterpret_cast<const char*>(p), take);
  p += take;
  n -= take;
  return field_.size() == want;
}

void ContentDecoder::StartInflate() {
  if (inflater_ == nullptr) inflater_ = std::make_unique<Inflater>();
  if (!inflater_->ready || inflateReset(&inflater_->stream) != Z_OK) return Stop();
  memberStart_ = content_.size();
  state_ = State::kInflate;
}

// The optional header fields come in this order: extra, name, comment, header CRC.
void ContentDecoder::AfterExtra() {
  (flags_ & kFlagName) ? void(state_ = State::kName) : AfterName();
}
void ContentDecoder::AfterName() {
  (flags_ & kFlagComment) ? void(state_ = State::kComment) : AfterComment();
}
void ContentDecoder::AfterComment() {
  if (flags_ & kFlagHeaderCrc) {
    state_ = State::kHeaderCrc;
    field_.clear();
  } else {
    StartInflate();
  }
}

void ContentDecoder::TakeMagic(const std::uint8_t*& p, std::size_t& n) {
  if (state_ == State::kStart) {
    if (*p != kGzipMagic1) return void(state_ = State::kPlain);
    ++p;
    --n;
    state_ = State::kMagic2;
  } else if (*p == kGzipMagic2) {
    ++p;
    --n;
    state_ = State::kHeader;
    field_.clear();
  } else {
    content_ += static_cast<char>(kGzipMagic1);  // not gzip after all: the first byte was content
    state_ = State::kPlain;
  }
}

void ContentDecoder::TakeHeader(const std::uint8_t*& p, std::size_t& n) {
  switch (state_) {
    case State::kHeader:
      if (!Collect(p, n, 8)) break;
      // Method 8 (deflate), and no reserved flag.
      if (static_cast<std::uint8_t>(field_[0]) != kMethodDeflate ||
          (static_cast<std::uint8_t>(field_[1]) & kReservedFlags)) {
        Stop();
        break;
      }
      flags_ = static_cast<std::uint8_t>(field_[1]);
      field_.clear();
      (flags_ & kFlagExtra) ? void(state_ = State::kExtraLength) : AfterExtra();
      break;
    case State::kExtraLength:
      if (!Collect(p, n, 2)) break;
      need_ = static_cast<std::uint8_t>(field_[0]) |
              static_cast<std::size_t>(static_cast<std::uint8_t>(field_[1])) << 8;
      state_ = State::kExtra;
      break;
    case State::kExtra: {
      const std::size_t skip = std::min(need_, n);
      p += skip;
      n -= skip;
      need_ -= skip;
      if (need_ == 0) AfterExtra();
      break;
    }
    case State::kName:
    case State::kComment: {
      const auto* zero = static_cast<const std::uint8_t*>(std::memchr(p, 0, n));
      if (zero == nullptr) {
        p += n;
        n = 0;
        break;
      }
      n -= static_cast<std::size_t>(zero + 1 - p);
      p = zero + 1;
      state_ == State::kName ? AfterName() : AfterComment();
      break;
    }
    case State::kHeaderCrc:
      if (Collect(p, n, 2)) StartInflate();
      break;
    default:
      break;
  }
}

void ContentDecoder::TakeTrailer(const std::uint8_t*& p, std::size_t& n) {
  if (state_ == State::kTrailer) {
    if (!Collect(p, n, 8)) return;
    // Reached only when the content goes on past this member (a member that completes the text
    // is never checked): a mismatch ends the reading, and what was decompressed is used all
    // the same.
    if (Le32(field_.data()) != MemberCrc() ||
        Le32(field_.data() + 4) != static_cast<std::uint32_t>(content_.size() - memberStart_)) {
      return Stop();
    }
    field_.clear();
    state_ = State::kNextMember;
    return;
  }
  if (!Collect(p, n, 2)) return;
  if (static_cast<std::uint8_t>(field_[0]) == kGzipMagic1 &&
      static_cast<std::uint8_t>(field_[1]) == kGzipMagic2) {
    field_.clear();
    state_ = State::kHeader;
  } else {
    Stop();  // what follows the last member is not read
  }
}

void ContentDecoder::Take(const std::uint8_t* p, std::size_t n) {
  while (n > 0 && state_ != State::kDone) {
    switch (state_) {
      case State::kStart:
      case State::kMagic2:
        TakeMagic(p, n);
        break;
      case State::kInflate:
        Inflate(p, n);
        break;
      case State::kTrailer:
      case State::kNextMember:
        TakeTrailer(p, n);
        break;
      case State::kPlain:
        // At most one piece more than the length asks for; what lies beyond it is never read.
        content_.append(reinterpret_cast<const char*>(p), n);
        n = 0;
        break;
      case State::kDone:
        break;
      default:
        TakeHeader(p, n);
    }
    if (Enough()) state_ = State::kDone;
  }
}

void ParseRecords(std::string_view content, RecordTable& table) {
  table.records.clear();
  table.paths.clear();
  table.texts.clear();
  if (content.size() < 4) return;
  const auto length = static_cast<std::int32_t>(Le32(content.data()));
  if (length < 0) return;
  std::string_view text = content.substr(4, static_cast<std::uint32_t>(length));
  // Content shorter than its length: the text is cut, and a line it ends in is not whole. A NUL
  // ends the text as it ends a whole one, so the line before it is complete.
  bool cut = text.size() < static_cast<std::uint32_t>(length);
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
    text = text.substr(0, nul);
    cut = false;
  }

  // Paths and texts are never longer than the text they come from: storage reserved once never
  // moves, so the records' views into it stay valid.
  table.paths.reserve(text.size());
  table.texts.reserve(text.size());
  std::string scratch;
  const char* p = text.data();
  const char* const end = p + text.size();
  // The next CR and the next LF, each searched for again only once passed.
  const char* nextCr = nullptr;
  const char* nextLf = nullptr;
  auto lineEndFrom = [&](const char* from) {
    if (nextCr < from) {
      nextCr =
          static_cast<const char*>(std::memchr(from, '\r', static_cast<std::size_t>(end - from)));
      if (nextCr == nullptr) nextCr = end;
    }
    if (nextLf < from) {
      nextLf =
          static_cast<const char*>(std::memchr(from, '\n', static_cast<std::size_t>(end - from)));
      if (nextLf == nullptr) nextLf = end;
    }
    return std::min(nextCr, nextLf);
  };
  // Skips the line break at p, if any; the text's last line break adds no line.
  auto nextLine = [&] {
    if (p < end && *p == '\r' && p + 1 < end && p[1] == '\n')
      p += 2;
    else if (p < end)
      ++p;
  };
  while (p < end) {
    const char* lineEnd = lineEndFrom(p);
    // The last line needs no line break, unless the content was cut off in it.
    if (lineEnd == end && cut) break;
    ComponentTrRec& record = table.records.emplace_back();
    FieldSplitter fields(std::string_view(p, static_cast<std::size_t>(lineEnd - p)));
    p = lineEnd;
    nextLine();
    try {
      std::string_view field;
      if (!fields.Next(field, scratch)) IndexOutOfBounds(0);
      const std::size_t pathAt = table.paths.size();
      table.paths.append(field);
      record.ComponentPath = std::string_view(table.paths).substr(pathAt);
      if (!fields.Next(field, scratch)) IndexOutOfBounds(1);
      record.Language = ToInteger(field);
      if (!fields.Next(field, scratch)) IndexOutOfBounds(2);
      const std::size_t textAt = table.texts.size();
      table.texts.resize(textAt + field.size());
      char16_t* out = table.texts.data() + textAt;
      for (char c : field) {
        const auto b = static_cast<std::uint8_t>(c);
        *out++ = static_cast<char16_t>(b >= 0xC0 ? b + 0x350 : b);
      }
      record.Text = std::u16string_view(table.texts).substr(textAt);
    } catch (const platform::Error&) {
      // Every line still has its record: the ones after this stay empty.
      while (p < end) {
        const char* next = lineEndFrom(p);
        if (next == end && cut) break;
        table.records.emplace_back();
        p = next;
        nextLine();
      }
      throw;
    }
  }
}

// Writing: the layers in reverse.

namespace {

void Put32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

}  // namespace

std::string TextFromSource(std::string_view utf8Source) {
  const std::u16string wide = platform::Utf8Decode(utf8Source);
  if (wide.empty() && !utf8Source.empty()) throw platform::Error("The source is not UTF-8");
  std::string text;
  text.reserve(wide.size());
  int line = 1;
  for (char16_t c : wide) {
    if (c == u'\n') ++line;
    if (c < 0x80) {
      text.push_back(static_cast<char>(c));
    } else if (c >= 0x410 && c <= 0x44F) {
      text.push_back(static_cast<char>(c - 0x350));
    } else {
      throw platform::Error(
          "Line " + std::to_string(line) +
          ": only ASCII and the basic Cyrillic letters can be written to the file");
    }
  }
  return text;
}

std::string Content(std::string_view text) {
  std::string out;
  Put32(out, static_cast<std::uint32_t>(text.size()));
  out.append(text);
  return out;
}

std::string RawDeflate(std::string_view bytes) {
  z_stream z{};
  if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw platform::Error("Cannot start compressing");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(bytes.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  if (rc != Z_STREAM_END) throw platform::Error("Cannot compress");
  return out;
}

std::string GzipMember(std::string_view bytes, const MemberOptions& options) {
  // No time, no extra flags, made on Unix.
  std::string out = {static_cast<char>(kGzipMagic1),
                     static_cast<char>(kGzipMagic2),
                     static_cast<char>(kMethodDeflate),
                     static_cast<char>(options.flags),
                     0,
                     0,
                     0,
                     0,
                     0,
                     '\x03'};
  if (options.flags & kFlagExtra) {
    out.push_back(static_cast<char>(options.extra.size() & 0xFF));
    out.push_back(static_cast<char>(options.extra.size() >> 8));
    out += options.extra;
  }
  if (options.flags & kFlagName) out += options.name + '\0';
  if (options.flags & kFlagComment) out += options.comment + '\0';
  if (options.flags & kFlagHeaderCrc) {
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size())));
    out.push_back(static_cast<char>(crc & 0xFF));
    out.push_back(static_cast<char>((crc >> 8) & 0xFF));
  }
  out += RawDeflate(bytes);
  auto crc = static_cast<std::uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
  if (options.corruptCrc) ++crc;
  Put32(out, crc);
  Put32(out, static_cast<std::uint32_t>(bytes.size()));
  return out;
}

std::string Scramble(std::string_view bytes, std::uint32_t firstOffset) {
  std::string out(bytes);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char>(static_cast<std::uint8_t>(out[i]) ^
                               uilocal::KeystreamByte(firstOffset + static_cast<std::uint32_t>(i)));
  }
  return out;
}

std::string InterfaceFile(std::string_view text) {
  return Scramble(GzipMember(Content(text)));
}

}  // namespace uilocal
