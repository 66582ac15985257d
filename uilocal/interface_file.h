#pragma once

// The interface-translation file's format, both ways: reading a file's bytes into records, and
// writing records' text into a file (the data-file writer and the tests do).
//
// The file, outermost layer first:
//   1. every byte XOR k(n), n its offset in the file: P = n * 871043 in wrapping 32-bit
//      arithmetic, R = P rem 402817 (truncating, signed), k(n) = the low 8 bits of R;
//   2. a gzip stream (RFC 1952) of one or more members over raw deflate; or, when the first two
//      bytes are not 1F 8B, the bytes themselves;
//   3. a 4-byte little-endian signed length L, then L bytes of 8-bit text;
//   4. lines (CR LF, CR or LF; a NUL ends the text), each a record "path;language;text" split as
//      a delimited list with double quotes, the text widened by CyrillicToWide.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace uilocal {

// Layer 2: the gzip member's header as RFC 1952 has it, and the flags this format knows.
inline constexpr std::uint8_t kGzipMagic1 = 0x1F;
inline constexpr std::uint8_t kGzipMagic2 = 0x8B;
inline constexpr std::uint8_t kMethodDeflate = 8;
inline constexpr std::uint8_t kFlagHeaderCrc = 2;
inline constexpr std::uint8_t kFlagExtra = 4;
inline constexpr std::uint8_t kFlagName = 8;
inline constexpr std::uint8_t kFlagComment = 16;
inline constexpr std::uint8_t kReservedFlags = 0xE0;

// A record's strings live in storage the table owns; they stay valid until the next load.
struct ComponentTrRec {
  std::string_view ComponentPath;
  std::int32_t Language = 0;
  std::u16string_view Text;
};

inline constexpr std::size_t kReadBlock = 65536;

// Bytes that grow without being zero-filled first and, being malloc'd, by realloc, which moves a
// large block by remapping its pages rather than copying them.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ~ByteBuffer();
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  // Room for `n` more bytes after the content; Commit(k) makes the first k of them content.
  char* Extend(std::size_t n);
  void Commit(std::size_t k) { size_ += k; }
  void Append(std::string_view bytes);
  void Reserve(std::size_t capacity);
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  const char* data() const { return data_; }
  std::string_view View() const { return {data_, size_}; }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The keystream byte for a file offset.
std::uint8_t KeystreamByte(std::uint32_t offset);

// Layers 1 and 2, fed the file's bytes in pieces of any size. It stops taking bytes once it
// holds the content it was asked for (4 + L bytes), and stops quietly at damaged compressed
// data, keeping what was decompressed before it.
class ContentDecoder {
 public:
  // Returns false once no more bytes are wanted.
  bool Feed(std::string_view fileBytes);
  // The content decompressed so far.
  std::string_view Content() const { return content_.View(); }
  // Hands it over; the decoder is done with.
  ByteBuffer TakeContent() { return std::move(content_); }

  ContentDecoder();
  ~ContentDecoder();
  ContentDecoder(const ContentDecoder&) = delete;
  ContentDecoder& operator=(const ContentDecoder&) = delete;

 private:
  enum class State {
    kStart,
    kMagic2,
    kHeader,
    kExtraLength,
    kExtra,
    kName,
    kComment,
    kHeaderCrc,
    kInflate,
    kTrailer,
    kNextMember,
    kPlain,
    kDone
  };
  void Take(const std::uint8_t* bytes, std::size_t n);
  // One step in a state of its kind; each takes what it uses off the front of (p, n).
  void TakeMagic(const std::uint8_t*& p, std::size_t& n);
  void TakeHeader(const std::uint8_t*& p, std::size_t& n);
  void TakeTrailer(const std::uint8_t*& p, std::size_t& n);
  // Collects header bytes into field_ until it holds `want`; false while more are needed.
  bool Collect(const std::uint8_t*& p, std::size_t& n, std::size_t want);
  void StartInflate();
  void AfterExtra();
  void AfterName();
  void AfterComment();
  bool Enough() const;
  void Inflate(const std::uint8_t*& p, std::size_t& n);
  void ReserveAhead();
  void Stop();
  std::uint32_t MemberCrc() const;

  State state_ = State::kStart;
  std::uint32_t offset_ = 0;  // of the next file byte
  std::string plain_;         // the piece being taken, unscrambled
  ByteBuffer content_;
  std::string field_;  // header bytes being collected
  std::size_t need_ = 0;
  std::uint8_t flags_ = 0;
  std::size_t memberStart_ = 0;  // where the current member's output begins in content_
  struct Inflater;
  std::unique_ptr<Inflater> inflater_;
};

// A table of records with the storage their strings view.
struct RecordTable {
  std::vector<ComponentTrRec> records;
  ByteBuffer content;                 // what was parsed: most paths are views of it
  std::string paths;                  // the paths that had to be unquoted, end to end
  std::unique_ptr<char16_t[]> texts;  // every record's text, end to end
};

// Layers 3 and 4 of decoded content: fills `table` afresh and raises platform::Error
// "List index out of bounds (%d)" or "'%s' is not a valid integer value" (without the
// "LoadTranslations:" prefix) at the first malformed line, leaving that line's record filled
// field by field as far as it got. Content that ends before its length or text is read as far as
// it goes, its cut-off last line left out.
void ParseRecords(ByteBuffer content, RecordTable& table);
void ParseRecords(std::string_view content, RecordTable& table);

// Writing: the layers applied in reverse.

// The text of records made from a maintainer's source, "path;language;text" lines in UTF-8:
// Cyrillic letters become the Windows-1251 bytes that CyrillicToWide widens back; other
// characters must be ASCII. Lines stay as they are otherwise. Throws platform::Error naming the
// line of a character the format cannot carry.
std::string TextFromSource(std::string_view utf8Source);

// The 4-byte little-endian length, then the text.
std::string Content(std::string_view text);
// Raw deflate of the bytes (no header).
std::string RawDeflate(std::string_view bytes);

struct MemberOptions {
  std::uint8_t flags = 0;   // header flags; the fields below are written for the flags set
  std::string extra;        // FEXTRA
  std::string name;         // FNAME
  std::string comment;      // FCOMMENT
  bool corruptCrc = false;  // the trailer's CRC-32 off by one
};
// One gzip member holding `bytes`.
std::string GzipMember(std::string_view bytes, const MemberOptions& options = {});

// XOR with the keystream, by offsets counted from `firstOffset`; its own inverse.
std::string Scramble(std::string_view bytes, std::uint32_t firstOffset = 0);

// A whole file for the text: content, one gzip member, scrambled.
std::string InterfaceFile(std::string_view text);

}  // namespace uilocal
