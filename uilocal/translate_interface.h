#pragma once

// TranslateInterface: the texts of the user interface in every language, read once from the
// interface-translation file into the table `Translations`, and put into the components of all
// forms in one language at a time.
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

#include "uilocal/component.h"

namespace uilocal {

// A record's strings live in storage the table owns; they stay valid until the next load.
struct ComponentTrRec {
  std::string_view ComponentPath;
  std::int32_t Language = 0;
  std::u16string_view Text;
};

// The table, in file order; one for the whole process. Only loading changes it.
const std::vector<ComponentTrRec>& Translations();

inline constexpr std::size_t kReadBlock = 16384;

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
  const std::string& Content() const { return content_; }

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
  void Stop();
  std::uint32_t MemberCrc() const;

  State state_ = State::kStart;
  std::uint32_t offset_ = 0;  // of the next file byte
  std::string plain_;         // the piece being taken, unscrambled
  std::string content_;
  std::string field_;  // header bytes being collected
  std::size_t need_ = 0;
  std::uint8_t flags_ = 0;
  std::size_t memberStart_ = 0;  // where the current member's output begins in content_
  struct Inflater;
  std::unique_ptr<Inflater> inflater_;
};

// Layers 3 and 4 of decoded content: fills Translations() and raises platform::Error
// "List index out of bounds (%d)" or "'%s' is not a valid integer value" (without the
// "LoadTranslations:" prefix) at the first malformed line, leaving that line's record filled
// field by field as far as it got. Content that ends before its length or text is read as far as
// it goes, its cut-off last line left out.
void ReadRecords(std::string_view content);

// Reads the file into Translations(). The name is opened as it stands (a bare name against the
// current directory); when no file of that name is there, in each of `alsoIn` in turn. A file
// that is missing or unreadable, or content that is cut short or damaged, leaves the well-formed
// records found so far and raises nothing. Malformed text raises platform::Error
// "LoadTranslations:" + the reason.
void LoadTranslations(const std::string& fileName, const std::vector<std::string>& alsoIn = {});

// The index of the first record with exactly this path and language, or -1.
int FindTranslation(std::string_view path, std::int32_t language);

// Puts the texts of `language` into every component that `application` owns, at any depth.
void SetInterfaceLanguage(uilocal::TComponent& application, std::int32_t language);
// One component and, depth first, everything it owns; `ownerPath` is its owner's path.
void TranslateComponent(uilocal::TComponent& component, std::string_view ownerPath,
                        std::int32_t language);

}  // namespace uilocal
