// libFuzzer target: every input is one call of mexFunction through the
// substitute host (format in call_encoding.h). Besides what the sanitizers
// catch, each call must leave the host as it found it and keep the module's
// contract; any breach aborts, which libFuzzer reports as a crash.
//
// Invariants checked:
//  - no host array outlives the call, and the inputs are not changed;
//  - a failed call has no outputs and a non-empty error, raised by the module
//    itself (no C++ exception escaping it);
//  - a successful call asked for at least 7 outputs and filled exactly 7, of the
//    documented shapes, with consistent atom counts (at most cap per block, the
//    total equal to their sum) and 1-based indices inside the dictionaries;
//  - for finite inputs, every orthonormal vector is finite with unit norm;
//  - for tame inputs (finite, magnitudes between 1e-30 and 1e30, or 0) every
//    output is finite and no block holds the same atom twice;
//  - structured calls give identical outputs and console text when repeated,
//    the first time on one thread, then on three (the outputs may not depend on
//    the thread count); other calls run on two threads.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "broken_invariant.h"
#include "call_encoding.h"
#include "host_call.h"

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

namespace {

// ---- Cost of a call -------------------------------------------------------

// Rough upper bound of the floating-point work and of the doubles stored, had
// the call every block filled to capacity. Calls above the bounds are skipped:
// they exercise the same code as smaller ones, only slower. Reads the arrays as
// the gateway would, without judging them.
bool tooExpensive(const fuzzcall::Call& call) {
  if (call.inputs.size() < 3) return false;
  const mxArray* blocks = call.inputs[0].get();
  if (!mxIsCell(blocks) || mxIsEmpty(blocks)) return false;
  const double Q = static_cast<double>(mxGetNumberOfElements(blocks));
  const mxArray* sizeBlock = mxGetCell(blocks, Q > 1 ? 1 : 0);
  if (sizeBlock == nullptr) return false;
  const double rows = static_cast<double>(mxGetM(sizeBlock));
  const double cols = static_cast<double>(mxGetN(sizeBlock));
  const double Ky = static_cast<double>(mxGetN(call.inputs[1].get()));
  const double Kx = static_cast<double>(mxGetN(call.inputs[2].get()));
  const double N = rows * cols;
  const double cap = std::min(Ky * Kx, N);
  // Sizes past the 32-bit range are refused before any work: cheap. Were they
  // not, the call would run out of time or memory, and that is a finding.
  const double int32Max = 2147483647.0;
  if (N > int32Max || Ky * Kx > int32Max || N * cap > int32Max || cap * Q > int32Max) {
    return false;
  }
  const double scoring =
      Ky * Kx + std::min(Ky * N + Ky * cols * Kx, N * Kx + Ky * rows * Kx);
  const double atoms = cap * Q;
  const double work = Q * scoring + atoms * (scoring + 5.0 * N * cap);
  const double stored = Q * 2.0 * N * cap + Ky * Kx;
  return work > 4e8 || stored > 3e7;
}

// ---- Inspecting arrays ----------------------------------------------------

// True when every double of a (recursively through cells) is 0 or finite with a
// magnitude in [smallest, largest]. Non-double arrays pass: the call rejects them.
bool withinRange(const mxArray* a, double smallest, double largest) {
  if (a == nullptr) return true;
  if (mxIsCell(a)) {
    for (std::size_t i = 0; i < mxGetNumberOfElements(a); ++i)
      if (!withinRange(mxGetCell(a, i), smallest, largest)) return false;
    return true;
  }
  if (!mxIsDouble(a) || mxIsSparse(a)) return true;
  const std::size_t n = mxGetNumberOfElements(a);
  for (const double* part : {mxGetPr(a), mxGetPi(a)}) {
    if (part == nullptr) continue;
    for (std::size_t i = 0; i < n; ++i) {
      const double m = std::fabs(part[i]);
      if (!(m == 0.0 || (m >= smallest && m <= largest))) return false;
    }
  }
  return true;
}

// What a call's inputs let the checks expect of its outputs.
struct Expectations {
  bool unitVectors = true;  // orthonormal vectors finite with unit norm
  bool tame = true;         // every output finite, no atom twice in a block
};

Expectations expectationsOf(const fuzzcall::Call& call) {
  Expectations e;
  for (std::size_t i = 0; i < call.inputs.size(); ++i) {
    const mxArray* a = call.inputs[i].get();
    e.unitVectors = e.unitVectors && withinRange(a, 0.0, DBL_MAX);
    e.tame = e.tame && withinRange(a, 1e-30, 1e30);
  }
  return e;
}

// Bitwise equality of two arrays, cells compared element by element.
bool sameArray(const mxArray* a, const mxArray* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (mxGetClassID(a) != mxGetClassID(b) || mxGetM(a) != mxGetM(b) || mxGetN(a) != mxGetN(b) ||
      mxIsComplex(a) != mxIsComplex(b) || mxIsSparse(a) != mxIsSparse(b)) {
    return false;
  }
  const std::size_t n = mxGetNumberOfElements(a);
  if (mxIsCell(a)) {
    for (std::size_t i = 0; i < n; ++i)
      if (!sameArray(mxGetCell(a, i), mxGetCell(b, i))) return false;
    return true;
  }
  if (mxIsDouble(a) && !mxIsSparse(a)) {
    if (std::memcmp(mxGetPr(a), mxGetPr(b), n * sizeof(double)) != 0) return false;
    if (mxIsComplex(a) && std::memcmp(mxGetPi(a), mxGetPi(b), n * sizeof(double)) != 0) return false;
  }
  return true;
}

bool sameResult(const host::CallResult& a, const host::CallResult& b) {
  if (a.failed != b.failed || a.error != b.error || a.console != b.console ||
      a.outputs.size() != b.outputs.size()) {
    return false;
  }
  for (std::size_t o = 0; o < a.outputs.size(); ++o)
    if (!sameArray(a.outputs[o].get(), b.outputs[o].get())) return false;
  return true;
}

// ---- The contract of a finished call ---------------------------------------

void checkFailure(const host::CallResult& r) {
  if (!r.outputs.empty()) broken("a failed call returned %zu outputs", r.outputs.size());
  if (r.error.empty()) broken("a failed call has no error text");
  if (r.error.rfind("Unexpected C++ exception", 0) == 0) {
    broken("an exception escaped the module: %s", r.error.c_str());
  }
}

const mxArray* cellElement(const mxArray* c, std::size_t i) { return mxGetCell(c, i); }

void checkSuccess(const fuzzcall::Call& call, const host::CallResult& r, const Expectations& expect) {
  if (call.nlhs < 7) broken("a call with nlhs = %d succeeded", call.nlhs);
  if (r.outputs.size() != static_cast<std::size_t>(call.nlhs)) broken("output slots changed");
  for (std::size_t o = 0; o < r.outputs.size(); ++o) {
    if ((o < 7) != (r.outputs[o] != nullptr)) broken("output %zu filled wrongly", o + 1);
  }
  if (call.inputs.size() < 3) broken("a call with %zu inputs succeeded", call.inputs.size());
  const mxArray* blocks = call.inputs[0].get();
  const std::size_t d = mxGetM(blocks), nc = mxGetN(blocks), Q = d * nc;
  const std::size_t Ky = mxGetN(call.inputs[1].get()), Kx = mxGetN(call.inputs[2].get());
  const mxArray* firstBlock = cellElement(blocks, 0);
  if (firstBlock == nullptr) broken("success with an empty first block");
  const std::size_t rows = mxGetM(firstBlock), cols = mxGetN(firstBlock), N = rows * cols;
  const std::size_t cap = std::min(Ky * Kx, N);

  for (int o = 0; o < 6; ++o) {
    const mxArray* out = r.outputs[o].get();
    if (!mxIsCell(out) || mxGetM(out) != d || mxGetN(out) != nc) {
      broken("output %d is not a %zu x %zu cell", o + 1, d, nc);
    }
  }
  const mxArray* total = r.outputs[6].get();
  if (!mxIsDouble(total) || mxGetM(total) != 1 || mxGetN(total) != 1) broken("output 7 shape");

  double sum = 0;
  for (std::size_t i = 0; i < Q; ++i) {
    const mxArray* block = cellElement(blocks, i);
    const mxArray* approx = cellElement(r.outputs[0].get(), i);
    if (block == nullptr || mxGetM(block) != rows || mxGetN(block) != cols || !mxIsDouble(block) ||
        mxIsComplex(block) || mxIsSparse(block)) {
      broken("success with block %zu not a real double %zu x %zu", i + 1, rows, cols);
    }
    if (approx == nullptr || !mxIsDouble(approx) || mxGetM(approx) != rows ||
        mxGetN(approx) != cols) {
      broken("approximation %zu has the wrong shape", i + 1);
    }
    const mxArray* y = cellElement(r.outputs[1].get(), i);
    const std::size_t m = y == nullptr ? 0 : mxGetM(y);
    if (m > cap) broken("block %zu holds %zu atoms, capacity %zu", i + 1, m, cap);
    const std::size_t shape[5][2] = {{m, 1}, {m, 1}, {N, m}, {m, 1}, {N, m}};
    for (int o = 1; o < 6; ++o) {
      const mxArray* e = cellElement(r.outputs[o].get(), i);
      if (m == 0) {
        if (e != nullptr) broken("output %d element %zu should be empty", o + 1, i + 1);
        continue;
      }
      if (e == nullptr || !mxIsDouble(e) || mxGetM(e) != shape[o - 1][0] ||
          mxGetN(e) != shape[o - 1][1]) {
        broken("output %d element %zu is not %zu x %zu", o + 1, i + 1, shape[o - 1][0],
               shape[o - 1][1]);
      }
    }
    sum += static_cast<double>(m);
    if (m == 0) {
      for (std::size_t k = 0; k < N; ++k)
        if (mxGetPr(approx)[k] != 0.0) broken("block %zu has no atom but a non-zero approximation", i + 1);
      continue;
    }
    const double* yIndex = mxGetPr(y);
    const double* xIndex = mxGetPr(cellElement(r.outputs[2].get(), i));
    std::set<std::pair<double, double>> atoms;
    for (std::size_t k = 0; k < m; ++k) {
      if (!(yIndex[k] >= 1 && yIndex[k] <= static_cast<double>(Ky) && yIndex[k] == std::trunc(yIndex[k])) ||
          !(xIndex[k] >= 1 && xIndex[k] <= static_cast<double>(Kx) && xIndex[k] == std::trunc(xIndex[k]))) {
        broken("block %zu atom %zu has indices (%g, %g) outside %zu x %zu", i + 1, k + 1, yIndex[k],
               xIndex[k], Ky, Kx);
      }
      if (expect.tame && !atoms.insert({yIndex[k], xIndex[k]}).second) {
        broken("block %zu holds atom (%g, %g) twice", i + 1, yIndex[k], xIndex[k]);
      }
    }
    if (expect.tame) {
      for (int o = 0; o < 6; ++o) {
        const mxArray* e = cellElement(r.outputs[o].get(), i);
        for (std::size_t k = 0; k < mxGetNumberOfElements(e); ++k)
          if (!std::isfinite(mxGetPr(e)[k])) broken("output %d element %zu is not finite", o + 1, i + 1);
      }
    }
    if (!expect.unitVectors) continue;
    const double* U = mxGetPr(cellElement(r.outputs[5].get(), i));
    for (std::size_t k = 0; k < m; ++k) {
      double s = 0;
      for (std::size_t p = 0; p < N; ++p) s += U[k * N + p] * U[k * N + p];
      if (!(std::fabs(std::sqrt(s) - 1.0) <= 1e-6)) {
        broken("block %zu orthonormal vector %zu has norm %.17g", i + 1, k + 1, std::sqrt(s));
      }
    }
  }
  if (mxGetPr(total)[0] != sum) broken("total atoms %g, blocks hold %g", mxGetPr(total)[0], sum);
}

host::CallResult run(const fuzzcall::Call& call, const char* threads) {
  setenv("TILEVISTA_THREADS", threads, 1);
  std::vector<const mxArray*> inputs;
  for (const host::Array& a : call.inputs) inputs.push_back(a.get());
  return host::callMex(&mexFunction, inputs, call.nlhs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::size_t baseline = host::liveArrayCount();
  {
    const fuzzcall::Call call = fuzzcall::decode(data, size);
    if (!tooExpensive(call)) {
      std::vector<host::Array> before;
      for (const host::Array& a : call.inputs) before.emplace_back(mxDuplicateArray(a.get()));
      const host::CallResult result = run(call, call.structured ? "1" : "2");
      if (result.failed) {
        checkFailure(result);
      } else {
        checkSuccess(call, result, expectationsOf(call));
      }
      for (std::size_t i = 0; i < call.inputs.size(); ++i) {
        if (!sameArray(before[i].get(), call.inputs[i].get())) broken("input %zu was changed", i + 1);
      }
      if (call.structured && !sameResult(result, run(call, "3"))) {
        broken("the same call gave different results on one thread and on three");
      }
    }
  }
  if (host::liveArrayCount() != baseline) {
    broken("%zu host arrays outlived the call", host::liveArrayCount() - baseline);
  }
  return 0;
}
