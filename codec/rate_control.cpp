// Quantization at a step and the search of the step (rate_control.h).
#include "rate_control.h"

#include <algorithm>
#include <cmath>
#include <functional>
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
// coefficient, less the prediction for a block's first atom); its error and
// bits.
std::int32_t chooseLevel(const PayloadModels& prices, const Dequantizer& dq, double lambda,
                         std::int64_t q, std::int32_t k, double t, std::int32_t previous,
                         std::uint32_t bound, double* error, double* bits) {
  const double scaled = std::fabs(t) / dq.step;
  const std::uint32_t low = static_cast<std::uint32_t>(std::min(std::floor(scaled), double(bound)));
  const std::uint32_t candidates[3] = {k == 0 ? 0u : 1u, std::max(low, 1u), std::min(low + 1, bound)};
  const double* row = prices.levelPrices(q, k, previous);
  double best = std::numeric_limits<double>::infinity();
  std::int32_t chosen = 0;
  for (std::uint32_t magnitude : candidates) {
    const std::int32_t level = t < 0 ? -std::int32_t(magnitude) : std::int32_t(magnitude);
    const double e = t - dq.value(level);
    const double b = magnitude < std::uint32_t(PayloadModels::kTabled)
                         ? row[magnitude]
                         : prices.levelCost(q, k, level, previous);
    if (e * e + lambda * b < best) {
      best = e * e + lambda * b;
      chosen = level;
      *error = e * e;
      *bits = b;
    }
  }
  return chosen;
}

// Scratch of a quantization, kept between blocks.
struct BlockScratch {
  std::vector<std::int32_t> levels;
  std::vector<double> coefficients, block;
};

// Quantizes block q, keeps its best prefix (rate_control.h) and appends it to
// the code; places it into the planes (every sample when measuring, else its
// edges); adds its estimated error and bits. Returns its atoms.
std::int32_t quantizeBlock(const QuantizerInput& in, const Prices& prices, const Dequantizer& dq,
                           double lambda, std::int64_t q, QuantizeFor what, Quantization& out,
                           OffsetFit& fit, BlockScratch& s) {
  const PursuitAtoms& atoms = *in.atoms;
  const std::int32_t available = atoms.count(q);
  const std::size_t base = std::size_t(atoms.first[std::size_t(q)]);
  const double prediction =
      available > 0 ? firstPrediction(*in.geometry, out.planes, q, atoms.firstSum[std::size_t(q)])
                    : 0.0;
  s.levels.resize(std::size_t(available));
  const double energy = atoms.energy[std::size_t(q)];
  const double* countBits = prices.models.countPrices(out.code, q);
  const auto countCost = [&](std::int32_t m) {
    return m < PayloadModels::kTabled ? countBits[m] : prices.models.countCost(out.code, q, m);
  };
  double bestCost = energy + lambda * countCost(0);
  double bestError = energy, bestBits = countCost(0);
  std::int32_t kept = 0;
  double codedError = 0.0, codedEnergy = 0.0, bits = 0.0;
  for (std::int32_t k = 0; k < available; ++k) {
    const double c = atoms.coefficients[base + std::size_t(k)];
    const double t = k == 0 ? c - prediction : c;
    double error = 0.0, levelBits = 0.0;
    s.levels[std::size_t(k)] =
        chooseLevel(prices.models, dq, lambda, q, k, t, k > 0 ? s.levels[std::size_t(k) - 1] : 0,
                    in.shape->levelBound, &error, &levelBits);
    codedError += error;
    codedEnergy += c * c;
    bits += levelBits + prices.indexBits[base + std::size_t(k)];
    const double withCount = bits + countCost(k + 1);
    const double cost = codedError + (energy - codedEnergy) + lambda * withCount;
    if (cost < bestCost) {
      bestCost = cost;
      bestError = codedError + std::max(energy - codedEnergy, 0.0);
      bestBits = withCount;
      kept = k + 1;
    }
  }
  for (std::int32_t k = 0; k < kept; ++k) {
    const std::int32_t level = s.levels[std::size_t(k)];
    const double c = atoms.coefficients[base + std::size_t(k)];
    if (level != 0) fit.add(std::uint32_t(std::abs(level)), std::fabs(k == 0 ? c - prediction : c) / dq.step);
    if (what == QuantizeFor::kEstimate) continue;  // estimates need the counts alone
    out.code.yIndex.push_back(static_cast<std::uint16_t>(atoms.yIndex[base + std::size_t(k)]));
    out.code.xIndex.push_back(static_cast<std::uint16_t>(atoms.xIndex[base + std::size_t(k)]));
    out.code.level.push_back(level);
  }
  out.code.first.push_back(out.code.first.back() + std::uint64_t(kept));
  out.squaredError += bestError;
  out.bits += bestBits;
  s.coefficients.resize(std::size_t(kept));
  s.block.resize(std::size_t(in.geometry->blockPixels()));
  blockCoefficients(dq, s.levels.data(), kept, prediction, s.coefficients.data());
  const double* U = atoms.bases[std::size_t(q)].get();
  if (what == QuantizeFor::kMeasure) {
    if (kept > 0) placeBlock(*in.geometry, out.planes, q, U, s.coefficients.data(), kept, s.block.data());
  } else {
    const double* edges = atoms.edges.data() + base * std::size_t(edgeLength(*in.geometry));
    placeBlockEdges(*in.geometry, out.planes, q, edges, s.coefficients.data(), kept);
  }
  return kept;
}

}  // namespace

Prices::Prices(const QuantizerInput& in, PayloadModels trained) : models(std::move(trained)) {
  models.tabulatePrices();
  const PursuitAtoms& atoms = *in.atoms;
  indexBits.resize(atoms.yIndex.size());
  for (std::int64_t q = 0; q + 1 < std::int64_t(atoms.first.size()); ++q) {
    const std::size_t base = std::size_t(atoms.first[std::size_t(q)]);
    for (std::int32_t k = 0; k < atoms.count(q); ++k) {
      indexBits[base + std::size_t(k)] =
          models.indexCost(q, k, std::uint32_t(atoms.yIndex[base + std::size_t(k)]),
                           std::uint32_t(atoms.xIndex[base + std::size_t(k)]));
    }
  }
}

double squaredErrorFor(double psnr, double peak, std::size_t samples) {
  return double(samples) * peak * peak * std::pow(10.0, -psnr / 10.0);
}

Quantization quantizeImage(const QuantizerInput& in, double step, std::uint16_t offsetOne,
                           std::uint16_t offsetMore, const Prices& prices, QuantizeFor what,
                           std::vector<double> planes) {
  const bool measure = what == QuantizeFor::kMeasure;
  const PlaneGeometry& g = *in.geometry;
  Quantization out;
  out.step = step;
  out.offsetOne = offsetOne;
  out.offsetMore = offsetMore;
  out.measured = measure;
  Dequantizer dq;
  dq.step = step;
  dq.offsetOne = double(offsetOne) / kOffsetUnit;
  dq.offsetMore = double(offsetMore) / kOffsetUnit;
  const double lambda = kLambdaPerStep2 * step * step;
  // Measured: every sample is written (zeros where a block has no atom).
  // Estimated: only the edges the predictions read, every block's each time.
  out.planes = std::move(planes);
  if (measure) {
    out.planes.assign(g.planeSize() * std::size_t(g.channels), 0.0);
  } else {
    out.planes.resize(g.planeSize() * std::size_t(g.channels));
  }
  out.code.first.reserve(std::size_t(g.blocks()) + 1);
  out.code.first.push_back(0);
  if (what != QuantizeFor::kEstimate) {
    out.code.yIndex.reserve(in.atoms->yIndex.size());
    out.code.xIndex.reserve(in.atoms->yIndex.size());
    out.code.level.reserve(in.atoms->yIndex.size());
  }
  OffsetFit fit;
  BlockScratch scratch;
  for (std::int64_t q = 0; q < g.blocks(); ++q) {
    out.atoms += std::uint64_t(quantizeBlock(in, prices, dq, lambda, q, what, out, fit, scratch));
  }
  out.fittedOne = fit.offset(0);
  out.fittedMore = fit.offset(1);
  out.bits += 8.0 * double(in.headerBytes);
  const double samples = double(g.rows) * g.cols * g.channels;
  if (measure) {
    const std::vector<double> decoded = imageOfPlanes(g, out.planes);
    out.squaredError = squaredError(decoded.data(), in.image, decoded.size());
  } else {
    // The padding's share left out; rounding to integers adds about 1/12 a sample.
    out.squaredError = out.squaredError * samples / (double(g.planeSize()) * g.channels) + samples / 12.0;
  }
  return out;
}

namespace {

// A step tried: its quantization and how far it is from the target (aim >= 0
// where the target is met; larger is further inside it).
struct Trial {
  double x = 0.0;  // log of the step
  double aim = 0.0;
  Quantization quantization;
  std::vector<std::uint8_t> payload;  // measured trials only
};

// The steps tried for one target, with its prices and offsets.
class StepSearch {
 public:
  StepSearch(const QuantizerInput& in, const RateTarget& target)
      : in_(in), target_(target), prices_(in, PayloadModels(*in.shape)) {}

  // Prices bits with the models of a coding at step e^x (priced flat), and
  // takes the offsets that coding's levels fit.
  void price(double x) {
    const Quantization q = quantizeImage(in_, std::exp(x), 0, 0, prices_, QuantizeFor::kCode);
    PayloadModels models(*in_.shape);
    trainModels(*in_.shape, q.code, models);
    prices_ = Prices(in_, std::move(models));
    offsetOne_ = q.fittedOne;
    offsetMore_ = q.fittedMore;
  }
  // The estimated aim at step e^x.
  double estimate(double x) {
    ++estimated_;

    Quantization q = quantizeImage(in_, std::exp(x), offsetOne_, offsetMore_, prices_,
                                   QuantizeFor::kEstimate, std::move(spare_));
    spare_ = std::move(q.planes);

    return aim(q.squaredError, q.bits);
  }
  // The step e^x measured: its decoded image and its coded payload.
  Trial measure(double x) {
    ++measured_;
    Trial t;
    t.x = x;
    t.quantization =
        quantizeImage(in_, std::exp(x), offsetOne_, offsetMore_, prices_, QuantizeFor::kMeasure);
    PayloadModels models(*in_.shape);
    t.payload = encodePayload(*in_.shape, t.quantization.code, models);
    t.aim = aim(t.quantization.squaredError, 8.0 * double(in_.headerBytes + t.payload.size()));

    return t;
  }
  // Larger steps meet a bits target, smaller ones a PSNR target.
  bool largerMeets() const { return target_.bits > 0.0; }
  // How close to the target's edge an aim must come: estimated, measured
  // (bits: 0.1 % and 0.3 %; PSNR: 0.005 dB and 0.02 dB).
  double closeEstimate() const { return target_.bits > 0.0 ? 0.0015 : 0.005; }
  double closeMeasure() const { return target_.bits > 0.0 ? 0.0045 : 0.02; }
  // How the aim grows with the log of the step, about: PSNR falls some 6 dB
  // as the step grows e times; the bits fall by about the step's growth to
  // the power 1.1.
  double expectedSlope() const { return target_.bits > 0.0 ? 1.6 : -6.0; }
  std::int32_t estimated() const { return estimated_; }
  std::int32_t measured() const { return measured_; }

 private:
  double aim(double squaredError, double bits) const {
    if (target_.bits > 0.0) return std::log2(target_.bits) - std::log2(bits);
    const PlaneGeometry& g = *in_.geometry;
    const double samples = double(g.rows) * g.cols * g.channels;
    const double peak = samplePeak(g.bitDepth);
    if (!(squaredError > 0.0)) return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(samples * peak * peak / squaredError) - target_.psnr;
  }
  const QuantizerInput& in_;
  RateTarget target_;
  Prices prices_;
  std::uint16_t offsetOne_ = 0, offsetMore_ = 0;
  std::int32_t estimated_ = 0, measured_ = 0;
  std::vector<double> spare_;  // the planes of estimates, one after another
};

// Where a roughly monotone aim crosses 0, from a first point whose aim is
// known: the point found on the meeting side (aim >= 0) nearest the crossing;
// or, when no step in [least, most] meets, the point nearest to meeting.
struct Edge {
  double x = 0.0;
  double aim = 0.0;
};

Edge findEdge(const std::function<double(double)>& aim, Edge start, double slope, double least,
              double most, double close) {
  constexpr int kMostTries = 16;
  const double reach = std::log(4.0);  // the farthest one move goes
  Edge meets, misses, last = start, before = start;
  bool haveMeets = start.aim >= 0.0, haveMisses = start.aim < 0.0;
  (haveMeets ? meets : misses) = start;
  double aimMeets = meets.aim, aimMisses = misses.aim;
  int kept = 0;  // Illinois: an end kept twice has its aim halved
  for (int tries = 0; tries < kMostTries; ++tries) {
    if (haveMeets && meets.aim < close) break;
    double x;
    if (haveMeets && haveMisses) {
      if (std::fabs(meets.x - misses.x) < 2e-4) break;
      x = (meets.x * aimMisses - misses.x * aimMeets) / (aimMisses - aimMeets);
      const double margin = 0.02 * std::fabs(meets.x - misses.x);
      x = std::clamp(x, std::min(meets.x, misses.x) + margin, std::max(meets.x, misses.x) - margin);
    } else {
      // Newton on the slope the last two points give, or the expected one,
      // aiming a little inside the target.
      const double secant = (last.aim - before.aim) / (last.x - before.x);
      const double s = last.x != before.x && secant * slope > 0.0 ? secant : slope;
      const double move = std::clamp(-(last.aim - 0.5 * close) / s, -reach, reach);
      x = std::clamp(last.x + move, least, most);
      if (x == last.x) break;  // at the end of the steps' range
    }
    const Edge point{x, aim(x)};
    before = last;
    last = point;
    if (point.aim >= 0.0) {
      if (haveMisses && kept == -1) aimMisses /= 2.0;
      kept = haveMisses ? -1 : 0;
      meets = point;
      aimMeets = point.aim;
      haveMeets = true;
    } else {
      if (haveMeets && kept == 1) aimMeets /= 2.0;
      kept = haveMeets ? 1 : 0;
      misses = point;
      aimMisses = point.aim;
      haveMisses = true;
    }
  }
  return haveMeets ? meets : misses;
}

// The first step tried: for a PSNR, the step whose uniform quantization noise
// alone (step^2 / 12 a sample) would be twice the error allowed; for bits per
// pixel, a step such images take at that rate.
double firstStep(const QuantizerInput& in, const RateTarget& target) {
  const PlaneGeometry& g = *in.geometry;
  const double peak = samplePeak(g.bitDepth);
  if (target.bits > 0.0) {
    const double bpp = target.bits / (double(g.rows) * g.cols);
    return peak * 0.15 * std::pow(2.0, -1.5 * bpp);
  }
  return peak * std::sqrt(24.0) * std::pow(10.0, -target.psnr / 20.0);
}

}  // namespace

RateChoice controlRate(const QuantizerInput& in, const RateTarget& target) {
  constexpr int kMostMeasures = 4;
  StepSearch search(in, target);
  const double least = std::log(leastStep(in.geometry->bitDepth));
  const double most = std::log(mostStep(in.geometry->bitDepth));
  const bool larger = search.largerMeets();
  double x = std::clamp(std::log(firstStep(in, target)), least, most);
  search.price(x);
  double shift = 0.0;  // measured aim less estimated aim, at the last step measured
  Edge start{x, search.estimate(x)};
  Trial best;
  bool haveBest = false;
  for (int round = 0; round < kMostMeasures; ++round) {
    const Edge edge = findEdge([&](double at) { return search.estimate(at) + shift; }, start,
                               search.expectedSlope(), least, most, search.closeEstimate());
    Trial t = search.measure(edge.x);
    const double estimated = edge.aim - shift;
    shift = t.aim - estimated;
    start = Edge{edge.x, t.aim};
    x = edge.x;
    const bool meets = t.aim >= 0.0;
    if (meets && (!haveBest || (larger ? t.x < best.x : t.x > best.x))) {
      best = std::move(t);
      haveBest = true;
    }
    if (haveBest && best.aim < search.closeMeasure()) break;
  }
  // Estimates that keep missing: measured steps, 1 % at a time toward meeting.
  const double easier = larger ? 1.0 : -1.0;
  for (int i = 0; !haveBest && i < 40; ++i) {
    x = std::clamp(x + easier * std::log(1.01), least, most);
    Trial t = search.measure(x);
    if (t.aim >= 0.0) {
      best = std::move(t);
      haveBest = true;
    }
    if (x == least || x == most) break;
  }
  if (!haveBest) {
    throw CodecError(codec_error::kTarget,
                     target.bits > 0.0
                         ? "No file of this image at these settings is as small as the target: "
                           "the smallest takes more bits per pixel."
                         : "No step reaches the target PSNR with these dictionaries and blocks: "
                           "the pursuit's atoms do not approximate the image that closely.");
  }
  RateChoice choice;
  choice.payload = std::move(best.payload);
  choice.chosen = std::move(best.quantization);
  choice.stepsTried = search.estimated();
  choice.stepsMeasured = search.measured();
  return choice;
}

}  // namespace tilevista
