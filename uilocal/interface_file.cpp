#include "uilocal/interface_file.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// The first byte from p on that `Match` picks, or `end`. Sixteen bytes at a time where the
// processor has SSE2 (every x86-64 does): lines and fields are a few dozen bytes, too short for a
// library call per search to pay, long enough for a byte loop to dominate the load.
template <typename Match>
const char* FindFirst(const char* p, const char* end) {
#ifdef __SSE2__
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int mask = _mm_movemask_epi8(Match::Vector(v));
    if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask));
    p += 16;
  }
#endif
  while (p < end && !Match::Byte(*p)) ++p;
  return p;
}

struct LineBreak {
  static bool Byte(char c) { return c == '\r' || c == '\n'; }
#ifdef __SSE2__
  static __m128i Vector(__m128i v) {
    return _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')),
                        _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
  }
#endif
};

// What ends an unquoted field: a blank (0x01-0x20) or ";". A NUL ends the text before any field
// is split, so "0x20 or below" serves, and it stops the quick path at a NUL as well.
struct FieldEnd {
  static bool Byte(char c) { return static_cast<std::uint8_t>(c) <= 0x20 || c == ';'; }
#ifdef __SSE2__
  static __m128i Vector(__m128i v) {
    const __m128i blank = _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x20)), v);
    return _mm_or_si128(blank, _mm_cmpeq_epi8(v, _mm_set1_epi8(';')));
  }
#endif
};

struct Quote {
  static bool Byte(char c) { return c == '"'; }
#ifdef __SSE2__
  static __m128i Vector(__m128i v) {
    return _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  }
#endif
};

// Also stops at a NUL, which the quick path must not read past (see ParseRecords).
struct QuoteOrLineBreak {
  static bool Byte(char c) { return c == '"' || c == '\r' || c == '\n' || c == '\0'; }
#ifdef __SSE2__
  static __m128i Vector(__m128i v) {
    return _mm_or_si128(_mm_or_si128(Quote::Vector(v), LineBreak::Vector(v)),
                        _mm_cmpeq_epi8(v, _mm_setzero_si128()));
  }
#endif
};

// The text widened by CyrillicToWide, into `out`. Where the text goes on for sixteen bytes past
// what is widened, and `out` has room for sixteen units past it, sixteen at a time.
void Widen(std::string_view field, char16_t* out, const char* textEnd, bool roomAfter) {
  std::size_t k = 0;
#ifdef __SSE2__
  if (roomAfter) {
    for (; k < field.size() && field.data() + k + 16 <= textEnd; k += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(field.data() + k));
      for (int half = 0; half < 2; ++half) {
        const __m128i wide = half == 0 ? _mm_unpacklo_epi8(v, _mm_setzero_si128())
                                       : _mm_unpackhi_epi8(v, _mm_setzero_si128());
        const __m128i cyrillic = _mm_cmpgt_epi16(wide, _mm_set1_epi16(0xBF));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k + 8 * half),
                         _mm_add_epi16(wide, _mm_and_si128(cyrillic, _mm_set1_epi16(0x350))));
      }
    }
    if (k >= field.size()) return;
  }
#endif
  for (; k < field.size(); ++k) {
    const auto b = static_cast<std::uint8_t>(field[k]);
    out[k] = static_cast<char16_t>(b >= 0xC0 ? b + 0x350 : b);
  }
}

// Nearly every line of a real file reads `path;language;"text"` and a line break, with no blank,
// no doubled quote and a plain decimal language. Such a line is read here in one pass, and p
// moved past its line break; any other line (or the text's last) is left, untouched, to the
// general reading, which gives the same record for a line of this shape.
bool ReadPlainLine(const char*& p, const char* end, ComponentTrRec& record, char16_t* text) {
  const char* semicolon = FindFirst<FieldEnd>(p, end);
  if (semicolon == end || *semicolon != ';' || *p == '"') return false;
  const char* q = semicolon + 1;
  std::int32_t language = 0;
  const char* digits = q;
  while (q < end && *q >= '0' && *q <= '9' && q - digits < 9)
    language = language * 10 + (*q++ - '0');
  if (q == digits || q + 1 >= end || *q != ';' || q[1] != '"') return false;
  const char* open = q + 1;
  const char* close = FindFirst<QuoteOrLineBreak>(open + 1, end);
  if (close + 1 >= end || *close != '"' || (close[1] != '\r' && close[1] != '\n')) return false;
  record.ComponentPath = std::string_view(p, static_cast<std::size_t>(semicolon - p));
  record.Language = language;
  const std::string_view field(open + 1, static_cast<std::size_t>(close - open - 1));
  Widen(field, text, end, true);
  record.Text = std::u16string_view(text, field.size());
  p = close + (close[1] == '\r' && close + 2 < end && close[2] == '\n' ? 3 : 2);
  return true;
}

// A line as a delimited list: ";" separates, double quotes enclose (two stand for one), and an
// unquoted blank ends a field as ";" does; a ";" as the line's last byte adds an empty field.
class FieldSplitter {
 public:
  // `line` lies in a text that goes on to `textEnd`; `nextQuote` caches the text's next quote
  // across the lines, so that a quote left open on many lines is not searched for again on each.
  FieldSplitter(std::string_view line, const char* textEnd, const char*& nextQuote)
      : line_(line), textEnd_(textEnd), nextQuote_(nextQuote) {
    SkipBlanks();
  }

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
      const std::size_t close = QuoteFrom(start);
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
      // Searching on past the line is safe and finds its end at the latest: a line ends in a
      // line break, which ends a field too, or at the end of the text.
      const char* from = line_.data() + i_;
      const char* stop = std::min(FindFirst<FieldEnd>(from, textEnd_), line_.data() + line_.size());
      field = std::string_view(from, static_cast<std::size_t>(stop - from));
      i_ += field.size();
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
  // The line's next quote at or after `from`, or npos.
  std::size_t QuoteFrom(std::size_t from) {
    const char* at = line_.data() + from;
    if (nextQuote_ < at) nextQuote_ = FindFirst<Quote>(at, textEnd_);
    const auto offset = static_cast<std::size_t>(nextQuote_ - line_.data());
    return offset < line_.size() ? offset : std::string_view::npos;
  }
  void SkipBlanks() {
    while (i_ < line_.size() && IsBlank(line_[i_])) ++i_;
  }
  std::string_view line_;
  const char* textEnd_;
  const char*& nextQuote_;
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

ByteBuffer::~ByteBuffer() {
  std::free(data_);
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void ByteBuffer::Reserve(std::size_t capacity) {
  if (capacity <= capacity_) return;
  void* grown = std::realloc(data_, capacity);
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(grown);
  capacity_ = capacity;
}

char* ByteBuffer::Extend(std::size_t n) {
  if (capacity_ - size_ < n) Reserve(std::max(size_ + n, capacity_ * 2));
  return data_ + size_;
}

void ByteBuffer::Append(std::string_view bytes) {
  if (bytes.empty()) return;
  std::memcpy(Extend(bytes.size()), bytes.data(), bytes.size());
  Commit(bytes.size());
}

std::uint8_t KeystreamByte(std::uint32_t offset) {
  // P rem 402817 with P signed is -(|P| mod 402817) for a negative P; |P| mod 402817 is taken by
  // multiplying with 2^50 / 402817 rounded up, exact for every |P| up to 2^31 (checked over all
  // 2^32 offsets). Unsigned 32x32-bit products only, which the loops below run several at once.
  const std::uint32_t product = offset * 871043u;
  const std::uint32_t negative = product >> 31;
  const std::uint32_t magnitude = negative != 0 ? 0u - product : product;
  const auto quotient =
      static_cast<std::uint32_t>((static_cast<std::uint64_t>(magnitude) * 2795065519u) >> 50);
  const std::uint32_t remainder = magnitude - quotient * 402817u;
  return static_cast<std::uint8_t>(negative != 0 ? 0u - remainder : remainder);
}

struct ContentDecoder::Inflater {
  z_stream stream{};
  bool ready = false;
  Inflater() { ready = inflateInit2(&stream, -15) == Z_OK; }
  ~Inflater() {
    if (ready) inflateEnd(&stream);
  }
};

namespace {

constexpr std::uint32_t kKeyMultiplier = 871043;
constexpr std::int32_t kKeyDivisor = 402817;
// 2^32 mod the divisor: what a product's wrap past 2^32 takes off its remainder.
constexpr std::int32_t kWrapRemainder = static_cast<std::int32_t>((1ull << 32) % kKeyDivisor);

// XORs n bytes with the keystream from offset `first` on.
//
// Sixteen keys at once, with SSE2: each lane keeps the unsigned product T = offset * 871043 and
// T mod 402817, and steps both sixteen offsets on by additions alone (taking 2^32 mod 402817 off
// when T wraps). The signed remainder is then T's own for T below 2^31, and minus the remainder
// of 2^32 - T, which is (2^32 mod 402817) - (T mod 402817), otherwise.
void ApplyKeystream(const char* in, char* out, std::size_t n, std::uint32_t first) {
  std::size_t i = 0;
#ifdef __SSE2__
  if (n >= 16) {
    constexpr std::uint32_t kStep = 16 * kKeyMultiplier;
    constexpr auto kStepRemainder = static_cast<std::int32_t>(kStep % kKeyDivisor);
    const __m128i step = _mm_set1_epi32(static_cast<int>(kStep));
    const __m128i stepRemainder = _mm_set1_epi32(kStepRemainder);
    const __m128i divisor = _mm_set1_epi32(kKeyDivisor);
    const __m128i divisorLess1 = _mm_set1_epi32(kKeyDivisor - 1);
    const __m128i wrap = _mm_set1_epi32(kWrapRemainder);
    const __m128i signBit = _mm_set1_epi32(static_cast<int>(0x80000000u));
    const __m128i lowByte = _mm_set1_epi32(0xFF);
    __m128i product[4], remainder[4];
    for (int v = 0; v < 4; ++v) {
      alignas(16) std::uint32_t t[4], r[4];
      for (int lane = 0; lane < 4; ++lane) {
        t[lane] = (first + static_cast<std::uint32_t>(4 * v + lane)) * kKeyMultiplier;
        r[lane] = t[lane] % static_cast<std::uint32_t>(kKeyDivisor);
      }
      product[v] = _mm_load_si128(reinterpret_cast<const __m128i*>(t));
      remainder[v] = _mm_load_si128(reinterpret_cast<const __m128i*>(r));
    }
    for (; i + 16 <= n; i += 16) {
      __m128i keys[4];
      for (int v = 0; v < 4; ++v) {
        // Negative as a signed product: the key is -((wrap - r) mod divisor).
        const __m128i negative = _mm_srai_epi32(product[v], 31);
        __m128i y = _mm_sub_epi32(wrap, remainder[v]);
        y = _mm_add_epi32(y, _mm_and_si128(_mm_srai_epi32(y, 31), divisor));
        const __m128i key =
            _mm_or_si128(_mm_andnot_si128(negative, remainder[v]),
                         _mm_and_si128(negative, _mm_sub_epi32(_mm_setzero_si128(), y)));
        keys[v] = _mm_and_si128(key, lowByte);
        // On sixteen offsets.
        const __m128i next = _mm_add_epi32(product[v], step);
        // Wrapped past 2^32: the sum is below the step, compared unsigned.
        const __m128i wrapped =
            _mm_cmpgt_epi32(_mm_xor_si128(step, signBit), _mm_xor_si128(next, signBit));
        __m128i r = _mm_add_epi32(remainder[v], stepRemainder);
        r = _mm_sub_epi32(r, _mm_and_si128(_mm_cmpgt_epi32(r, divisorLess1), divisor));
        r = _mm_sub_epi32(r, _mm_and_si128(wrapped, wrap));
        r = _mm_add_epi32(r, _mm_and_si128(_mm_srai_epi32(r, 31), divisor));
        product[v] = next;
        remainder[v] = r;
      }
      const __m128i bytes =
          _mm_packus_epi16(_mm_packs_epi32(keys[0], keys[1]), _mm_packs_epi32(keys[2], keys[3]));
      const __m128i data = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_xor_si128(data, bytes));
    }
  }
#endif
  for (; i < n; ++i) {
    out[i] = static_cast<char>(static_cast<std::uint8_t>(in[i]) ^
                               KeystreamByte(first + static_cast<std::uint32_t>(i)));
  }
}

}  // namespace

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
  plain_.resize(fileBytes.size());
  ApplyKeystream(fileBytes.data(), plain_.data(), fileBytes.size(), offset_);
  offset_ += static_cast<std::uint32_t>(fileBytes.size());
  Take(reinterpret_cast<const std::uint8_t*>(plain_.data()), plain_.size());
  return state_ != State::kDone;
}

// The content's length is believed up to a point: a claim up to kMaxReserve is reserved at once,
// and beyond that the room grows eightfold while the claim goes further, so that a real file's
// content is copied at most once on the way, and a false claim never has more reserved than
// eight times what really came.
void ContentDecoder::ReserveAhead() {
  if (content_.size() < 4) return;
  const auto length = static_cast<std::int32_t>(Le32(content_.data()));
  if (length <= 0) return;
  const std::size_t claimed = 4 + static_cast<std::size_t>(length);
  const std::size_t have = content_.size();
  if (claimed > have) content_.Reserve(std::min(claimed, std::max(kMaxReserve, have * 8)));
}

void ContentDecoder::Inflate(const std::uint8_t*& p, std::size_t& n) {
  z_stream& z = inflater_->stream;
  z.next_in = const_cast<Bytef*>(p);
  z.avail_in = static_cast<uInt>(n);
  constexpr std::size_t kChunk = 65536;
  for (;;) {
    // Straight into the content, into the room reserved for it.
    const std::size_t before = content_.size();
    if (content_.capacity() == before) ReserveAhead();
    const std::size_t room = content_.capacity() - before;
    // All the room at once: zlib keeps a copy of the last 32 KiB of output whenever a call ends
    // before the stream does, and the fewer calls, the fewer copies.
    const std::size_t chunk = room > 0 ? room : kChunk;
    z.next_out = reinterpret_cast<Bytef*>(content_.Extend(chunk));
    z.avail_out = static_cast<uInt>(chunk);
    const int rc = inflate(&z, Z_NO_FLUSH);
    content_.Commit(chunk - z.avail_out);
    if (before < 4 && content_.size() >= 4) ReserveAhead();
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
    // Not gzip after all: the first byte was content.
    const char first = static_cast<char>(kGzipMagic1);
    content_.Append(std::string_view(&first, 1));
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
        content_.Append(std::string_view(reinterpret_cast<const char*>(p), n));
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
  ByteBuffer copy;
  copy.Append(content);
  ParseRecords(std::move(copy), table);
}

void ParseRecords(ByteBuffer content, RecordTable& table) {
  table.records.clear();
  table.paths.clear();
  table.texts.reset();
  table.content = std::move(content);
  const std::string_view all = table.content.View();
  if (all.size() < 4) return;
  const auto length = static_cast<std::int32_t>(Le32(all.data()));
  if (length < 0) return;
  const std::string_view text = all.substr(4, static_cast<std::uint32_t>(length));
  // Content shorter than its length: the text is cut, and a line it ends in is not whole.
  bool cut = text.size() < static_cast<std::uint32_t>(length);

  // Unquoted paths are views of the content the table keeps. Unquoted paths and texts are never
  // longer than the text they come from: storage reserved once never moves, so the records'
  // views into it stay valid.
  table.paths.reserve(text.size());
  // Room past the end for widening sixteen units at a time.
  table.texts = std::make_unique_for_overwrite<char16_t[]>(text.size() + 16);
  char16_t* const texts = table.texts.get();
  std::size_t textsUsed = 0;
  std::string scratch;
  const char* p = text.data();
  const char* end = p + text.size();
  // A NUL ends the text as it ends a whole one, so the line before it is complete. It is looked
  // for only once a line is not of the common shape: the quick path stops at a NUL too, so no
  // line it reads lies past one, and a file without one is not searched twice.
  bool nulSought = false;
  const char* nextQuote = nullptr;
  // Skips the line break at p, if any; the text's last line break adds no line.
  auto nextLine = [&] {
    if (p < end && *p == '\r' && p + 1 < end && p[1] == '\n')
      p += 2;
    else if (p < end)
      ++p;
  };
  while (p < end) {
    if (ReadPlainLine(p, end, table.records.emplace_back(), texts + textsUsed)) {
      textsUsed += table.records.back().Text.size();
      continue;
    }
    table.records.pop_back();
    if (!nulSought) {
      nulSought = true;
      if (const void* nul = std::memchr(p, '\0', static_cast<std::size_t>(end - p))) {
        end = static_cast<const char*>(nul);
        cut = false;
        if (p == end) break;
      }
    }
    const char* lineEnd = FindFirst<LineBreak>(p, end);
    // The last line needs no line break, unless the content was cut off in it.
    if (lineEnd == end && cut) break;
    ComponentTrRec& record = table.records.emplace_back();
    FieldSplitter fields(std::string_view(p, static_cast<std::size_t>(lineEnd - p)), end,
                         nextQuote);
    p = lineEnd;
    nextLine();
    try {
      std::string_view field;
      if (!fields.Next(field, scratch)) IndexOutOfBounds(0);
      if (field.data() == scratch.data()) {
        const std::size_t pathAt = table.paths.size();
        table.paths.append(field);
        record.ComponentPath = std::string_view(table.paths).substr(pathAt);
      } else {
        record.ComponentPath = field;
      }
      if (!fields.Next(field, scratch)) IndexOutOfBounds(1);
      record.Language = ToInteger(field);
      if (!fields.Next(field, scratch)) IndexOutOfBounds(2);
      char16_t* out = texts + textsUsed;
      // A quoted field with doubled quotes lies in `scratch`, which has nothing past it.
      Widen(field, out, end, field.data() != scratch.data());
      record.Text = std::u16string_view(out, field.size());
      textsUsed += field.size();
    } catch (const platform::Error&) {
      // Every line still has its record: the ones after this stay empty.
      while (p < end) {
        const char* next = FindFirst<LineBreak>(p, end);
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
  std::string out(bytes.size(), '\0');
  ApplyKeystream(bytes.data(), out.data(), bytes.size(), firstOffset);
  return out;
}

std::string InterfaceFile(std::string_view text) {
  return Scramble(GzipMember(Content(text)));
}

}  // namespace uilocal
