// What a fuzz target does when an input breaks one of its invariants.
#ifndef TILEVISTA_FUZZ_BROKEN_INVARIANT_H
#define TILEVISTA_FUZZ_BROKEN_INVARIANT_H

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

/// Reports a broken invariant (printf-style) and aborts, so that libFuzzer
/// saves the input.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void broken(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("\nINVARIANT BROKEN: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputs("\n", stderr);
  va_end(args);
  std::abort();
}

#endif  // TILEVISTA_FUZZ_BROKEN_INVARIANT_H
