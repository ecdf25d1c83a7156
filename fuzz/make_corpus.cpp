// Writes the fuzzer's seed corpus: valid calls, one call for each rejection the
// module makes, and one for each hazardous input it has to survive (single
// block, malformed blocks, full blocks, dependent atoms, sizes that wrap 32
// bits). Each seed is encoded in the fuzz format (call_encoding.h), run once
// through the module, and listed with its outcome, so that a seed that no
// longer does what its name says is seen at once.
//
//   make_corpus OUT_DIR     writes OUT_DIR/<name> for every seed
//   make_corpus             only lists the seeds and their outcomes
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "call_encoding.h"
#include "overflow_finding.h"
#include "host_call.h"

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]);

namespace {

using fuzzcall::Writer;
using Encode = std::function<void(Writer&)>;

// ---- Raw-mode pieces ------------------------------------------------------

void value(Writer& w, double v) {
  // Quarter-integers from -32 to 28.25 have a one-byte tag (not -0.0).
  const double q = v * 4.0;
  if (!(v == 0.0 && std::signbit(v)) && q == std::trunc(q) &&
      q >= fuzzcall::kSmallBase - fuzzcall::kSmallZero && q <= 255 - fuzzcall::kSmallZero) {
    w.u8(static_cast<unsigned>(q + fuzzcall::kSmallZero));
    return;
  }
  if (std::isnan(v)) {
    w.u8(fuzzcall::kNaN);
  } else if (std::isinf(v)) {
    w.u8(v > 0 ? fuzzcall::kPlusInf : fuzzcall::kMinusInf);
  } else {
    w.u8(fuzzcall::kRawDouble);
    w.f64(v);
  }
}

void shape(Writer& w, unsigned m, unsigned n) {
  w.u16(m);
  w.u16(n);
}

// A real double matrix with explicit values (zeros when none are given).
Encode dbl(unsigned m, unsigned n, std::vector<double> values = {}) {
  return [=](Writer& w) {
    w.u8(fuzzcall::kDouble);
    shape(w, m, n);
    if (values.empty()) {
      w.u8(fuzzcall::kZeros);
    } else {
      w.u8(fuzzcall::kExplicit);
      for (double v : values) value(w, v);
    }
  };
}
Encode identity(unsigned m, unsigned n) {
  return [=](Writer& w) {
    w.u8(fuzzcall::kDouble);
    shape(w, m, n);
    w.u8(fuzzcall::kIdentity);
  };
}
Encode randomMatrix(unsigned m, unsigned n, std::uint32_t seed, int exponent8 = 0) {
  return [=](Writer& w) {
    w.u8(fuzzcall::kDouble);
    shape(w, m, n);
    w.u8(fuzzcall::kRandom);
    w.u32(seed);
    w.u8(static_cast<unsigned>(exponent8) & 0xff);
  };
}
Encode scalar(double v) {
  return [=](Writer& w) {
    w.u8(fuzzcall::kScalar);
    value(w, v);
  };
}
Encode of(fuzzcall::ArrayKind kind, unsigned m, unsigned n) {
  return [=](Writer& w) {
    w.u8(kind);
    switch (kind) {
      case fuzzcall::kComplex: shape(w, m, n); w.u8(fuzzcall::kIdentity); w.u8(fuzzcall::kIdentity); break;
      case fuzzcall::kSparse: shape(w, m, n); w.u8(2); w.u8(0); break;
      case fuzzcall::kString: w.u8(n); w.u8(0); break;
      case fuzzcall::kSingle: shape(w, m, n); w.u8(fuzzcall::kIdentity); break;
      case fuzzcall::kInteger: w.u8(0); shape(w, m, n); w.u8(fuzzcall::kIdentity); break;
      case fuzzcall::kLogical: shape(w, m, n); w.u8(1); break;
      case fuzzcall::kEmptyDouble:  // m x 0 or 0 x n
        w.u16(n == 0 ? m : n);
        w.u8(n == 0 ? 1 : 0);
        break;
      default: shape(w, m, n); break;  // a cell of m x n empty elements is made by cell()
    }
  };
}
Encode null() {
  return [](Writer& w) { w.u8(fuzzcall::kNull); };
}
Encode cell(unsigned m, unsigned n, std::vector<Encode> elements) {
  return [=](Writer& w) {
    w.u8(fuzzcall::kCell);
    shape(w, m, n);
    for (const Encode& e : elements) e(w);
  };
}

std::vector<std::uint8_t> raw(int nlhs, std::vector<Encode> inputs) {
  Writer w;
  w.u8(0);
  w.u8(static_cast<unsigned>(inputs.size()));
  w.u8(static_cast<unsigned>(nlhs));
  for (const Encode& e : inputs) e(w);
  return w.bytes;
}

// ---- Structured-mode seeds -------------------------------------------------

struct Structured {
  unsigned rows = 4, cols = 4, Ky = 6, Kx = 6, d = 2, nc = 2;
  std::uint32_t seed = 1;
  unsigned dyKind = fuzzcall::kRandomUnit, dxKind = fuzzcall::kRandomUnit;
  unsigned blockKind = fuzzcall::kRandomBlocks;
  int exponent = 0;
  unsigned tol = fuzzcall::kTolOmitted;
  double tolValue = 0;
  unsigned max = fuzzcall::kMaxOmitted;
  double maxValue = 0;
  unsigned nlhs = 7;
  // Single values written over blocks (target 0), Dy (1) or Dx (2).
  struct Patch {
    unsigned target, position;
    double value;
  };
  std::vector<Patch> patches;
};

std::vector<std::uint8_t> encode(const Structured& s) {
  Writer w;
  w.u8(1);
  w.u8(s.rows - 1);
  w.u8(s.cols - 1);
  w.u8(s.Ky - 1);
  w.u8(s.Kx - 1);
  w.u8(s.d - 1);
  w.u8(s.nc - 1);
  w.u32(s.seed);
  w.u8(s.dyKind);
  w.u8(s.dxKind);
  w.u8(s.blockKind);
  w.u8(static_cast<unsigned>(s.exponent) & 0xff);
  w.u8(s.tol);
  if (s.tol == fuzzcall::kTolValue) value(w, s.tolValue);
  w.u8(s.max);
  if (s.max == fuzzcall::kMaxSmall || s.max == fuzzcall::kMaxWrapped) w.u8(static_cast<unsigned>(s.maxValue));
  if (s.max == fuzzcall::kMaxValue) value(w, s.maxValue);
  w.u8(s.nlhs == 7 ? 0 : 200 + (s.nlhs + 9 - 200 % 9) % 9);
  w.u8(1);  // no corrupted block
  w.u8(static_cast<unsigned>(s.patches.size()));
  for (const Structured::Patch& p : s.patches) {
    w.u8(p.target);
    w.u16(p.position);
    value(w, p.value);
  }
  return w.bytes;
}

struct Seed {
  std::string name;
  std::vector<std::uint8_t> bytes;
};

std::vector<Seed> seeds() {
  using namespace fuzzcall;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  // The worked call: blocks [3;4] and [0;1], Dy = I2, Dx = 1.
  const Encode blocks = cell(1, 2, {dbl(2, 1, {3, 4}), dbl(2, 1, {0, 1})});
  const Encode Dy = identity(2, 2), Dx = dbl(1, 1, {1});
  const Encode tol = scalar(6.5);
  std::vector<Seed> s = {
      {"valid-worked-call", raw(7, {blocks, Dy, Dx})},
      {"valid-eight-outputs", raw(8, {blocks, Dy, Dx, tol, scalar(0)})},
      {"valid-empty-optionals", raw(7, {blocks, Dy, Dx, dbl(0, 0), dbl(0, 0)})},
      {"valid-budget-wraps-to-3", raw(7, {blocks, Dy, Dx, scalar(0), scalar(4294967296.0 + 3)})},
      {"valid-budget-3.9", raw(7, {blocks, Dy, Dx, scalar(0), scalar(3.9)})},
      {"valid-budget-minus-half", raw(7, {blocks, Dy, Dx, scalar(0), scalar(-0.5)})},
      {"valid-budget-inf", raw(7, {blocks, Dy, Dx, scalar(0), scalar(inf)})},
      {"valid-budget-nan", raw(7, {blocks, Dy, Dx, scalar(0), scalar(nan)})},
      {"valid-budget-capacity", raw(7, {blocks, Dy, Dx, scalar(0), scalar(4)})},
      {"valid-tol-nan", raw(7, {blocks, Dy, Dx, scalar(nan)})},
      {"valid-all-zero-blocks", raw(7, {cell(1, 2, {dbl(2, 1), dbl(2, 1)}), Dy, Dx})},
      {"valid-nan-in-block", raw(7, {cell(1, 2, {dbl(2, 1, {nan, 1}), dbl(2, 1, {0, 1})}), Dy, Dx, scalar(0)})},
      {"valid-inf-in-block", raw(7, {cell(1, 2, {dbl(2, 1, {inf, 1}), dbl(2, 1, {0, 1})}), Dy, Dx, scalar(0)})},
      {"valid-one-pixel-blocks", raw(7, {cell(2, 2, {dbl(1, 1, {1}), dbl(1, 1, {-2}), dbl(1, 1, {0}), dbl(1, 1, {0.5})}), dbl(1, 2, {1, 2}), dbl(1, 1, {1})})},
      {"valid-random-3x5", raw(7, {cell(2, 3, {randomMatrix(3, 5, 1), randomMatrix(3, 5, 2), randomMatrix(3, 5, 3), randomMatrix(3, 5, 4), randomMatrix(3, 5, 5), randomMatrix(3, 5, 6)}), randomMatrix(3, 4, 7), randomMatrix(5, 7, 8), scalar(0)})},
      // Each rejection, in the order the gateway checks.
      {"reject-no-inputs", raw(7, {})},
      {"reject-two-inputs", raw(7, {blocks, Dy})},
      {"reject-six-inputs", raw(7, {blocks, Dy, Dx, tol, scalar(5), scalar(5)})},
      {"reject-eight-inputs-no-outputs", raw(0, {blocks, Dy, Dx, tol, tol, tol, tol, tol})},
      {"reject-complex-dy", raw(7, {blocks, of(kComplex, 2, 2), Dx})},
      {"reject-sparse-dy", raw(7, {blocks, of(kSparse, 2, 2), Dx})},
      {"reject-char-dy", raw(7, {blocks, of(kString, 1, 2), Dx})},
      {"reject-single-dy", raw(7, {blocks, of(kSingle, 2, 2), Dx})},
      {"reject-int8-dx", raw(7, {blocks, Dy, of(kInteger, 1, 1)})},
      {"reject-cell-dx", raw(7, {blocks, Dy, cell(1, 1, {null()})})},
      {"reject-logical-max", raw(7, {blocks, Dy, Dx, tol, of(kLogical, 1, 1)})},
      {"reject-empty-string-tol", raw(7, {blocks, Dy, Dx, of(kString, 1, 0)})},
      {"reject-empty-cell", raw(7, {cell(0, 0, {}), Dy, Dx})},
      {"reject-empty-double-blocks", raw(7, {dbl(0, 0), Dy, Dx})},
      {"reject-not-a-cell", raw(7, {dbl(2, 1, {3, 4}), Dy, Dx})},
      {"reject-dy-too-long", raw(7, {blocks, identity(3, 2), Dx})},
      {"reject-dy-without-atoms", raw(7, {blocks, of(kEmptyDouble, 2, 0), Dx})},
      {"reject-dx-too-long", raw(7, {blocks, Dy, dbl(2, 1, {1, 1})})},
      {"reject-one-atom-each", raw(7, {blocks, dbl(2, 1, {1, 0}), Dx})},
      {"reject-tol-not-scalar", raw(7, {blocks, Dy, Dx, dbl(1, 2, {1, 2})})},
      {"reject-max-not-scalar", raw(7, {blocks, Dy, Dx, tol, dbl(2, 1, {1, 2})})},
      {"reject-six-outputs", raw(6, {blocks, Dy, Dx})},
      {"reject-no-outputs", raw(0, {blocks, Dy, Dx})},
      {"reject-negative-tol", raw(7, {blocks, Dy, Dx, scalar(-1)})},
      {"reject-max-above-capacity", raw(7, {blocks, Dy, Dx, tol, scalar(5)})},
      {"reject-negative-max", raw(7, {blocks, Dy, Dx, tol, scalar(-1)})},
      // Hazards the module must survive.
      {"mended-single-block", raw(7, {cell(1, 1, {dbl(2, 1, {3, 4})}), Dy, Dx})},
      {"mended-block-wrong-size", raw(7, {cell(2, 2, {dbl(2, 1, {3, 4}), dbl(2, 1), dbl(2, 2), dbl(2, 1)}), Dy, Dx})},
      {"mended-block-char", raw(7, {cell(2, 2, {dbl(2, 1), dbl(2, 1), of(kString, 1, 2), dbl(2, 1)}), Dy, Dx})},
      {"mended-block-sparse", raw(7, {cell(2, 2, {dbl(2, 1), dbl(2, 1), of(kSparse, 2, 1), dbl(2, 1)}), Dy, Dx})},
      {"mended-block-complex", raw(7, {cell(2, 2, {dbl(2, 1), dbl(2, 1), of(kComplex, 2, 1), dbl(2, 1)}), Dy, Dx})},
      {"mended-block-single", raw(7, {cell(2, 2, {dbl(2, 1), dbl(2, 1), of(kSingle, 2, 1), dbl(2, 1)}), Dy, Dx})},
      {"mended-block-empty-element", raw(7, {cell(2, 2, {dbl(2, 1), dbl(2, 1), null(), dbl(2, 1)}), Dy, Dx})},
      {"mended-block-nested-cell", raw(7, {cell(2, 2, {dbl(2, 1), dbl(2, 1), cell(1, 1, {dbl(2, 1)}), dbl(2, 1)}), Dy, Dx})},
      {"mended-first-block-disagrees", raw(7, {cell(1, 2, {dbl(2, 1, {3, 4}), dbl(3, 1, {1, 2, 3})}), identity(3, 2), Dx})},
      {"mended-full-blocks", raw(7, {cell(1, 3, {randomMatrix(2, 2, 17, 5), randomMatrix(2, 2, 18, 5), dbl(2, 2, {1, -2, 0.5, 3})}), randomMatrix(2, 3, 19), randomMatrix(2, 3, 20), scalar(0)})},
      {"mended-dependent-atoms", raw(7, {cell(1, 2, {dbl(2, 1, {2, -1}), dbl(2, 1, {0, 3})}), dbl(2, 2, {1, 0, 1, 1e-9}), Dx, scalar(0)})},
      {"mended-duplicate-atoms-large", raw(7, {cell(1, 2, {dbl(3, 1, {1e12, -2e12, 3e12}), dbl(3, 1, {-1e12, 5e11, 2e12})}), dbl(3, 2, {1, 2, 3, 1, 2, 3}), dbl(1, 1, {1}), scalar(0)})},
      {"mended-dictionaries-wrap", raw(7, {cell(1, 2, {dbl(1, 1, {1}), dbl(1, 1, {1})}), dbl(1, 65535), dbl(1, 65535)})},
      {"mended-block-storage-wraps", raw(7, {cell(1, 1, {dbl(46341, 1)}), dbl(46341, 1), dbl(1, 46341)})},
      {"mended-zero-dictionaries", raw(7, {blocks, dbl(2, 2), dbl(1, 1)})},
      // An atom of norm just below DBL_MAX whose reduced norm rounds up to infinity.
      {"mended-overflowing-reduced-norm",
       raw(7, {cell(1, 1, {dbl(2, 4, {-0.0037818608510115093, -0.8524159776877166, 0.57390294788160645,
                                      -0.87186534565431573, -0.28937927333176505, 0.883673895885418,
                                      -0.24039341955998128, 0.52584013447027056})}),
               dbl(2, 2, {-std::numeric_limits<double>::max(), 0.50557670085499362, 0.76268365812864669,
                          -0.97666161089910197}),
               dbl(4, 4, overflowFindingDictionary()), scalar(0)})},
      {"mended-subnormal-atom-norm", raw(7, {cell(1, 2, {dbl(2, 1, {1e308, 1.5e308}), dbl(2, 1, {0, 1})}), dbl(2, 2, {1e-160, 0, 1e-160, 1e-170}), dbl(1, 1, {1e-150}), scalar(0)})},
  };

  // Structured calls: every dictionary and block kind, each optional input.
  Structured base;
  for (unsigned k = 0; k < kDictionaryKinds; ++k) {
    Structured c = base;
    c.dyKind = k;
    c.dxKind = (k + 1) % kDictionaryKinds;
    c.seed = 100 + k;
    c.tol = kTolZero;
    s.push_back({"structured-dictionary-" + std::to_string(k), encode(c)});
  }
  for (unsigned k = 0; k < kBlockKinds; ++k) {
    Structured c = base;
    c.blockKind = k;
    c.seed = 200 + k;
    c.exponent = k == kScaledBlocks ? 40 : 0;
    c.tol = kTolTight;
    s.push_back({"structured-blocks-" + std::to_string(k), encode(c)});
  }
  for (unsigned k = 0; k < kTolChoices; ++k) {
    Structured c = base;
    c.tol = k;
    c.tolValue = 2.5;
    c.seed = 300 + k;
    s.push_back({"structured-tol-" + std::to_string(k), encode(c)});
  }
  for (unsigned k = 0; k < kMaxChoices; ++k) {
    Structured c = base;
    c.tol = kTolZero;
    c.max = k;
    c.maxValue = 5;
    c.seed = 400 + k;
    s.push_back({"structured-max-" + std::to_string(k), encode(c)});
  }
  {
    Structured c = base;
    c.rows = 8, c.cols = 8, c.Ky = 12, c.Kx = 10, c.d = 4, c.nc = 4;
    c.dyKind = kCosine, c.dxKind = kCosine, c.blockKind = kAtomCombinations, c.tol = kTolZero;
    s.push_back({"structured-cosine-8x8", encode(c)});
    c.rows = 16, c.cols = 3, c.Ky = 3, c.Kx = 24, c.d = 3, c.nc = 5;
    c.dyKind = kDuplicated, c.dxKind = kNearlyDependent, c.blockKind = kLargeBlocks;
    s.push_back({"structured-redundant-large", encode(c)});
    c = base;
    c.tol = kTolZero;
    c.patches = {{0, 3, nan}, {1, 5, inf}, {2, 7, 1e-310}, {0, 9, -1e300}};
    s.push_back({"structured-special-values", encode(c)});
    c = base;
    c.nlhs = 6;
    s.push_back({"structured-six-outputs", encode(c)});
  }
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "";
  for (const Seed& seed : seeds()) {
    if (!dir.empty()) {
      std::ofstream out(dir + "/" + seed.name, std::ios::binary);
      out.write(reinterpret_cast<const char*>(seed.bytes.data()),
                static_cast<std::streamsize>(seed.bytes.size()));
      if (!out) {
        std::fprintf(stderr, "cannot write %s/%s\n", dir.c_str(), seed.name.c_str());
        return 1;
      }
    }
    const fuzzcall::Call call = fuzzcall::decode(seed.bytes.data(), seed.bytes.size());
    std::vector<const mxArray*> inputs;
    for (const host::Array& a : call.inputs) inputs.push_back(a.get());
    const host::CallResult r = host::callMex(&mexFunction, inputs, call.nlhs);
    std::string outcome = r.failed ? "error: " + r.error : "ok";
    if (!r.failed) outcome += ", " + std::to_string(static_cast<long>(mxGetPr(r.outputs[6].get())[0])) + " atoms";
    for (char& c : outcome)
      if (c == '\n') c = ' ';
    std::printf("%-34s %s\n", seed.name.c_str(), outcome.c_str());
  }
  return 0;
}
