// Outputs and console text of a fixed set of calls, compared bit for bit with a
// record kept in tests/data/recorded_outputs.txt. The record was taken from the
// straightforward driver (linear scan over the cached candidates, full re-summation
// of the residual energies, N x cap work matrices up front); any later rework of
// the driver's inside must reproduce it exactly.
//
// The executable links the reference (netlib) BLAS, whose results do not depend
// on the processor, so the record holds on any x86-64 machine. For the same
// reason its core is built without the generated kernels (tests/CMakeLists.txt):
// the blocks are scored on the BLAS route, whose products are the reference
// BLAS's; the kernels' sums depend on the processor's instruction set. The
// basis work takes the BLAS route too (TILEVISTA_BASIS=blas, set here whatever
// the environment holds): the fused kernels' sums depend on the instruction set
// as well. Every call checks that it took those routes.
//
// TILEVISTA_RECORD=<file> writes a new record instead of comparing.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <string>

#include "test_arrays.h"

using namespace testing_arrays;

namespace {

// FNV-1a over bytes: a checksum that changes with any bit of any output.
struct Checksum {
  std::uint64_t h = 1469598103934665603ull;
  void add(const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 1099511628211ull;
  }
  void add(std::uint64_t v) { add(&v, sizeof v); }
};

void addArray(Checksum& sum, const mxArray* a) {
  if (a == nullptr) {
    sum.add(std::uint64_t{0xE3E3});
    return;
  }
  sum.add(static_cast<std::uint64_t>(mxGetClassID(a)));
  sum.add(static_cast<std::uint64_t>(mxGetM(a)));
  sum.add(static_cast<std::uint64_t>(mxGetN(a)));
  if (mxIsCell(a)) {
    for (std::size_t i = 0; i < mxGetNumberOfElements(a); ++i) addArray(sum, mxGetCell(a, i));
  } else if (mxGetPr(a) != nullptr) {
    sum.add(mxGetPr(a), mxGetNumberOfElements(a) * sizeof(double));
  }
}

// Uniform values in [-1, 1) from the raw 64-bit generator: identical on every
// platform, unlike the standard distributions.
std::vector<double> uniform(std::size_t n, std::mt19937_64& rng) {
  std::vector<double> v(n);
  for (double& x : v) x = static_cast<double>(rng() >> 11) * 0x1p-52 - 1.0;
  return v;
}

struct Call {
  Problem problem;
  std::vector<double> optional;  // tol, maxAtoms (NaN entries stay as given)
  int optionalCount = 0;
};

Call randomCall(std::size_t rows, std::size_t cols, std::size_t Ky, std::size_t Kx,
                std::size_t d, std::size_t nc, std::uint64_t seed, double tolFraction,
                double budget) {
  std::mt19937_64 rng(seed);
  Call c;
  Problem& p = c.problem;
  p.rows = rows, p.cols = cols, p.Ky = Ky, p.Kx = Kx, p.d = d, p.nc = nc;
  double energy = 0;
  for (std::size_t i = 0; i < d * nc; ++i) {
    p.blocks.push_back(uniform(rows * cols, rng));
    for (double v : p.blocks.back()) energy += v * v;
  }
  p.Dy = uniform(rows * Ky, rng);
  p.Dx = uniform(cols * Kx, rng);
  p.build();
  c.optional = {tolFraction * energy, budget};
  c.optionalCount = 2;
  return c;
}

std::map<std::string, std::function<Call()>> calls() {
  std::map<std::string, std::function<Call()>> all;
  all["random-8x8-16x16-tol"] = [] { return randomCall(8, 8, 16, 16, 6, 6, 1, 0.3, 0); };
  all["random-8x8-16x16-deep-tol"] = [] { return randomCall(8, 8, 16, 16, 5, 7, 2, 0.01, 0); };
  all["random-4x6-5x9-tol2"] = [] { return randomCall(4, 6, 5, 9, 3, 5, 3, 0.0, 0); };
  all["random-6x3-12x2-budget"] = [] { return randomCall(6, 3, 12, 2, 5, 2, 4, 0.0, 25); };
  all["random-16x16-24x20-tol"] = [] { return randomCall(16, 16, 24, 20, 2, 3, 5, 0.2, 0); };
  all["random-3x7-1x9-capacity"] = [] { return randomCall(3, 7, 1, 9, 2, 3, 6, 0.0, 54); };
  all["random-5x1-8x1-default-tol"] = [] {
    Call c = randomCall(5, 1, 8, 1, 4, 1, 7, 0.0, 0);
    c.optionalCount = 0;
    return c;
  };
  all["random-1x1-3x2-pixels"] = [] { return randomCall(1, 1, 3, 2, 3, 3, 8, 0.0, 0); };
  all["ties"] = [] {
    // Equal blocks and an identity pair: every score ties, within and across blocks.
    Call c;
    Problem& p = c.problem;
    p.rows = 2, p.cols = 2, p.Ky = 2, p.Kx = 2, p.d = 2, p.nc = 2;
    p.blocks.assign(4, {1, 1, 1, 1});
    p.Dy = {1, 0, 0, 1};
    p.Dx = {1, 0, 0, 1};
    p.build();
    c.optional = {1.5, 0};
    c.optionalCount = 2;
    return c;
  };
  all["nan-block"] = [] {
    Call c = randomCall(4, 4, 6, 5, 2, 3, 9, 0.0, 30);
    c.problem.blocks[2][5] = std::numeric_limits<double>::quiet_NaN();
    c.problem.build();
    return c;
  };
  all["nan-tol"] = [] {
    Call c = randomCall(4, 4, 6, 5, 2, 2, 10, 0.0, 0);
    c.optional[0] = std::numeric_limits<double>::quiet_NaN();
    return c;
  };
  all["zero-blocks"] = [] {
    Call c = randomCall(3, 3, 4, 4, 2, 2, 11, 0.0, 0);
    for (auto& b : c.problem.blocks) b.assign(9, 0.0);
    c.problem.build();
    return c;
  };
  all["large-data-full-blocks"] = [] {
    Call c = randomCall(2, 2, 3, 3, 1, 3, 12, 0.0, 0);
    for (auto& b : c.problem.blocks)
      for (double& v : b) v *= 1e12;
    c.problem.build();
    return c;
  };
  all["duplicate-atoms"] = [] {
    Call c = randomCall(3, 2, 3, 2, 2, 2, 13, 0.0, 0);
    for (std::size_t r = 0; r < 3; ++r) c.problem.Dy[3 + r] = c.problem.Dy[r];
    for (auto& b : c.problem.blocks)
      for (double& v : b) v *= 1e12;
    c.problem.build();
    return c;
  };
  all["rejected-budget"] = [] { return randomCall(3, 3, 3, 3, 2, 2, 14, 0.0, 37); };
  all["rejected-tol"] = [] { return randomCall(3, 3, 3, 3, 2, 2, 15, -0.5, 0); };
  return all;
}

struct Record {
  std::string console, outputs;
  double totalAtoms = -1;
  double firstCoefficient = 0;
  std::string scoringRoute;  // of the pursuit, when the call ran one
  std::string basisRoute;
};

std::string hex(std::uint64_t h) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, h);
  return text;
}

Record run(const Call& c) {
  std::vector<host::Array> optional;
  std::vector<const mxArray*> inputs = {c.problem.blockCell.get(), c.problem.dictionaryY.get(),
                                        c.problem.dictionaryX.get()};
  for (int i = 0; i < c.optionalCount; ++i) {
    optional.push_back(scalar(c.optional[static_cast<std::size_t>(i)]));
    inputs.push_back(optional.back().get());
  }
  const ModuleCall call = callModule(inputs);
  Record r;
  Checksum console;
  console.add(call.result.console.data(), call.result.console.size());
  console.add(call.result.error.data(), call.result.error.size());
  r.console = hex(console.h);
  Checksum outputs;
  for (const host::Array& o : call.result.outputs) addArray(outputs, o.get());
  r.outputs = hex(outputs.h);
  if (!call.result.failed) {
    r.scoringRoute = call.statistics.scoringRoute;
    r.basisRoute = call.statistics.basisRoute;
    r.totalAtoms = call.totalAtoms();
    for (std::size_t i = 0; i < c.problem.blocks.size(); ++i) {
      const std::vector<double> coefficients = call.elementValues(4, i);
      if (!coefficients.empty()) {
        r.firstCoefficient = coefficients[0];
        break;
      }
    }
  }
  return r;
}

std::string recordPath() { return std::string(TILEVISTA_SOURCE_DIR) + "/tests/data/recorded_outputs.txt"; }

TEST(RecordedOutputs, EveryCallReproducesItsRecordBitForBit) {
  ASSERT_EQ(setenv("TILEVISTA_BASIS", "blas", 1), 0);
  const auto all = calls();
  if (const char* target = std::getenv("TILEVISTA_RECORD")) {
    std::ofstream out(target);
    out << "# name console-and-error-checksum outputs-checksum total-atoms first-coefficient\n";
    for (const auto& [name, make] : all) {
      const Record r = run(make());
      char line[256];
      std::snprintf(line, sizeof line, "%s %s %s %.17g %.17g\n", name.c_str(), r.console.c_str(),
                    r.outputs.c_str(), r.totalAtoms, r.firstCoefficient);
      out << line;
    }
    GTEST_SKIP() << "record written to " << target;
  }
  std::ifstream in(recordPath());
  ASSERT_TRUE(in.good()) << recordPath();
  std::map<std::string, Record> recorded;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name;
    Record r;
    fields >> name >> r.console >> r.outputs >> r.totalAtoms >> r.firstCoefficient;
    recorded[name] = r;
  }
  ASSERT_EQ(recorded.size(), all.size());
  for (const auto& [name, make] : all) {
    SCOPED_TRACE(name);
    ASSERT_EQ(recorded.count(name), 1u);
    const Record expected = recorded[name], actual = run(make());
    EXPECT_EQ(actual.console, expected.console);
    EXPECT_EQ(actual.outputs, expected.outputs);
    EXPECT_EQ(actual.totalAtoms, expected.totalAtoms);
    EXPECT_EQ(actual.firstCoefficient, expected.firstCoefficient);
    if (actual.totalAtoms >= 0) {
      EXPECT_EQ(actual.scoringRoute, "blas");
      EXPECT_EQ(actual.basisRoute, "blas");
    }
  }
}

}  // namespace
