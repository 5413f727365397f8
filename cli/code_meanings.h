#pragma once

#include "error/vexo_error.h"

namespace vexodl::cli {

// CodeMeaning gives the codes from `first` to `last` a meaning.
struct CodeMeaning {
  int first;
  int last;
  const char* text;
};

// kCodeMeanings, made from common/error_codes.json: every code of the library and the back-ends
// once, then the ranges that each back-end keeps, for a code that another build of it may throw.
#include "code_meanings.inc"

// What `code` means: the text of the first row that holds it, or "unknown error".
constexpr const char* MeaningOf(int code) {
  for (const CodeMeaning& meaning : kCodeMeanings) {
    if (code >= meaning.first && code <= meaning.last) return meaning.text;
  }
  return "unknown error";
}

}  // namespace vexodl::cli
