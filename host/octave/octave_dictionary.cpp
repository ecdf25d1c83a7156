// tilevista_dictionary: the dictionary layer's dictionaries for Octave users,
// built by the same C++ code as the Python package's tilevista.dictionary, so
// that a description gives the same bits from both.
#include "octave_dictionary.h"

#include <octave/oct.h>
#include <octave/Cell.h>
#include <octave/ov-struct.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "call_checks.h"
#include "octave_functions.h"
#include "octave_host.h"
#include "tilevista/dictionary.h"

namespace octave_dictionary {
namespace {

const char* const kName = "tilevista_dictionary";

// The description, a character row vector (or an empty one).
std::string descriptionOf(const octave_value& given) {
  if (!given.is_string() || given.rows() > 1) {
    octave_host::raiseError(tilevista::kDictionaryErrorId, kName,
                            "DESCRIPTION must be a string (a character row vector), e.g. "
                            "\"cosine:16+legendre:8+haar+delta\"");
  }
  return given.string_value();
}

// n as the layer takes it: any whole number in 64 bits (the layer judges its
// range and names it as given); anything else is refused here.
std::int64_t lengthOf(const octave_value& n) {
  const bool scalar = n.isnumeric() && n.is_real_scalar() && !n.iscomplex();
  const double value = scalar ? n.double_value() : 0.0;
  // 2^63 is the first double outside int64_t.
  if (!scalar || !std::isfinite(value) || value != std::trunc(value) || value < -9.2e18 ||
      value > 9.2e18) {
    octave_host::raiseError(tilevista::kDictionaryErrorId, kName,
                            "N must be a whole number, the atoms' length (1 to " +
                                std::to_string(tilevista::kMaxDictionaryLength) + ")");
  }
  return static_cast<std::int64_t>(value);
}

// The atoms' families, parameters and 1-based numbers, as fields of s.
void describeAtoms(const std::vector<tilevista::DictionaryAtom>& atoms, octave_scalar_map* s) {
  const auto count = static_cast<octave_idx_type>(atoms.size());
  Cell family(count, 1), parameter(count, 1);
  ColumnVector number(count);
  for (octave_idx_type k = 0; k < count; ++k) {
    const tilevista::DictionaryAtom& atom = atoms[static_cast<std::size_t>(k)];
    family(k) = atom.family;
    parameter(k) = atom.parameter;
    number(k) = atom.number + 1.0;
  }
  s->assign("family", family);
  s->assign("parameter", parameter);
  s->assign("number", number);
}

// info: the normalised description, the kept atoms, the dropped ones.
octave_scalar_map infoOf(const tilevista::Dictionary& d) {
  octave_scalar_map info;
  info.assign("description", d.description);
  info.assign("atoms", static_cast<double>(d.atoms));
  describeAtoms(d.kept, &info);
  octave_scalar_map dropped;
  describeAtoms(d.dropped, &dropped);
  ColumnVector repeats(static_cast<octave_idx_type>(d.repeats.size()));
  for (std::size_t j = 0; j < d.repeats.size(); ++j) {
    repeats(static_cast<octave_idx_type>(j)) = d.repeats[j] + 1.0;
  }
  dropped.assign("repeats", repeats);
  info.assign("dropped", dropped);
  return info;
}

octave_value_list build(const octave_value_list& args, int nargout) {
  if (args.length() != 2) {
    octave_host::raiseError(error_id::kArgumentCount, kName,
                            "takes 2 inputs; it was given " + std::to_string(args.length()));
  }
  const std::string description = descriptionOf(args(0));
  const std::int64_t n = lengthOf(args(1));
  tilevista::Dictionary d;
  tilevista::DictionaryError error;
  if (!tilevista::buildDictionary(description, n, &d, &error)) {
    octave_host::raiseError(error.identifier, kName, error.message);
  }
  Matrix D(d.length, d.atoms);
  std::copy(d.matrix.begin(), d.matrix.end(), D.fortran_vec());
  d.matrix = std::vector<double>();  // given back before info is made
  octave_value_list values;
  values(0) = D;
  if (nargout > 1) values(1) = infoOf(d);
  return values;
}

}  // namespace

octave_value_list tilevistaDictionary(const octave_value_list& args, int nargout) {
  octave_host::startCall();
  try {
    return build(args, nargout);
  } catch (const std::bad_alloc&) {
    octave_host::raiseError(error_id::kOutOfMemory, kName, tilevista::dictionaryMemoryMessage());
  }
}

}  // namespace octave_dictionary

extern "C" OCTAVE_EXPORT octave_function* Gtilevista_dictionary(
    const octave::dynamic_library& library, bool relative) {
  return octave_functions::installFunction(octave_dictionary::tilevistaDictionary, library,
                                           relative, "tilevista_dictionary");
}
