// buildDictionary: reads the description, checks the sizes, builds each term's
// atoms and keeps those that repeat no kept atom of an earlier term.
#include "tilevista/dictionary.h"

#include <cstddef>
#include <utility>

#include "description_terms.h"
#include "family_table.h"
#include "repeat_index.h"

namespace tilevista {

namespace {

bool refuse(const std::string& description, const std::string& cause, DictionaryError* error) {
  if (error != nullptr) {
    error->identifier = kDictionaryErrorId;
    error->message = "Bad dictionary description " + quotedForMessage(description) + ": " +
                     cause + " " + familiesListing();
  }
  return false;
}

// The atoms all terms list together, or a cause when there are too many.
bool checkSize(const std::vector<DescriptionTerm>& terms, std::int32_t n, std::string* cause) {
  std::int64_t atoms = 0;
  for (const DescriptionTerm& term : terms) {
    atoms += familyAtomCount(familyRules()[term.family], term.values, n);
  }
  if (atoms > kMaxDictionaryAtoms || atoms * n > kMaxDictionaryValues) {
    *cause = "its terms list " + std::to_string(atoms) + " atoms of length " + std::to_string(n) +
             "; at most " + std::to_string(kMaxDictionaryAtoms) + " atoms and " +
             std::to_string(kMaxDictionaryValues) + " values (atoms times length) are built.";
    return false;
  }
  return true;
}

// Appends a term's atoms to the dictionary, leaving out those that repeat a
// kept atom of an earlier term (filed in the index).
void addTerm(const DescriptionTerm& term, std::int32_t n, RepeatIndex* index, Dictionary* d) {
  const FamilyRule& family = familyRules()[term.family];
  const std::int64_t count = familyAtomCount(family, term.values, n);
  std::vector<double> atoms(static_cast<std::size_t>(count * n));
  family.build(term.values, n, atoms.data());
  const std::int32_t firstColumn = d->atoms;
  for (std::int32_t k = 0; k < count; ++k) {
    const double* atom = atoms.data() + std::size_t(k) * std::size_t(n);
    const DictionaryAtom entry{family.name, term.parameter, k};
    const std::int32_t repeated = index->find(atom, d->matrix);
    if (repeated >= 0) {
      d->dropped.push_back(entry);
      d->repeats.push_back(repeated);
      continue;
    }
    d->matrix.insert(d->matrix.end(), atom, atom + n);
    d->kept.push_back(entry);
    ++d->atoms;
  }
  for (std::int32_t column = firstColumn; column < d->atoms; ++column) {
    index->add(d->matrix.data() + std::size_t(column) * std::size_t(n), column);
  }
}

}  // namespace

bool buildDictionary(const std::string& description, std::int64_t length, Dictionary* out,
                     DictionaryError* error) {
  if (out == nullptr) return refuse(description, "no place was given for the result.", error);
  if (length < 1 || length > kMaxDictionaryLength) {
    return refuse(description,
                  "the atoms' length n must be from 1 to " + std::to_string(kMaxDictionaryLength) +
                      "; it is " + std::to_string(length) + ".",
                  error);
  }
  const auto n = static_cast<std::int32_t>(length);
  std::vector<DescriptionTerm> terms;
  std::string cause;
  if (!readDescription(description, n, &terms, &cause) || !checkSize(terms, n, &cause)) {
    return refuse(description, cause, error);
  }
  Dictionary d;
  d.length = n;
  RepeatIndex index(n);
  for (const DescriptionTerm& term : terms) {
    addTerm(term, n, &index, &d);
    const std::string name = familyRules()[term.family].name;
    d.description += (d.description.empty() ? "" : "+") + name +
                     (term.parameter.empty() ? "" : ":" + term.parameter);
  }
  *out = std::move(d);
  return true;
}

std::string dictionaryMemoryMessage() {
  return "memory ran out while the dictionary was built; a description lists at most " +
         std::to_string(kMaxDictionaryValues) + " values (" +
         std::to_string(kMaxDictionaryValues * std::int64_t(sizeof(double)) >> 20) +
         " MiB), and the layer's matrix and the host's copy of it need twice that";
}

const std::vector<std::string>& dictionaryFamilies() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list;
    for (const FamilyRule& family : familyRules()) list.push_back(family.name);
    return list;
  }();
  return names;
}

}  // namespace tilevista
