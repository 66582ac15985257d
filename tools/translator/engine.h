#pragma once

// Translation engines of the stand-in translator. Texts are UTF-8; languages are two-letter codes.

#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

// The stand-in's languages by the service's language codes 1 to 7; empty for any other code.
std::string IsoOfLanguageCode(int code);
// The other way; 0 for a language that has no code.
int LanguageCodeOfIso(const std::string& iso);

// The form's text as a server reads it: every "&#N;" (N decimal, below 65536) is the UTF-16
// unit N, whatever N is; every other byte stands for itself.
std::u16string DecodeCharacterReferences(std::string_view text);

// A request the engine could not answer at all (its translation program failed or hung).
class TranslationFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// No installed chain of language pairs leads from the text's language to the target: the text
// is not translated, rather than passed off as its own translation. `what()` says it in English
// ("No translation from Spanish into German").
class NoLanguagePair : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Engine {
 public:
  virtual ~Engine() = default;
  // Returns the translation, and in `source` (when given) the two-letter code of the language
  // the text was taken to be in, where the engine tells one. Throws NoLanguagePair when no pair
  // leads to the target, and TranslationFailed when the translation program fails.
  // `source` is set before NoLanguagePair is thrown too.
  virtual std::string Translate(const std::string& text, const std::string& target,
                                std::string* source = nullptr) = 0;
  // How often the pipelines of each Apertium mode were started: more than their number means
  // some were restarted after a failure.
  virtual std::map<std::string, int> PipelineStarts() const { return {}; }
};

// A language's English name by its two-letter code; the code itself for a language not known.
std::string LanguageName(const std::string& iso);

// Returns the text tagged with the target: "[es] text".
std::unique_ptr<Engine> MakeEchoEngine();

// Apertium with the language pairs installed under `modesDir`, going through other languages
// (Spanish, usually) where no direct pair exists. The source language is detected; when the
// detector knows no language that a chain of pairs leads from, `fallbackSource` is assumed (the
// pivot language: short lines fool the detector more often than they are in another language).
// Each pair's pipeline is started on first use and kept running; one that gives no sign of life
// for `hangBound` is killed and its request fails. Each pair has up to `pipelinesPerPair`
// pipelines, for requests that come at the same time.
std::unique_ptr<Engine> MakeApertiumEngine(
    const std::string& modesDir = "/usr/share/apertium/modes",
    const std::string& fallbackSource = "es",
    std::chrono::milliseconds hangBound = std::chrono::seconds(10), int pipelinesPerPair = 1);

// The pairs a modes directory offers: source -> target -> the name of Apertium's mode.
using Pairs = std::map<std::string, std::map<std::string, std::string>>;
Pairs ReadPairs(const std::string& modesDir);
// The shortest chain of languages from one to another, both ends included; empty when no chain
// of pairs leads there or the two are the same.
std::vector<std::string> Route(const Pairs& pairs, const std::string& from, const std::string& to);

}  // namespace standin
