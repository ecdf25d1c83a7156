#include "octave_host.h"

#include <octave/quit.h>

#include <csignal>
#include <memory>
#include <new>

#include "index_columns.h"

namespace octave_host {
namespace {

// Held back for the message of an error raised when memory has run out; never
// written, so it costs address space, not memory.
constexpr std::size_t kErrorReserve = std::size_t{1} << 20;
std::unique_ptr<char[]> errorReserve;

// What the checks need to know of an Octave value.
ArrayFacts factsOf(const octave_value& value, std::vector<NDArray>* keep) {
  ArrayFacts facts;
  if (!value.is_defined()) return facts;
  facts.exists = true;
  facts.isCell = value.iscell();
  facts.isDouble = value.is_double_type();
  facts.isChar = value.is_string();
  facts.isComplex = value.iscomplex();
  facts.isSparse = value.issparse();
  facts.className = value.class_name();
  const dim_vector dims = value.dims();
  facts.rows = dims.ndims() > 0 ? dims(0) : 0;
  facts.cols = 1;
  for (int k = 1; k < dims.ndims(); ++k) facts.cols *= dims(k);
  if (facts.isDouble && !facts.isCell && !facts.isSparse && !facts.isComplex) {
    keep->push_back(value.array_value());
    facts.values = keep->back().data();
  }
  return facts;
}

// A new, uninitialised m x n matrix for block q, and its values.
double* place(std::vector<Matrix>& output, std::int32_t q, octave_idx_type m, octave_idx_type n) {
  Matrix& matrix = output[static_cast<std::size_t>(q)];
  matrix = Matrix(m, n);
  return matrix.fortran_vec();
}

}  // namespace

OctaveInputs::OctaveInputs(const octave_value_list& args, int count) : args_(args), count_(count) {
  if (count > 0 && args(0).iscell()) blocks_ = args(0).cell_value();
}

ArrayFacts OctaveInputs::input(int position) const { return factsOf(args_(position), &keep_); }

ArrayFacts OctaveInputs::block(std::int64_t i) const {
  return factsOf(blocks_(static_cast<octave_idx_type>(i)), &keep_);
}

OctaveOutputs::OctaveOutputs(const CheckedCall& call, bool duals, bool bases)
    : call_(call), wantDuals_(duals), wantBases_(bases) {
  const auto Q = static_cast<std::size_t>(call.blockCount);
  for (auto* output : {&approximations_, &yIndices_, &xIndices_, &coefficients_}) output->resize(Q);
  if (duals) duals_.resize(Q);
  if (bases) bases_.resize(Q);
}

BlockOutputs OctaveOutputs::blockOutputs(std::int32_t q, std::int32_t m) {
  const auto N = static_cast<octave_idx_type>(call_.rows) * call_.cols;
  BlockOutputs out;
  out.approximation = place(approximations_, q, call_.rows, call_.cols);
  if (m == 0) return out;  // the other outputs keep an empty element
  out.yIndex = indexSlots(place(yIndices_, q, m, 1));
  out.xIndex = indexSlots(place(xIndices_, q, m, 1));
  out.coefficients = place(coefficients_, q, m, 1);
  if (wantDuals_) out.dual = place(duals_, q, N, m);
  if (wantBases_) out.ortho = place(bases_, q, N, m);
  return out;
}

void OctaveOutputs::finish() {
  for (std::vector<Matrix>* indices : {&yIndices_, &xIndices_}) {
    for (Matrix& column : *indices) {
      if (column.numel() > 0) {
        widenToOneBasedDoubles(column.fortran_vec(), static_cast<std::int32_t>(column.numel()));
      }
    }
  }
}

Cell OctaveOutputs::cellOf(const std::vector<Matrix>& output) const {
  Cell cell(dim_vector(static_cast<octave_idx_type>(call_.gridRows),
                       static_cast<octave_idx_type>(call_.gridCols)));
  // A value made from a 1 x 1 matrix is a scalar of its own, as Octave's MEX
  // layer returns it; the others share the matrix's storage.
  for (std::size_t q = 0; q < output.size(); ++q) {
    if (output[q].numel() > 0) cell(static_cast<octave_idx_type>(q)) = output[q];
  }
  return cell;
}

void OctaveConsole::print(const std::string& text) {
  octave_stdout << text;
  octave_stdout.flush();
}

OctaveCall::OctaveCall(const octave_value_list& args, int count, int outputs, bool duals,
                       bool bases)
    : inputs_(args, count), outputs_(outputs), duals_(duals), bases_(bases) {}

PursuitSink& OctaveCall::sink(const CheckedCall& call) {
  sink_ = std::make_unique<OctaveOutputs>(call, duals_, bases_);
  return *sink_;
}

bool interruptPending() {
  // Raised above zero by Octave's SIGINT handler, which may run on another
  // thread: read it afresh every time.
  return *static_cast<volatile std::sig_atomic_t*>(&octave_interrupt_state) > 0;
}

void startCall() {
  octave_quit();
  if (!errorReserve) errorReserve.reset(new (std::nothrow) char[kErrorReserve]);
}

void endInterrupted() {
  octave_signal_caught = 0;
  octave_handle_signal();
  throw octave::interrupt_exception();  // the interrupt was already taken in hand
}

void raiseError(const char* identifier, const char* name, const std::string& text) {
  errorReserve.reset();
  if (!text.empty() && text.back() == '\n') {
    error_with_id(identifier, "%s: %s\n", name, text.substr(0, text.size() - 1).c_str());
  }
  error_with_id(identifier, "%s: %s", name, text.c_str());
}

}  // namespace octave_host
