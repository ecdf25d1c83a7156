// Reading a description string into its terms, each checked against its
// family's rules for atoms of length n.
#ifndef TILEVISTA_DESCRIPTION_TERMS_H
#define TILEVISTA_DESCRIPTION_TERMS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tilevista {

/// One family term of a description.
struct DescriptionTerm {
  std::size_t family = 0;            ///< index into familyRules()
  std::vector<std::int64_t> values;  ///< its parameters, checked
  std::string parameter;             ///< the parameters normalised, e.g. "16:7"; "" for none
};

/// A text of the caller's for a message: in double quotes, cut after 64
/// characters (marked by "...") so that no message grows with its input.
std::string quotedForMessage(const std::string& text);

/// Splits a description at '+' into terms, and each at ':' into a family name
/// and its parameters, spaces and tabs around each part ignored; checks the
/// name, the number of parameters and each value (1..n where the family says
/// so).
/// @param description  in: the description string
/// @param n            in: the atoms' length (>= 1)
/// @param terms        out: the terms, in order; meaningful on success only
/// @param cause        out: on failure, one sentence saying what is wrong
/// @return true when every term is sound
bool readDescription(const std::string& description, std::int32_t n,
                     std::vector<DescriptionTerm>* terms, std::string* cause);

}  // namespace tilevista

#endif  // TILEVISTA_DESCRIPTION_TERMS_H
