#include "tools/translator/stream_format.h"

namespace standin {
namespace {

bool IsSpecial(char c) {
  switch (c) {
    case '^':
    case '$':
    case '[':
    case ']':
    case '{':
    case '}':
    case '/':
    case '\\':
    case '@':
    case '<':
    case '>':
      return true;
    default:
      return false;
  }
}

bool IsBlank(char c) {
  return c == ' ' || c == '\n' || c == '\t' || c == '\r';
}

// A blank run that separates paragraphs: the tagger and the transfer need to see a sentence end
// there, as they do at the end of the text.
bool BreaksParagraph(std::string_view run) {
  return run.find("\n\n") != std::string_view::npos ||
         run.find("\r\n\r\n") != std::string_view::npos;
}

constexpr std::string_view kSentenceEnd = ".[]";

}  // namespace

std::string ToStream(std::string_view withNuls) {
  std::string text;
  text.reserve(withNuls.size());
  for (char c : withNuls)
    if (c != '\0') text += c;
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 8);
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (!IsBlank(c)) {
      if (IsSpecial(c)) out += '\\';
      out += c;
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < text.size() && IsBlank(text[end])) ++end;
    const std::string_view run(text.data() + i, end - i);
    if (end == text.size() || BreaksParagraph(run)) out += kSentenceEnd;
    if (run == " ") {
      out += ' ';
    } else {
      out += '[';
      out += run;
      out += ']';
    }
    i = end;
    if (end == text.size()) return out;
  }
  out += kSentenceEnd;
  return out;
}

std::string FromStream(std::string_view stream) {
  std::string out;
  out.reserve(stream.size());
  std::size_t i = 0;
  while (i < stream.size()) {
    const char c = stream[i];
    if (stream.substr(i, kSentenceEnd.size()) == kSentenceEnd) {
      i += kSentenceEnd.size();
    } else if (c == '\\' && i + 1 < stream.size() && IsSpecial(stream[i + 1])) {
      out += stream[i + 1];
      i += 2;
    } else {
      // Superblank brackets go, their contents stay.
      if (c != '[' && c != ']' && c != '\0') out += c;
      ++i;
    }
  }
  return out;
}

}  // namespace standin
