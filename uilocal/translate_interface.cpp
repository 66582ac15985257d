#include "uilocal/translate_interface.h"

#include <zlib.h>

#include <cstring>
#include <fstream>

#include "platform/codepage.h"
#include "platform/error.h"

namespace uilocal {
namespace {

constexpr std::uint8_t kFlagHeaderCrc = 2;
constexpr std::uint8_t kFlagExtra = 4;
constexpr std::uint8_t kFlagName = 8;
constexpr std::uint8_t kFlagComment = 16;
constexpr std::uint8_t kReservedFlags = 0xE0;

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

// A line as a delimited list: ";" separates, double quotes enclose (two stand for one), and an
// unquoted blank ends a field as ";" does.
std::vector<std::string> SplitFields(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t i = 0;
  const std::size_t n = line.size();
  auto skipBlanks = [&] {
    while (i < n && IsBlank(line[i])) ++i;
  };
  skipBlanks();
  while (i < n) {
    std::string field;
    if (line[i] == '"') {
      ++i;
      // A quote that is never closed takes the rest of the line.
      while (i < n) {
        if (line[i] == '"') {
          if (i + 1 < n && line[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        field += line[i++];
      }
    } else {
      const std::size_t start = i;
      while (i < n && !IsBlank(line[i]) && line[i] != ';') ++i;
      field.assign(line.substr(start, i - start));
    }
    fields.push_back(std::move(field));
    skipBlanks();
    if (i < n && line[i] == ';') {
      if (i == n - 1) fields.emplace_back();
      ++i;
      skipBlanks();
    }
  }
  return fields;
}

// A field read as a signed 32-bit integer: decimal, or hexadecimal after "$" or "0x", with
// optional blanks before it.
std::int32_t ToInteger(const std::string& field) {
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
    int d = -1;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    if (d < 0 || value > 0x80000000LL) {
      ok = false;
      break;
    }
    value = value * base + d;
  }
  if (negative) value = -value;
  if (!ok || value > 0x7FFFFFFFLL || value < -0x80000000LL) {
    throw platform::Error("'" + field + "' is not a valid integer value");
  }
  return static_cast<std::int32_t>(value);
}

[[noreturn]] void IndexOutOfBounds(std::size_t index) {
  throw platform::Error("List index out of bounds (" + std::to_string(index) + ")");
}

}  // namespace

std::vector<ComponentTrRec>& Translations() {
  static std::vector<ComponentTrRec> table;
  return table;
}

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
ContentDecoder::~ContentDecoder() {
  delete inflater_;
}

bool ContentDecoder::Enough() const {
  if (content_.size() < 4) return false;
  const auto length = static_cast<std::int32_t>(Le32(content_.data()));
  return length < 0 || content_.size() - 4 >= static_cast<std::uint32_t>(length);
}

void ContentDecoder::Stop(bool damaged) {
  damaged_ = damaged;
  state_ = State::kDone;
}

bool ContentDecoder::Feed(std::string_view fileBytes) {
  if (state_ == State::kDone) return false;
  // Unscrambled by absolute file offsets, whatever the size of the piece.
  std::string plain(fileBytes);
  for (std::size_t i = 0; i < plain.size(); ++i) {
    plain[i] = static_cast<char>(static_cast<std::uint8_t>(plain[i]) ^
                                 KeystreamByte(offset_ + static_cast<std::uint32_t>(i)));
  }
  offset_ += static_cast<std::uint32_t>(plain.size());
  Take(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size());
  return state_ != State::kDone;
}

void ContentDecoder::Inflate(const std::uint8_t*& p, std::size_t& n) {
  z_stream& z = inflater_->stream;
  z.next_in = const_cast<Bytef*>(p);
  z.avail_in = static_cast<uInt>(n);
  char out[65536];
  for (;;) {
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = sizeof out;
    const int rc = inflate(&z, Z_NO_FLUSH);
    const std::size_t produced = sizeof out - z.avail_out;
    if (produced > 0) {
      crc_ = static_cast<std::uint32_t>(
          crc32(crc_, reinterpret_cast<const Bytef*>(out), static_cast<uInt>(produced)));
      memberBytes_ += static_cast<std::uint32_t>(produced);
      content_.append(out, produced);
      if (Enough()) break;
    }
    if (rc == Z_STREAM_END) {
      state_ = State::kTrailer;
      field_.clear();
      break;
    }
    if (rc == Z_BUF_ERROR || (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0))
      break;  // wants input
    if (rc != Z_OK) {
      Stop(true);
      break;
    }
  }
  const std::size_t used = n - z.avail_in;
  p += used;
  n -= used;
}

void ContentDecoder::Take(const std::uint8_t* p, std::size_t n) {
  // Collects header bytes into field_ until it holds `want`; false while more are needed.
  auto collect = [&](std::size_t want) {
    const std::size_t take = std::min(want - field_.size(), n);
    field_.append(reinterpret_cast<const char*>(p), take);
    p += take;
    n -= take;
    return field_.size() == want;
  };
  auto startInflate = [&] {
    if (inflater_ == nullptr) inflater_ = new Inflater;
    if (!inflater_->ready || inflateReset(&inflater_->stream) != Z_OK) return Stop(true);
    crc_ = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
    memberBytes_ = 0;
    state_ = State::kInflate;
  };
  auto afterComment = [&] {
    if (flags_ & kFlagHeaderCrc) {
      state_ = State::kHeaderCrc;
      field_.clear();
    } else {
      startInflate();
    }
  };
  auto afterName = [&] {
    (flags_ & kFlagComment) ? void(state_ = State::kComment) : afterComment();
  };
  auto afterExtra = [&] { (flags_ & kFlagName) ? void(state_ = State::kName) : afterName(); };

  while (n > 0 && state_ != State::kDone) {
    switch (state_) {
      case State::kStart:
        if (*p == 0x1F) {
          ++p;
          --n;
          state_ = State::kMagic2;
        } else {
          state_ = State::kPlain;
        }
        break;
      case State::kMagic2:
        if (*p == 0x8B) {
          ++p;
          --n;
          state_ = State::kHeader;
          field_.clear();
        } else {
          content_ += '\x1F';  // not gzip after all: the first byte was content
          state_ = State::kPlain;
        }
        break;
      case State::kHeader:
        if (!collect(8)) break;
        // Method 8 (deflate), and no reserved flag.
        if (static_cast<std::uint8_t>(field_[0]) != 8 ||
            (static_cast<std::uint8_t>(field_[1]) & kReservedFlags)) {
          Stop(true);
          break;
        }
        flags_ = static_cast<std::uint8_t>(field_[1]);
        field_.clear();
        if (flags_ & kFlagExtra) {
          state_ = State::kExtraLength;
        } else {
          afterExtra();
        }
        break;
      case State::kExtraLength:
        if (!collect(2)) break;
        need_ = static_cast<std::uint8_t>(field_[0]) |
                static_cast<std::size_t>(static_cast<std::uint8_t>(field_[1])) << 8;
        state_ = State::kExtra;
        break;
      case State::kExtra: {
        const std::size_t skip = std::min(need_, n);
        p += skip;
        n -= skip;
        need_ -= skip;
        if (need_ == 0) afterExtra();
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
        state_ == State::kName ? afterName() : afterComment();
        break;
      }
      case State::kHeaderCrc:
        if (collect(2)) startInflate();
        break;
      case State::kInflate:
        Inflate(p, n);
        break;
      case State::kTrailer:
        if (!collect(8)) break;
        // A mismatch ends the reading; what was decompressed is used all the same.
        if (Le32(field_.data()) != crc_ || Le32(field_.data() + 4) != memberBytes_) {
          Stop(false);
          break;
        }
        field_.clear();
        state_ = State::kNextMember;
        break;
      case State::kNextMember:
        if (!collect(2)) break;
        if (static_cast<std::uint8_t>(field_[0]) == 0x1F &&
            static_cast<std::uint8_t>(field_[1]) == 0x8B) {
          field_.clear();
          state_ = State::kHeader;
        } else {
          Stop(false);  // what follows the last member is not read
        }
        break;
      case State::kPlain:
        content_.append(reinterpret_cast<const char*>(p), n);
        n = 0;
        break;
      case State::kDone:
        break;
    }
    if (Enough()) state_ = State::kDone;
  }
}

void ReadRecords(std::string_view content) {
  std::vector<ComponentTrRec>& table = Translations();
  table.clear();
  if (content.size() < 4) return;
  const auto length = static_cast<std::int32_t>(Le32(content.data()));
  if (length < 0) return;
  std::string_view text = content.substr(4, static_cast<std::uint32_t>(length));
  const bool cut = text.size() < static_cast<std::uint32_t>(length);
  if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos)
    text = text.substr(0, nul);

  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\r' && text[i] != '\n') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  // The last line needs no line break, unless the content was cut off in it.
  if (start < text.size() && !cut) lines.push_back(text.substr(start));

  table.resize(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::vector<std::string> fields = SplitFields(lines[i]);
    ComponentTrRec& record = table[i];
    if (fields.empty()) IndexOutOfBounds(0);
    record.ComponentPath = fields[0];
    if (fields.size() < 2) IndexOutOfBounds(1);
    record.Language = ToInteger(fields[1]);
    if (fields.size() < 3) IndexOutOfBounds(2);
    record.Text = platform::CyrillicToWide(fields[2]);
  }
}

void LoadTranslations(const std::string& fileName, const std::vector<std::string>& alsoIn) {
  std::ifstream file(fileName, std::ios::binary);
  for (std::size_t i = 0; !file.is_open() && i < alsoIn.size(); ++i) {
    file.open(alsoIn[i] + "/" + fileName, std::ios::binary);
  }
  ContentDecoder decoder;
  if (file.is_open()) {
    char block[kReadBlock];
    while (file) {
      file.read(block, sizeof block);
      const std::streamsize got = file.gcount();
      if (got <= 0 || !decoder.Feed(std::string_view(block, static_cast<std::size_t>(got)))) break;
    }
  }
  try {
    ReadRecords(decoder.Content());
  } catch (const platform::Error& e) {
    throw platform::Error(std::string("LoadTranslations:") + e.what());
  }
}

int FindTranslation(std::string_view path, std::int32_t language) {
  const std::vector<ComponentTrRec>& table = Translations();
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i].Language == language && table[i].ComponentPath == path) return static_cast<int>(i);
  }
  return -1;
}

namespace {

void Apply(platform::TComponent& c, const std::u16string& text) {
  using K = platform::ComponentKind;
  const std::string ansi = platform::WideToAnsi(text);
  if (c.InheritsFrom(K::kForm)) c.SetCaptionAnsi(ansi);
  if (c.InheritsFrom(K::kTntForm)) c.SetCaptionWide(text);
  if (c.InheritsFrom(K::kMenuItem)) c.SetCaptionAnsi(ansi);
  if (c.InheritsFrom(K::kLabel)) c.SetCaptionAnsi(ansi);
  if (c.InheritsFrom(K::kTntMenuItem)) c.SetCaptionWide(text);
  if (c.InheritsFrom(K::kTntLabel)) c.SetCaptionWide(text);
  if (c.InheritsFrom(K::kTabSheet)) c.SetCaptionAnsi(ansi);
  if (c.InheritsFrom(K::kTntTabSheet)) c.SetCaptionWide(text);
  if (c.InheritsFrom(K::kTntRadioButton)) c.SetCaptionWide(text);
  // A speed button takes the hint and nothing else.
  const bool speedButton = c.InheritsFrom(K::kSpeedButton);
  if (speedButton && !c.InheritsFrom(K::kTntSpeedButton)) c.SetHintAnsi(ansi);
  if (c.InheritsFrom(K::kTntSpeedButton)) c.SetHintWide(text);
  if (speedButton) return;
  if (c.InheritsFrom(K::kButton)) c.SetCaptionAnsi(ansi);
  if (c.InheritsFrom(K::kTntButton)) c.SetCaptionWide(text);
  if (c.InheritsFrom(K::kTntBitBtn)) c.SetCaptionWide(text);
}

}  // namespace

void TranslateComponent(platform::TComponent& component, std::string_view ownerPath,
                        std::int32_t language) {
  std::string key(ownerPath);
  key += '.';
  key.erase(
      0, key.find_first_not_of('.') == std::string::npos ? key.size() : key.find_first_not_of('.'));
  key += component.Name();
  const int index = FindTranslation(key, language);
  if (index != -1) Apply(component, Translations()[static_cast<std::size_t>(index)].Text);
  for (int i = 0; i < component.ComponentCount(); ++i) {
    TranslateComponent(*component.Components(i), key, language);
  }
}

void SetInterfaceLanguage(platform::TComponent& application, std::int32_t language) {
  TranslateComponent(application, ".", language);
}

}  // namespace uilocal
