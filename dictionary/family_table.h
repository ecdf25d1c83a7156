// The families a description may name: their names, parameters with the
// values each may take, how many atoms they list and how they are built. The
// one list of them; messages and dictionaryFamilies() are made from it.
#ifndef TILEVISTA_FAMILY_TABLE_H
#define TILEVISTA_FAMILY_TABLE_H

#include <cstdint>
#include <string>
#include <vector>

namespace tilevista {

/// One parameter: its name in the syntax and the values it may take.
struct ParameterRule {
  const char* name;
  std::int64_t least;
  std::int64_t most;
  bool atMostLength;  ///< also at most n, the atoms' length
};

/// One family.
struct FamilyRule {
  const char* name;
  std::vector<ParameterRule> parameters;
  bool basis;  ///< lists n atoms; otherwise as many as its first parameter
  /// Writes the family's atoms, n x (its count), column-major, unit norm.
  void (*build)(const std::vector<std::int64_t>& values, std::int32_t n, double* out);
};

/// Every family, in the order messages list them.
const std::vector<FamilyRule>& familyRules();

/// How many atoms a family lists for these parameter values and length n.
std::int64_t familyAtomCount(const FamilyRule& family, const std::vector<std::int64_t>& values,
                             std::int32_t n);

/// The family's syntax with the values of its parameters, e.g.
/// "daubechies:P (P = 1..4)".
std::string familySyntax(const FamilyRule& family);

/// Every family's syntax, and how they are joined: the end of every message
/// of the layer.
std::string familiesListing();

}  // namespace tilevista

#endif  // TILEVISTA_FAMILY_TABLE_H
