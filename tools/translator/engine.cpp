#include "tools/translator/engine.h"

// The detector's header uses FILE without including its declaration.
#include <cstdio>

#include <cld2/public/compact_lang_det.h>
#include <cld2/public/encodings.h>
#include <dirent.h>
#include <locale.h>
#include <wctype.h>

#include <cctype>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>

#include "tools/translator/pipeline.h"
#include "tools/translator/stream_format.h"

namespace standin {
namespace {

// Apertium names languages by two or three letters; the stand-in speaks of them by two.
std::string TwoLetter(const std::string& code) {
  static const std::map<std::string, std::string> three = {
      {"eng", "en"}, {"spa", "es"}, {"ita", "it"}, {"fra", "fr"}, {"fre", "fr"},
      {"deu", "de"}, {"ger", "de"}, {"tur", "tr"}, {"bul", "bg"}, {"mkd", "mk"}};
  auto it = three.find(code);
  return it == three.end() ? code : it->second;
}

// Whether the UTF-8 text holds a letter of any script, as Unicode classes it (glibc's C.UTF-8
// knows them whatever the process's locale). Malformed bytes are taken for letters: the
// detector and Apertium have their own way with them.
bool HasLetter(const std::string& text) {
  static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3
                                   : (lead >> 3) == 30     ? 4
                                                           : 0;
    if (length == 0 || i + static_cast<std::size_t>(length) > text.size()) return true;
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length; ++k) code = (code << 6) | (text[i + k] & 0x3F);
    if (unicode == nullptr ? code >= 0x80 || std::isalpha(static_cast<int>(code))
                           : iswalpha_l(static_cast<wint_t>(code), unicode) != 0) {
      return true;
    }
    i += static_cast<std::size_t>(length);
  }
  return false;
}

class EchoEngine final : public Engine {
 public:
  std::string Translate(const std::string& text, const std::string& target, std::string*) override {
    return "[" + target + "] " + text;
  }
};

class ApertiumEngine final : public Engine {
 public:
  ApertiumEngine(const std::string& modesDir, std::string fallbackSource,
                 std::chrono::milliseconds hangBound, int pipelinesPerPair)
      : pairs_(ReadPairs(modesDir)),
        fallback_(std::move(fallbackSource)),
        pipelines_([modesDir](const std::string& mode) { return ReadMode(modesDir, mode); },
                   hangBound, pipelinesPerPair) {}

  std::map<std::string, int> PipelineStarts() const override { return pipelines_.Starts(); }

  std::string Translate(const std::string& text, const std::string& target,
                        std::string* detected) override {
    // A thumbs-up, a time, a number or nothing at all needs no translation, and says nothing
    // of the language its writer speaks.
    if (!HasLetter(text)) return text;
    // Chat lines are short: the detector is asked for its best guess even on a word or two.
    CLD2::CLDHints hints = {nullptr, nullptr, CLD2::UNKNOWN_ENCODING, CLD2::UNKNOWN_LANGUAGE};
    CLD2::Language top3[3];
    int percent3[3];
    double scores3[3];
    int textBytes = 0;
    int validPrefix = 0;
    bool reliable = false;
    const CLD2::Language language = CLD2::ExtDetectLanguageSummaryCheckUTF8(
        text.data(), static_cast<int>(text.size()), true, &hints, CLD2::kCLDFlagBestEffort, top3,
        percent3, scores3, nullptr, &textBytes, &reliable, &validPrefix);
    // The best guess that some chain of pairs can translate: a short Spanish line may look a
    // little more like Galician.
    std::string source = fallback_;
    std::vector<std::string> route;
    bool named = false;  // the detector named a language at all
    for (CLD2::Language candidate : {language, top3[0], top3[1], top3[2]}) {
      if (candidate == CLD2::UNKNOWN_LANGUAGE) continue;
      const std::string code = CLD2::LanguageCode(candidate);
      if (code == target) {
        if (detected != nullptr) *detected = code;
        return text;
      }
      route = Route(pairs_, code, target);
      source = code;
      named = true;
      if (!route.empty()) break;
    }
    // Nothing named that leads anywhere: the fallback, also where nothing was named at all.
    if (route.empty() && (source != fallback_ || !named)) {
      if (fallback_ == target) {
        if (detected != nullptr) *detected = fallback_;
        return text;
      }
      route = Route(pairs_, fallback_, target);
      if (!route.empty()) source = fallback_;
    }
    if (route.empty()) {
      if (detected != nullptr) *detected = source;
      throw NoLanguagePair("No translation from " + LanguageName(source) + " into " +
                           LanguageName(target));
    }
    std::string current = text;
    for (std::size_t i = 0; i + 1 < route.size(); ++i) {
      std::string output, error;
      if (!pipelines_.Run(pairs_.at(route[i]).at(route[i + 1]), ToStream(current), output, error)) {
        throw TranslationFailed("Apertium from " + route[i] + " to " + route[i + 1] + ": " + error);
      }
      current = FromStream(output);
    }
    if (detected != nullptr) *detected = source;
    return current;
  }

 private:
  // The stages of a mode; none (a failure on use) when its file cannot be read.
  static std::vector<Command> ReadMode(const std::string& modesDir, const std::string& mode) {
    std::ifstream file(modesDir + "/" + mode + ".mode", std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return file ? ModeCommands(text.str()) : std::vector<Command>{};
  }

  Pairs pairs_;
  std::string fallback_;
  PipelinePool pipelines_;
};

}  // namespace

std::u16string DecodeCharacterReferences(std::string_view text) {
  std::u16string out;
  out.reserve(text.size() / 4);
  std::size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, 2, "&#") == 0) {
      std::size_t end = i + 2;
      std::uint32_t value = 0;
      while (end < text.size() && end - i < 8 && text[end] >= '0' && text[end] <= '9') {
        value = value * 10 + static_cast<std::uint32_t>(text[end] - '0');
        ++end;
      }
      if (end > i + 2 && end < text.size() && text[end] == ';' && value <= 0xFFFF) {
        out += static_cast<char16_t>(value);
        i = end + 1;
        continue;
      }
    }
    out += static_cast<char16_t>(static_cast<unsigned char>(text[i]));
    ++i;
  }
  return out;
}

std::string LanguageName(const std::string& iso) {
  static const std::map<std::string, std::string> names = {
      {"bg", "Bulgarian"},  {"ca", "Catalan"},    {"de", "German"},   {"en", "English"},
      {"es", "Spanish"},    {"fr", "French"},     {"gl", "Galician"}, {"it", "Italian"},
      {"mk", "Macedonian"}, {"pt", "Portuguese"}, {"tr", "Turkish"}};
  auto it = names.find(iso);
  return it != names.end() ? it->second : iso;
}

std::string IsoOfLanguageCode(int code) {
  static const char* iso[] = {"", "en", "bg", "tr", "de", "es", "fr", "it"};
  return code >= 1 && code <= 7 ? iso[code] : "";
}

int LanguageCodeOfIso(const std::string& iso) {
  for (int code = 1; code <= 7; ++code) {
    if (IsoOfLanguageCode(code) == iso) return code;
  }
  return 0;
}

Pairs ReadPairs(const std::string& modesDir) {
  Pairs pairs;
  DIR* d = ::opendir(modesDir.c_str());
  if (d == nullptr) return pairs;
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (!name.ends_with(".mode")) continue;
    name.resize(name.size() - 5);
    const std::size_t dash = name.find('-');
    // Variants ("spa-eng_US") and multi-step modes ("eco-es-fr") are left out.
    if (dash == std::string::npos || name.find('-', dash + 1) != std::string::npos ||
        name.find('_') != std::string::npos) {
      continue;
    }
    pairs[TwoLetter(name.substr(0, dash))][TwoLetter(name.substr(dash + 1))] = name;
  }
  ::closedir(d);
  return pairs;
}

std::vector<std::string> Route(const Pairs& pairs, const std::string& from, const std::string& to) {
  if (from == to) return {};
  // Breadth first: the fewest pairs, so a direct pair wins over a pivot.
  std::map<std::string, std::string> cameFrom{{from, ""}};
  std::deque<std::string> queue{from};
  while (!queue.empty()) {
    const std::string at = queue.front();
    queue.pop_front();
    auto it = pairs.find(at);
    if (it == pairs.end()) continue;
    for (const auto& [next, mode] : it->second) {
      if (cameFrom.count(next)) continue;
      cameFrom[next] = at;
      if (next == to) {
        std::vector<std::string> route{to};
        for (std::string step = at; !step.empty(); step = cameFrom[step])
          route.insert(route.begin(), step);
        return route;
      }
      queue.push_back(next);
    }
  }
  return {};
}

std::unique_ptr<Engine> MakeEchoEngine() {
  return std::make_unique<EchoEngine>();
}

std::unique_ptr<Engine> MakeApertiumEngine(const std::string& modesDir,
                                           const std::string& fallbackSource,
                                           std::chrono::milliseconds hangBound,
                                           int pipelinesPerPair) {
  return std::make_unique<ApertiumEngine>(modesDir, fallbackSource, hangBound, pipelinesPerPair);
}

}  // namespace standin
