// One whole-image run of the module, as a host would make it: an 8-bit grey
// image cut into blocks, two redundant cosine dictionaries, tol from a target
// PSNR, one call of mexFunction through the substitute host. Prints one JSON
// object with the atoms, sparsity ratio, PSNR, call time, time per atom and the
// memory of the call.
//
//   whole_image IMAGE.pgm [--block B] [--atoms K] [--psnr DB] [--repeat R]
//                         [--label TEXT]
//
// Time. `seconds` is the best of R (default 3) calls after a first one, each
// timed around callMex alone (the best, because the machines we measure on are
// shared and a disturbed call is only ever slower); `seconds_median` is their
// median and `seconds_first` the first, cold call.
//
// Memory, from the first call. The process counts its heap (heap_meter.h). heap_peak_bytes is the
// highest heap level reached during the call minus the level just before it,
// when the inputs were already built: everything the call allocated and held at
// its worst moment, outputs included, with the substitute host's per-array
// bookkeeping and the allocator's rounding. The peak ratio relates what was in
// use then, inputs (counted at their payload size) plus that, to the payload
// bytes of the inputs and outputs. As a cross-check the resident set's growth
// during the call is read from /proc (peak reset just before the call).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cosine_dictionary.h"
#include "heap_meter.h"
#include "host_call.h"
#include "mex.h"
#include "pgm_image.h"
// The call's statistics: from the gateway's call itself where it hands them
// out, from the last call's record in the revisions before; revisions before
// the threaded pursuit (built with --baseline) keep none, and report zeros.
#if __has_include("mex_call.h")
#include "mex_call.h"
namespace {
PursuitStatistics callStatistics;
void moduleEntry(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  callAndEnd(nlhs, plhs, nrhs, prhs, &callStatistics);
}
}  // namespace
PursuitStatistics lastPursuitStatistics() { return callStatistics; }
#define TILEVISTA_HAVE_STATISTICS 1
#elif __has_include("pursuit_statistics.h")
#include "pursuit_statistics.h"
#define moduleEntry mexFunction
#define TILEVISTA_HAVE_STATISTICS 1
#else
#define moduleEntry mexFunction
struct PursuitStatistics {
  int threads = 1, bands = 0, replayedBands = 0;
  unsigned long long atomsKept = 0, atomsRolledBack = 0;
  double scoringSeconds = 0, bandSeconds = 0, orderSeconds = 0, rollBackSeconds = 0,
         outputSeconds = 0, finishSeconds = 0;
};
PursuitStatistics lastPursuitStatistics() { return PursuitStatistics(); }
#endif

namespace {
// Outputs made beside the filling: recorded since the pursuit does it; zero
// for the revisions before.
template <typename Statistics>
auto outputBesideSeconds(const Statistics& s, int) -> decltype(s.outputBesideSeconds) {
  return s.outputBesideSeconds;
}
template <typename Statistics>
double outputBesideSeconds(const Statistics&, long) { return 0.0; }
}  // namespace

// The block scoring's route, of revisions that report it; BLAS before them.
template <typename Statistics>
auto scoringRoute(const Statistics& s, int) -> decltype(s.scoringRoute) {
  return s.scoringRoute;
}
template <typename Statistics>
const char* scoringRoute(const Statistics&, long) {
  return "blas";
}

// The basis work's route, of revisions that report it; BLAS before them.
template <typename Statistics>
auto basisRoute(const Statistics& s, int) -> decltype(s.basisRoute) {
  return s.basisRoute;
}
template <typename Statistics>
const char* basisRoute(const Statistics&, long) {
  return "blas";
}

namespace {

struct Options {
  std::string image;
  std::string label;
  std::int32_t block = 8;
  std::int32_t atoms = 16;
  double psnr = 45.0;
  int repeat = 3;
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "whole_image: %s\n"
               "usage: whole_image IMAGE.pgm [--block B] [--atoms K] [--psnr DB] "
               "[--repeat R] [--label TEXT]\n",
               why);
  std::exit(2);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(("missing value after " + arg).c_str());
      return argv[++i];
    };
    if (arg == "--block") {
      o.block = std::atoi(value().c_str());
    } else if (arg == "--atoms") {
      o.atoms = std::atoi(value().c_str());
    } else if (arg == "--psnr") {
      o.psnr = std::atof(value().c_str());
    } else if (arg == "--repeat") {
      o.repeat = std::atoi(value().c_str());
    } else if (arg == "--label") {
      o.label = value();
    } else if (!arg.empty() && arg[0] != '-' && o.image.empty()) {
      o.image = arg;
    } else {
      usage(("unknown argument " + arg).c_str());
    }
  }
  if (o.image.empty()) usage("no image given");
  if (o.block < 1 || o.atoms < 1) usage("block and atoms must be >= 1");
  if (o.repeat < 0) usage("repeat must be >= 0");
  if (o.label.empty()) o.label = o.image;
  return o;
}

// The toolbox's n x K cosine dictionary (cosine_dictionary.h) as a host array.
host::Array dictionaryArray(std::int32_t n, std::int32_t K) {
  const std::vector<double> values = cosineDictionary(std::size_t(n), std::size_t(K));
  host::Array D(mxCreateDoubleMatrix(mwSize(n), mwSize(K), mxREAL));
  std::copy(values.begin(), values.end(), mxGetPr(D.get()));
  return D;
}

// d x nc cell of B x B blocks in the toolbox's layout: block (i, j) holds image
// rows i*B.. and columns j*B.., at linear index i + d*j.
host::Array cutBlocks(const GrayImage& image, std::int32_t B) {
  const std::int32_t d = image.height / B;
  const std::int32_t nc = image.width / B;
  host::Array cell(mxCreateCellMatrix(mwSize(d), mwSize(nc)));
  for (std::int32_t j = 0; j < nc; ++j) {
    for (std::int32_t i = 0; i < d; ++i) {
      mxArray* block = mxCreateDoubleMatrix(mwSize(B), mwSize(B), mxREAL);
      double* v = mxGetPr(block);
      for (std::int32_t c = 0; c < B; ++c) {
        for (std::int32_t r = 0; r < B; ++r) v[std::size_t(c) * B + r] = image.at(i * B + r, j * B + c);
      }
      mxSetCell(cell.get(), mwIndex(i) + mwIndex(d) * mwIndex(j), block);
    }
  }
  return cell;
}

// Bytes of element data held by an array, cell elements included.
std::size_t payloadBytes(const mxArray* a) {
  if (a == nullptr) return 0;
  if (mxIsCell(a)) {
    std::size_t sum = 0;
    for (std::size_t i = 0; i < mxGetNumberOfElements(a); ++i) sum += payloadBytes(mxGetCell(a, i));
    return sum;
  }
  return mxGetNumberOfElements(a) * sizeof(double) * (mxIsComplex(a) ? 2 : 1);
}

// A field of /proc/self/status in kB ("VmRSS", "VmHWM"), -1 when absent.
long statusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t length = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':') {
      return std::atol(line.c_str() + length + 1);
    }
  }
  return -1;
}

// Minor page faults of the whole process so far.
long minorFaults() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// Processor time of the whole process so far (all threads, user and system).
double cpuSeconds() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         1e-6 * double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Resets the process's peak resident set (VmHWM) to the current one.
bool resetPeakRss() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return bool(out);
}

// One small call, so that the BLAS and the allocator have set themselves up
// before anything is measured.
void warmUp(const mxArray* Dy, const mxArray* Dx, std::int32_t B) {
  host::Array cell(mxCreateCellMatrix(1, 2));
  for (mwIndex i = 0; i < 2; ++i) {
    mxArray* block = mxCreateDoubleMatrix(mwSize(B), mwSize(B), mxREAL);
    for (std::size_t p = 0; p < std::size_t(B) * B; ++p) mxGetPr(block)[p] = double((p * 37 + i) % 251);
    mxSetCell(cell.get(), i, block);
  }
  host::CallResult r = host::callMex(moduleEntry, {cell.get(), Dy, Dx}, 7);
  if (r.failed) throw std::runtime_error("warm-up call failed: " + r.error);
}

const char* stopRule(const std::string& console) {
  if (console.find("reached (tol)") != std::string::npos) return "tol";
  if (console.find("stopped, max(") != std::string::npos) return "tol2";
  return "budget";
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse(argc, argv);
  try {
    const GrayImage image = readPgm(o.image);
    if (image.height % o.block != 0 || image.width % o.block != 0) {
      throw std::runtime_error("image size is not a multiple of the block size");
    }
    const std::int32_t B = o.block;
    const std::size_t pixels = std::size_t(image.width) * std::size_t(image.height);

    const std::size_t heapStart = heap_meter::liveBytes();
    host::Array Dy = dictionaryArray(B, o.atoms);
    host::Array Dx = dictionaryArray(B, o.atoms);
    warmUp(Dy.get(), Dx.get(), B);
    host::Array blocks = cutBlocks(image, B);
    // tol = numel * 255^2 / 10^(PSNR/10): the total squared error of the target.
    const double tol = double(pixels) * 255.0 * 255.0 / std::pow(10.0, o.psnr / 10.0);
    host::Array tolArray(mxCreateDoubleScalar(tol));
    const std::vector<const mxArray*> inputs = {blocks.get(), Dy.get(), Dx.get(), tolArray.get()};
    const std::size_t inputBytes = payloadBytes(blocks.get()) + payloadBytes(Dy.get()) +
                                   payloadBytes(Dx.get()) + payloadBytes(tolArray.get());
    const std::size_t inputHeap = heap_meter::liveBytes() - heapStart;

    // Call 0 is measured for memory (and timed, cold); the heap counting is
    // then switched off and `repeat` more calls are timed.
    std::vector<double> seconds;
    double firstSeconds = 0.0;
    // Of the fastest timed call: its processor time and the pursuit's account.
    double bestSeconds = HUGE_VAL, bestCpu = 0.0;
    long bestFaults = 0;
    PursuitStatistics statistics;
    std::size_t heapPeak = 0;
    long rssBefore = -1, rssPeak = -1;
    bool rssReset = false;
    host::CallResult result;
    for (int run = 0; run <= o.repeat; ++run) {
      result = host::CallResult();  // the previous outputs go before the next call
      if (run == 0) {
        rssReset = resetPeakRss();
        rssBefore = statusKb("VmRSS");
      }
      const std::size_t heapBefore = heap_meter::liveBytes();
      heap_meter::resetPeak();
      const double cpu0 = cpuSeconds();
      const long faults0 = minorFaults();
      const auto t0 = std::chrono::steady_clock::now();
      result = host::callMex(moduleEntry, inputs, 7);
      const auto t1 = std::chrono::steady_clock::now();
      const double cpu = cpuSeconds() - cpu0;
      const long faults = minorFaults() - faults0;
      if (result.failed) throw std::runtime_error("module call failed: " + result.error);
      const double elapsed = std::chrono::duration<double>(t1 - t0).count();
      if (run == 0) {
        firstSeconds = elapsed;
        heapPeak = heap_meter::peakBytes() - heapBefore;
        rssPeak = statusKb("VmHWM");
        if (!rssReset) {
          struct rusage usage;
          getrusage(RUSAGE_SELF, &usage);
          rssPeak = usage.ru_maxrss;
        }
        heap_meter::stop();
      } else {
        seconds.push_back(elapsed);
      }
      if (run > 0 || o.repeat == 0) {
        if (elapsed < bestSeconds) {
          bestSeconds = elapsed;
          bestCpu = cpu;
          bestFaults = faults;
          statistics = lastPursuitStatistics();
        }
      }
    }
    if (seconds.empty()) seconds.push_back(firstSeconds);

    std::size_t outputBytes = 0;
    for (const host::Array& out : result.outputs) outputBytes += payloadBytes(out.get());
    const double atoms = *mxGetPr(result.outputs[6].get());

    // Squared error of the approximation (output 1) over all pixels; the
    // atoms recorded per block (output 2) must add up to output 7.
    double sse = 0.0;
    std::size_t recorded = 0;
    const std::size_t Q = mxGetNumberOfElements(blocks.get());
    for (std::size_t q = 0; q < Q; ++q) {
      const double* f = mxGetPr(mxGetCell(blocks.get(), q));
      const double* a = mxGetPr(mxGetCell(result.outputs[0].get(), q));
      for (std::size_t p = 0; p < std::size_t(B) * B; ++p) sse += (f[p] - a[p]) * (f[p] - a[p]);
      // A block without atoms has an empty element (null).
      const mxArray* indices = mxGetCell(result.outputs[1].get(), q);
      if (indices != nullptr) recorded += mxGetNumberOfElements(indices);
    }
    if (double(recorded) != atoms) throw std::runtime_error("outputs 2 and 7 disagree on the atoms");
    const double psnr = 10.0 * std::log10(255.0 * 255.0 * double(pixels) / sse);

    std::vector<double> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    const double best = sorted.front();
    const double median = sorted[sorted.size() / 2];
    const double ratio = double(inputBytes + heapPeak) / double(inputBytes + outputBytes);

    std::printf(
        "{\"tool\": \"module\", \"label\": \"%s\", \"image\": \"%s\", \"height\": %d, "
        "\"width\": %d, \"block\": %d, \"dictionary_atoms\": %d, \"blocks\": %zu, "
        "\"target_psnr\": %.3f, \"tol\": %.6f, \"stop\": \"%s\", \"atoms\": %.0f, "
        "\"atoms_per_block\": %.4f, \"sparsity_ratio\": %.4f, \"sse\": %.6f, \"psnr\": %.4f, "
        "\"repeat\": %d, \"seconds\": %.6f, \"seconds_median\": %.6f, \"seconds_first\": %.6f, "
        "\"us_per_atom\": %.4f, "
        "\"input_bytes\": %zu, \"input_heap_bytes\": %zu, \"output_bytes\": %zu, "
        "\"heap_peak_bytes\": %zu, \"peak_ratio\": %.4f, \"rss_before_kb\": %ld, "
        "\"rss_peak_kb\": %ld, \"rss_peak_from\": \"%s\", \"threads\": %d, "
        "\"cpu_seconds\": %.6f, \"page_faults\": %ld, \"scoring_route\": \"%s\", "
        "\"basis_route\": \"%s\", "
        "\"bands\": %d, \"replayed_bands\": %d, "
        "\"atoms_rolled_back\": %llu, \"rolled_back_share\": %.5f, \"scoring_seconds\": %.6f, "
        "\"band_seconds\": %.6f, \"order_seconds\": %.6f, \"roll_back_seconds\": %.6f, "
        "\"output_seconds\": %.6f, \"output_beside_seconds\": %.6f, \"finish_seconds\": %.6f}\n",
        o.label.c_str(), o.image.c_str(), image.height, image.width, B, o.atoms, Q, o.psnr, tol,
        stopRule(result.console), atoms, atoms / double(Q), double(pixels) / atoms, sse, psnr,
        o.repeat, best, median, firstSeconds, best / atoms * 1e6, inputBytes, inputHeap, outputBytes, heapPeak,
        ratio, rssBefore, rssPeak, rssReset ? "VmHWM after reset" : "ru_maxrss", statistics.threads,
        bestCpu, bestFaults, scoringRoute(statistics, 0), basisRoute(statistics, 0), statistics.bands, statistics.replayedBands,
        static_cast<unsigned long long>(statistics.atomsRolledBack),
        double(statistics.atomsRolledBack) / atoms, statistics.scoringSeconds,
        statistics.bandSeconds, statistics.orderSeconds, statistics.rollBackSeconds,
        statistics.outputSeconds, outputBesideSeconds(statistics, 0), statistics.finishSeconds);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "whole_image: %s\n", e.what());
    return 1;
  }
  return 0;
}
