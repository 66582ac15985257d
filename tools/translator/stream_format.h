#pragma once

// Plain text to Apertium's stream format and back, as the `apertium` command's text
// deformatter and reformatter do it, so that a pipeline kept running can be fed directly.

#include <string>
#include <string_view>

namespace standin {

// Escapes the stream format's special characters with a backslash, wraps every run of blanks
// other than a single space in a superblank, marks a paragraph break and the end of the text as
// a sentence end (".[]"), and leaves out NUL bytes, which the pipelines take for a flush.
std::string ToStream(std::string_view text);

// Undoes ToStream on a pipeline's output: the sentence-end marks go, superblanks give back their
// contents, escapes their characters.
std::string FromStream(std::string_view stream);

}  // namespace standin
