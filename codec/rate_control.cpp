// Quantization at a step and the search of the step (rate_control.h).
#include "rate_control.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tilevista/codec.h"

namespace tilevista {

namespace {

// Sums for the reconstruction offsets that fit a quantization's levels: for
// |level| = 1 and for larger ones, the sum of |level| - |target| / step and
// how many there are.
struct OffsetFit {
  double sum[2] = {0.0, 0.0};
  double count[2] = {0.0, 0.0};
  void add(std::uint32_t magnitude, double scaled) {
    const int which = magnitude == 1 ? 0 : 1;
    sum[which] += double(magnitude) - scaled;
    count[which] += 1.0;
  }
  std::uint16_t offset(int which) const {
    if (count[which] == 0.0) return 0;
    const double best = std::clamp(sum[which] / count[which], 0.0, 0.5);
    return static_cast<std::uint16_t>(std::lround(best * kOffsetUnit));
  }
};

// The level of least squared error plus lambda times bits for target t (the
// coefficient, less the prediction for a block's first atom); its error.
std::int32_t chooseLevel(const PayloadModels& prices, const Dequantizer& dq, double lambda,
                         std::int64_t q, std::int32_t k, double t, std::int32_t previous,
                         std::uint32_t bound, double* error, double* bits) {
  const double scaled = std::fabs(t) / dq.step;
  const std::uint32_t low = static_cast<std::uint32_t>(std::min(std::floor(scaled), double(bound)));
  std::uint32_t candidates[3] = {0, low, std::min(low + 1, bound)};
  double best = std::numeric_limits<double>::infinity();
  std::int32_t chosen = 0;
  for (std::uint32_t magnitude : candidates) {
    if (k > 0 && magnitude == 0) magnitude = 1;  // only a block's first level may be 0
    const std::int32_t level = t < 0 ? -std::int32_t(magnitude) : std::int32_t(magnitude);
    const double e = t - dq.value(level);
    const double b = prices.levelCost(q, k, level, previous);
    if (e * e + lambda * b < best) {
      best = e * e + lambda * b;
      chosen = level;
      *error = e * e;
      *bits = b;
    }
  }
  return chosen;
}

// Quantizes block q and keeps its best prefix (rate_control.h); appends it to
// `code`, places it into the planes and returns its atoms.
std::int32_t quantizeBlock(const QuantizerInput& in, const PayloadModels& prices,
                           const Dequantizer& dq, double lambda, std::int64_t q,
                           Quantization& out, OffsetFit& fit, std::vector<double>& scratch) {
  const PursuitAtoms& atoms = *in.atoms;
  const std::int32_t available = atoms.count(q);
  const std::size_t base = std::size_t(atoms.first[std::size_t(q)]);
  const std::int32_t N = in.geometry->blockPixels();
  const double prediction =
      available > 0 ? firstPrediction(*in.geometry, out.planes, q, atoms.firstSum[std::size_t(q)])
                    : 0.0;
  std::vector<std::int32_t> levels(static_cast<std::size_t>(available));
  const double energy = atoms.energy[std::size_t(q)];
  double bestCost = energy + lambda * prices.countCost(out.code, q, 0);
  std::int32_t kept = 0;
  double codedError = 0.0, codedEnergy = 0.0, bits = 0.0;
  for (std::int32_t k = 0; k < available; ++k) {
    const double c = atoms.coefficients[base + std::size_t(k)];
    const double t = k == 0 ? c - prediction : c;
    double error = 0.0, levelBits = 0.0;
    levels[std::size_t(k)] = chooseLevel(prices, dq, lambda, q, k, t, k > 0 ? levels[std::size_t(k) - 1] : 0,
                                         in.shape->levelBound, &error, &levelBits);
    codedError += error;
    codedEnergy += c * c;
    bits += levelBits + prices.indexCost(q, k, std::uint32_t(atoms.yIndex[base + std::size_t(k)]),
                                         std::uint32_t(atoms.xIndex[base + std::size_t(k)]));
    const double cost =
        codedError + (energy - codedEnergy) + lambda * (bits + prices.countCost(out.code, q, k + 1));
    if (cost < bestCost) {
      bestCost = cost;
      kept = k + 1;
    }
  }
  for (std::int32_t k = 0; k < kept; ++k) {
    const std::int32_t level = levels[std::size_t(k)];
    const double c = atoms.coefficients[base + std::size_t(k)];
    if (level != 0) fit.add(std::uint32_t(std::abs(level)), std::fabs(k == 0 ? c - prediction : c) / dq.step);
    out.code.yIndex.push_back(static_cast<std::uint16_t>(atoms.yIndex[base + std::size_t(k)]));
    out.code.xIndex.push_back(static_cast<std::uint16_t>(atoms.xIndex[base + std::size_t(k)]));
    out.code.level.push_back(level);
  }
  out.code.first.push_back(out.code.first.back() + std::uint64_t(kept));
  scratch.resize(std::size_t(kept) + std::size_t(N));
  blockCoefficients(dq, levels.data(), kept, prediction, scratch.data());
  placeBlock(*in.geometry, out.planes, q, atoms.vectors.data() + base * std::size_t(N),
             scratch.data(), kept, scratch.data() + kept);
  return kept;
}

}  // namespace

double squaredErrorFor(double psnr, double peak, std::size_t samples) {
  return double(samples) * peak * peak * std::pow(10.0, -psnr / 10.0);
}

Quantization quantizeImage(const QuantizerInput& in, double step, std::uint16_t offsetOne,
                           std::uint16_t offsetMore, const PayloadModels& prices) {
  const PlaneGeometry& g = *in.geometry;
  Quantization out;
  out.step = step;
  out.offsetOne = offsetOne;
  out.offsetMore = offsetMore;
  Dequantizer dq;
  dq.step = step;
  dq.offsetOne = double(offsetOne) / kOffsetUnit;
  dq.offsetMore = double(offsetMore) / kOffsetUnit;
  const double lambda = kLambdaPerStep2 * step * step;
  out.planes.assign(g.planeSize() * std::size_t(g.channels), 0.0);
  out.code.first.reserve(std::size_t(g.blocks()) + 1);
  out.code.first.push_back(0);
  OffsetFit fit;
  std::vector<double> scratch;
  for (std::int64_t q = 0; q < g.blocks(); ++q) {
    out.atoms += std::uint64_t(quantizeBlock(in, prices, dq, lambda, q, out, fit, scratch));
  }
  const std::vector<double> decoded = imageOfPlanes(g, out.planes);
  out.squaredError = squaredError(decoded.data(), in.image, decoded.size());
  out.fittedOne = fit.offset(0);
  out.fittedMore = fit.offset(1);
  return out;
}

namespace {

// One step tried: its quantization and how far it is from the target
// (aim >= 0 where the target is met; larger is further inside it).
struct Trial {
  double x = 0.0;  // log of the step
  double aim = 0.0;
  Quantization quantization;
  std::vector<std::uint8_t> payload;  // empty until coded
};

// Tries steps for one target, pricing bits with the models of its first
// codings, each step with the offsets the one before it fitted.
class StepSearch {
 public:
  StepSearch(const QuantizerInput& in, const RateTarget& target)
      : in_(in), target_(target), prices_(*in.shape) {}

  Trial tryStep(double x) {
    Trial trial;
    trial.x = x;
    trial.quantization = quantizeImage(in_, std::exp(x), offsetOne_, offsetMore_, prices_);
    offsetOne_ = trial.quantization.fittedOne;
    offsetMore_ = trial.quantization.fittedMore;
    ++tried_;
    const bool reprice = tried_ <= kPricingCodings;
    if (reprice || target_.bits > 0.0) {
      PayloadModels models(*in_.shape);
      trial.payload = encodePayload(*in_.shape, trial.quantization.code, models);
      if (reprice) prices_ = std::move(models);
    }
    if (target_.bits > 0.0) {
      const double bits = 8.0 * double(in_.headerBytes + trial.payload.size());
      trial.aim = std::log2(target_.bits) - std::log2(bits);
    } else {
      const PlaneGeometry& g = *in_.geometry;
      const double samples = double(g.rows) * g.cols * g.channels;
      const double peak = samplePeak(g.bitDepth);
      const double error = trial.quantization.squaredError;
      const double psnr = error > 0.0 ? 10.0 * std::log10(samples * peak * peak / error)
                                      : std::numeric_limits<double>::infinity();
      trial.aim = psnr - target_.psnr;
    }
    return trial;
  }
  std::int32_t tried() const { return tried_; }
  // Larger steps meet a PSNR target more easily when this is false.
  bool largerMeets() const { return target_.bits > 0.0; }
  // Close enough to the target's edge to stop.
  bool closeEnough(const Trial& t) const {
    return t.aim >= 0.0 && t.aim < (target_.bits > 0.0 ? 0.0015 : 0.005);
  }
  void code(Trial& t) {
    if (!t.payload.empty()) return;
    PayloadModels models(*in_.shape);
    t.payload = encodePayload(*in_.shape, t.quantization.code, models);
  }

 private:
  static constexpr std::int32_t kPricingCodings = 2;
  const QuantizerInput& in_;
  RateTarget target_;
  PayloadModels prices_;
  std::uint16_t offsetOne_ = 0, offsetMore_ = 0;
  std::int32_t tried_ = 0;
};

// The first step tried: for a PSNR, the step whose uniform quantization noise
// alone (step^2 / 12 per sample) would be about twice the error allowed; for
// bits per pixel, a step that such images have taken at that rate.
double firstStep(const QuantizerInput& in, const RateTarget& target) {
  const PlaneGeometry& g = *in.geometry;
  const double peak = samplePeak(g.bitDepth);
  const std::size_t samples = std::size_t(g.rows) * std::size_t(g.cols) * std::size_t(g.channels);
  if (target.bits > 0.0) {
    const double bpp = target.bits / (double(g.rows) * g.cols);
    return peak * 0.15 * std::pow(2.0, -1.5 * bpp);
  }
  const double mse = squaredErrorFor(target.psnr, peak, samples) / double(samples);
  return std::sqrt(24.0 * mse);
}

}  // namespace

RateChoice controlRate(const QuantizerInput& in, const RateTarget& target) {
  constexpr std::int32_t kMostSteps = 16;
  StepSearch search(in, target);
  const double least = std::log(leastStep(in.geometry->bitDepth));
  const double most = std::log(mostStep(in.geometry->bitDepth));
  const double easier = search.largerMeets() ? 1.0 : -1.0;  // the direction that meets the target
  const double stride = std::log(1.6);
  Trial meets, misses;
  bool haveMeets = false, haveMisses = false;
  const auto sort = [&](Trial&& t) {
    if (t.aim >= 0.0) {
      meets = std::move(t);
      haveMeets = true;
    } else {
      misses = std::move(t);
      haveMisses = true;
    }
  };
  sort(search.tryStep(std::clamp(std::log(firstStep(in, target)), least, most)));
  // Bracket the target's edge by steps of 1.6 times.
  while (!(haveMeets && haveMisses) && search.tried() < kMostSteps) {
    const double from = haveMeets ? meets.x - easier * stride : misses.x + easier * stride;
    const double x = std::clamp(from, least, most);
    if (x == (haveMeets ? meets.x : misses.x)) break;  // at the end of the steps' range
    sort(search.tryStep(x));
  }
  if (!haveMeets) {
    throw CodecError(codec_error::kTarget,
                     target.bits > 0.0
                         ? "No file of this image at these settings is as small as the target: "
                           "the smallest takes more bits per pixel."
                         : "No step reaches the target PSNR with these dictionaries and blocks: "
                           "the pursuit's atoms do not approximate the image that closely.");
  }
  // Narrow it by false position (Illinois: an end kept twice has its value halved).
  double aimMeets = meets.aim, aimMisses = haveMisses ? misses.aim : 0.0;
  int lastKept = 0;
  while (haveMisses && !search.closeEnough(meets) && std::fabs(meets.x - misses.x) > 1e-3 &&
         search.tried() < kMostSteps) {
    double x = (meets.x * aimMisses - misses.x * aimMeets) / (aimMisses - aimMeets);
    const double margin = 0.05 * std::fabs(meets.x - misses.x);
    x = std::clamp(x, std::min(meets.x, misses.x) + margin, std::max(meets.x, misses.x) - margin);
    Trial t = search.tryStep(x);
    if (t.aim >= 0.0) {
      aimMeets = t.aim;
      if (lastKept == -1) aimMisses /= 2.0;
      lastKept = -1;
      meets = std::move(t);
    } else {
      aimMisses = t.aim;
      if (lastKept == 1) aimMeets /= 2.0;
      lastKept = 1;
      misses = std::move(t);
    }
  }
  search.code(meets);
  RateChoice choice;
  choice.payload = std::move(meets.payload);
  choice.chosen = std::move(meets.quantization);
  choice.stepsTried = search.tried();
  return choice;
}

}  // namespace tilevista
