#include "family_table.h"

#include "polynomial_atoms.h"
#include "random_atoms.h"
#include "tilevista/dictionary.h"
#include "trigonometric_atoms.h"
#include "wavelet_atoms.h"

namespace tilevista {

namespace {

std::int32_t count(const std::vector<std::int64_t>& values) {
  return static_cast<std::int32_t>(values[0]);
}

void cosine(const std::vector<std::int64_t>& v, std::int32_t n, double* out) {
  cosineAtoms(n, count(v), out);
}
void sine(const std::vector<std::int64_t>& v, std::int32_t n, double* out) {
  sineAtoms(n, count(v), out);
}
void legendre(const std::vector<std::int64_t>& v, std::int32_t n, double* out) {
  legendreAtoms(n, count(v), out);
}
void chebyshev(const std::vector<std::int64_t>& v, std::int32_t n, double* out) {
  chebyshevAtoms(n, count(v), out);
}
void haar(const std::vector<std::int64_t>&, std::int32_t n, double* out) {
  waveletAtoms(daubechiesBank(1), n, out);
}
void daubechies(const std::vector<std::int64_t>& v, std::int32_t n, double* out) {
  waveletAtoms(daubechiesBank(static_cast<std::int32_t>(v[0])), n, out);
}
void cdf97(const std::vector<std::int64_t>&, std::int32_t n, double* out) {
  waveletAtoms(cdf97Bank(), n, out);
}
void delta(const std::vector<std::int64_t>&, std::int32_t n, double* out) {
  for (std::int64_t i = 0; i < std::int64_t(n) * n; ++i) out[i] = i % (n + 1) == 0 ? 1.0 : 0.0;
}
void random(const std::vector<std::int64_t>& v, std::int32_t n, double* out) {
  randomAtoms(n, count(v), static_cast<std::uint64_t>(v[1]), out);
}

}  // namespace

const std::vector<FamilyRule>& familyRules() {
  static const ParameterRule atoms{"K", 1, kMaxDictionaryAtoms, false};
  static const ParameterRule degrees{"K", 1, kMaxDictionaryAtoms, true};
  static const std::vector<FamilyRule> rules = {
      {"cosine", {atoms}, false, cosine},
      {"sine", {atoms}, false, sine},
      {"legendre", {degrees}, false, legendre},
      {"chebyshev", {degrees}, false, chebyshev},
      {"haar", {}, true, haar},
      {"daubechies", {{"P", 1, kMaxDaubechiesMoments, false}}, true, daubechies},
      {"cdf97", {}, true, cdf97},
      {"delta", {}, true, delta},
      {"random", {atoms, {"seed", 0, kMaxDictionarySeed, false}}, false, random}};
  return rules;
}

std::int64_t familyAtomCount(const FamilyRule& family, const std::vector<std::int64_t>& values,
                             std::int32_t n) {
  return family.basis ? n : values[0];
}

std::string familySyntax(const FamilyRule& family) {
  std::string syntax = family.name;
  for (const ParameterRule& p : family.parameters) syntax += std::string(":") + p.name;
  for (std::size_t i = 0; i < family.parameters.size(); ++i) {
    const ParameterRule& p = family.parameters[i];
    syntax += i == 0 ? " (" : ", ";
    syntax += std::string(p.name) + " = " + std::to_string(p.least) + "..";
    syntax += p.atMostLength ? "n" : std::to_string(p.most);
    if (i + 1 == family.parameters.size()) syntax += ")";
  }
  return syntax;
}

std::string familiesListing() {
  std::string text = "The families: ";
  const std::vector<FamilyRule>& rules = familyRules();
  for (std::size_t i = 0; i < rules.size(); ++i) {
    text += (i == 0 ? "" : ", ") + familySyntax(rules[i]);
  }
  return text + "; joined by '+', e.g. \"cosine:16+legendre:8+haar+delta\".";
}

}  // namespace tilevista
