// dictionary_matrix DESCRIPTION N: prints the dictionary a description names
// for atoms of length N, as the dictionary layer builds it, for scripts (the
// pictures of docs/dictionaries.md) and for looking at a description by hand.
//
// Output, one line each: "# <normalised description> <N> <kept atoms>", then
// one line per kept atom: its family, its parameters ("-" for none), its number
// in its term's own list and its N values (%.17g, which read back exactly);
// then one line per atom left out: "dropped <family> <parameters> <number>
// repeats <column>". A refused description: the identifier and the message on
// standard error, exit status 1.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tilevista/dictionary.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: dictionary_matrix DESCRIPTION N\n");
    return 2;
  }
  char* end = nullptr;
  const long long n = std::strtoll(argv[2], &end, 10);
  if (*argv[2] == '\0' || *end != '\0' || n < INT32_MIN || n > INT32_MAX) {
    std::fprintf(stderr, "dictionary_matrix: N must be a whole number; it is \"%s\"\n", argv[2]);
    return 2;
  }
  const std::int32_t length = static_cast<std::int32_t>(n);
  tilevista::Dictionary d;
  tilevista::DictionaryError error;
  if (!tilevista::buildDictionary(argv[1], length, &d, &error)) {
    std::fprintf(stderr, "%s: %s\n", error.identifier, error.message.c_str());
    return 1;
  }
  std::printf("# %s %d %d\n", d.description.c_str(), d.length, d.atoms);
  const auto parameter = [](const std::string& p) { return p.empty() ? "-" : p.c_str(); };
  for (std::int32_t k = 0; k < d.atoms; ++k) {
    std::printf("%s %s %d", d.kept[k].family.c_str(), parameter(d.kept[k].parameter),
                d.kept[k].number);
    for (std::int32_t i = 0; i < d.length; ++i) {
      std::printf(" %.17g", d.matrix[std::size_t(k) * std::size_t(d.length) + i]);
    }
    std::printf("\n");
  }
  for (std::size_t j = 0; j < d.dropped.size(); ++j) {
    std::printf("dropped %s %s %d repeats %d\n", d.dropped[j].family.c_str(),
                parameter(d.dropped[j].parameter), d.dropped[j].number, d.repeats[j]);
  }
  return 0;
}
