#include "test_arrays.h"

#include <cstdlib>

#include <cstring>

#include "mex_call.h"

namespace testing_arrays {
namespace {

// The statistics of the call running through statisticsEntry.
PursuitStatistics callStatistics;

// mexFunction, keeping the statistics.
void statisticsEntry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  callAndEnd(nlhs, plhs, nrhs, prhs, &callStatistics);
}

}  // namespace

host::Array matrix(std::size_t rows, std::size_t cols, const std::vector<double>& values) {
  host::Array a(mxCreateDoubleMatrix(rows, cols, mxREAL));
  if (!values.empty()) std::memcpy(mxGetPr(a.get()), values.data(), values.size() * sizeof(double));
  return a;
}

host::Array scalar(double value) { return matrix(1, 1, {value}); }

host::Array cell(std::size_t d, std::size_t nc, const std::vector<const mxArray*>& elements) {
  host::Array c(mxCreateCellMatrix(d, nc));
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (elements[i] != nullptr) mxSetCell(c.get(), i, mxDuplicateArray(elements[i]));
  }
  return c;
}

std::vector<double> values(const mxArray* a) {
  if (a == nullptr || mxGetPr(a) == nullptr) return {};
  const double* p = mxGetPr(a);
  return std::vector<double>(p, p + mxGetNumberOfElements(a));
}

std::vector<double> randomValues(std::size_t n, std::mt19937& rng) {
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  std::vector<double> v(n);
  for (double& x : v) x = uniform(rng);
  return v;
}

const mxArray* ModuleCall::element(int output, std::size_t i) const {
  return mxGetCell(result.outputs.at(static_cast<std::size_t>(output)).get(), i);
}

std::vector<double> ModuleCall::elementValues(int output, std::size_t i) const {
  return values(element(output, i));
}

double ModuleCall::totalAtoms() const { return mxGetPr(result.outputs.at(6).get())[0]; }

ModuleCall callModule(const std::vector<const mxArray*>& inputs, int nlhs) {
  callStatistics = PursuitStatistics();
  ModuleCall call{host::callMex(&statisticsEntry, inputs, nlhs), PursuitStatistics()};
  call.statistics = callStatistics;
  return call;
}

void Problem::build() {
  std::vector<host::Array> owned;
  std::vector<const mxArray*> elements;
  for (const auto& b : blocks) {
    owned.push_back(matrix(rows, cols, b));
    elements.push_back(owned.back().get());
  }
  blockCell = cell(d, nc, elements);
  dictionaryY = matrix(rows, Ky, Dy);
  dictionaryX = matrix(cols, Kx, Dx);
}

Problem randomProblem(std::size_t rows, std::size_t cols, std::size_t Ky, std::size_t Kx,
                      std::size_t d, std::size_t nc, unsigned seed) {
  std::mt19937 rng(seed);
  Problem p;
  p.rows = rows;
  p.cols = cols;
  p.Ky = Ky;
  p.Kx = Kx;
  p.d = d;
  p.nc = nc;
  for (std::size_t i = 0; i < d * nc; ++i) p.blocks.push_back(randomValues(rows * cols, rng));
  p.Dy = randomValues(rows * Ky, rng);
  p.Dx = randomValues(cols * Kx, rng);
  p.build();
  return p;
}

ThreadSetting::ThreadSetting(const std::string& value) {
  setenv("TILEVISTA_THREADS", value.c_str(), 1);
}

ThreadSetting::~ThreadSetting() { unsetenv("TILEVISTA_THREADS"); }

}  // namespace testing_arrays
