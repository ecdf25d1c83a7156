// Quantization at a step and the search of the step (rate_control.h).
#include "rate_control.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "tilevista/codec.h"

namespace tilevista {

double squaredErrorFor(double psnr, double peak, std::size_t samples) {
  return double(samples) * peak * peak * std::pow(10.0, -psnr / 10.0);
}

namespace {

// A step tried: its quantization and how far it is from the target (aim >= 0
// where the target is met; larger is further inside it).
struct Trial {
  double x = 0.0;  // log of the step
  double aim = 0.0;
  Quantization quantization;
  std::vector<std::uint8_t> payload;  // measured trials, once coded
  bool coded = false;                 // the payload is there
};

// The steps tried for one target, with its prices and offsets.
class StepSearch {
 public:
  StepSearch(const QuantizerInput& in, const RateTarget& target)
      : in_(in), target_(target), prices_(in, PayloadModels(*in.shape), nullptr), scanned_(in) {}

  // Prices bits with the models trained on a sketch of the code at step e^x
  // (priced flat), and takes the offsets that quantization's levels fit.
  void price(double x) {
    Quantization q = quantizeImage(in_, stepAt(x), 0, 0, prices_, QuantizeFor::kSketch, nullptr,
                                   nullptr, scratch_);
    scratch_.planes = std::move(q.planes);
    PayloadModels models(*in_.shape);
    trainModels(*in_.shape, q.code, models);
    prices_ = Prices(in_, std::move(models), &q.code);
    offsetOne_ = q.fittedOne;
    offsetMore_ = q.fittedMore;
    haveKept_ = false;  // chosen with the prices before
  }
  // The estimated aim at step e^x; keeps the prefixes its blocks chose.
  double estimate(double x) {
    Quantization q = quantizeImage(in_, stepAt(x), offsetOne_, offsetMore_, prices_,
                                   QuantizeFor::kEstimate, nullptr, nullptr, scratch_);
    kept_ = std::move(q.code.first);
    keptX_ = x;
    haveKept_ = true;
    return aim(q.squaredError, q.bits);
  }
  // The step e^x measured: its decoded image, and for a bits target its coded
  // payload (a PSNR target's is coded for the trial chosen alone: code()).
  // At the step of the last estimate (where the estimates led), the blocks'
  // prefixes are those it chose, which spares choosing them again; at other
  // steps each block chooses its own.
  Trial measure(double x) {
    const std::vector<std::uint64_t>* kept = haveKept_ && keptX_ == x ? &kept_ : nullptr;
    // Gram-Schmidt's bases of the blocks' prefixes, made on every thread
    // (where the atoms are the vectors, a block's scan order costs less than
    // an estimate would). An estimate's counts for this alone are not the
    // search's: they leave the prefixes chosen as on one thread.
    if (in_.threads > 1 && in_.dictionary->vectors == BlockVectors::kGramSchmidt) {
      if (kept != nullptr) {
        scanned_.prepare(*kept, in_.threads);
      } else {
        Quantization counts = quantizeImage(in_, stepAt(x), offsetOne_, offsetMore_, prices_,
                                            QuantizeFor::kEstimate, nullptr, nullptr, scratch_);
        scanned_.prepare(counts.code.first, in_.threads);
      }
    }
    Trial t;
    t.x = x;
    t.quantization = quantizeImage(in_, stepAt(x), offsetOne_, offsetMore_, prices_,
                                   QuantizeFor::kMeasure, &scanned_, kept, scratch_);
    scratch_.planes = std::move(t.quantization.planes);  // measured: no longer needed
    if (target_.bits > 0.0) code(t);
    t.aim = aim(t.quantization.squaredError, 8.0 * double(in_.headerBytes + t.payload.size()));
    return t;
  }
  // Codes a measured trial's payload, once.
  void code(Trial& t) const {
    if (t.coded) return;
    PayloadModels models(*in_.shape);
    t.payload = encodePayload(*in_.shape, t.quantization.code, models);
    t.coded = true;
  }
  // The step e^x, within the steps a file may hold: e^x of the log of the
  // range's ends may round past them, and a decoder refuses such a file.
  double stepAt(double x) const {
    const std::int32_t depth = in_.geometry->bitDepth;
    return std::clamp(std::exp(x), leastStep(depth), mostStep(depth));
  }
  // Larger steps meet a bits target, smaller ones a PSNR target.
  bool largerMeets() const { return target_.bits > 0.0; }
  // How close to the target's edge an aim must come: estimated, measured
  // (bits: 0.2 % and 0.5 %; PSNR: 0.02 dB and 0.05 dB). Estimates need not
  // come closer than their noise: the measures correct them anyway.
  double closeEstimate() const { return target_.bits > 0.0 ? 0.003 : 0.02; }
  double closeMeasure() const { return target_.bits > 0.0 ? 0.0072 : 0.05; }
  // How the aim grows with the log of the step, about: PSNR falls some 6 dB
  // as the step grows e times; the bits fall by about the step's growth to
  // the power 1.1.
  double expectedSlope() const { return target_.bits > 0.0 ? 1.6 : -6.0; }

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
  // The last estimate's step and its blocks' prefixes (its code.first).
  std::vector<std::uint64_t> kept_;
  double keptX_ = 0.0;
  bool haveKept_ = false;
  QuantizerScratch scratch_;  // storage of the quantizations, one after another
  ScanOrderedBlocks scanned_;
};

// Where a roughly monotone aim crosses 0, from a first point whose aim is
// known: the point found on the meeting side (aim >= 0) nearest the crossing;
// or, when no step in [least, most] meets, the point nearest to meeting.
struct Edge {
  double x = 0.0;
  double aim = 0.0;
};

// Aims of steps closer than 2 % differ by the noise of the quantization's
// choices (a hundredth of a dB) about as much as by the slope.
constexpr double kSlopeSpan = 0.02;

// `slope`, in: the aim's expected growth with x; out: the last two points'
// secant where it agrees in sign and their steps are kSlopeSpan apart at
// least, else unchanged (for a search that goes on from the point returned
// on another aim of the same shape).
Edge findEdge(const std::function<double(double)>& aim, Edge start, double& slope, double least,
              double most, double close, int mostTries) {
  const double reach = std::log(4.0);  // the farthest one move goes
  Edge meets, misses, last = start, before = start;
  bool haveMeets = start.aim >= 0.0, haveMisses = start.aim < 0.0;
  (haveMeets ? meets : misses) = start;
  double aimMeets = meets.aim, aimMisses = misses.aim;
  int kept = 0;  // Illinois: an end kept twice has its aim halved
  for (int tries = 0; tries < mostTries; ++tries) {
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
    // Points nearer than kSlopeSpan differ by noise as much as by slope.
    const double secant = (last.aim - before.aim) / (last.x - before.x);
    if (secant * slope > 0.0 && std::isfinite(secant) && std::fabs(last.x - before.x) >= kSlopeSpan) slope = secant;
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

// Whether a PSNR target out of reach is so for the finest step a file may
// hold rather than for the atoms: the pursuit's own atoms, unquantized, come
// within it (the squared residual the pursuit ended with, the padding's
// included, is within what the target allows the image), and that step's own
// error, about step^2 / 12 a coded coefficient, is a quarter or more of what
// the target allows a sample (else the rounding to integers of few levels is
// what falls short, as for an image of 1 bit).
bool finestStepFallsShort(const QuantizerInput& in, const RateTarget& target) {
  const PursuitAtoms& atoms = *in.atoms;
  double residual = 0.0;
  if (!atoms.result.curve.energy.empty()) {
    residual = atoms.result.curve.energy.back();
  } else {
    for (const double e : atoms.energy) residual += e;
  }
  const PlaneGeometry& g = *in.geometry;
  const std::size_t samples = std::size_t(g.rows) * std::size_t(g.cols) * std::size_t(g.channels);
  const double allowed = squaredErrorFor(target.psnr, samplePeak(g.bitDepth), samples);
  const double step = leastStep(g.bitDepth);
  return residual <= allowed && step * step / 12.0 >= 0.25 * allowed / double(samples);
}

}  // namespace

RateChoice controlRate(const QuantizerInput& in, const RateTarget& target) {
  // Estimates are cheap and measures dear: the estimates find the target's
  // step, a measure there finds how far they miss it (mostly the edge
  // filter's gain, which barely depends on the step), and measured steps
  // then go on from it on the estimates' slope.
  constexpr int kMostEstimates = 16, kMostMeasures = 4, kMostHalvings = 6;
  const double kPricedReach = std::log(1.25);  // steps within 25 % of the priced one
  StepSearch search(in, target);
  const double least = std::log(leastStep(in.geometry->bitDepth));
  const double most = std::log(mostStep(in.geometry->bitDepth));
  const bool larger = search.largerMeets();
  double x = std::clamp(std::log(firstStep(in, target)), least, most);
  search.price(x);
  double slope = search.expectedSlope();
  Edge estimated = findEdge([&](double at) { return search.estimate(at); },
                            Edge{x, search.estimate(x)}, slope, least, most,
                            search.closeEstimate(), kMostEstimates);
  // Prices trained on a code far from the step found price its code poorly
  // (the bits of grass at 1 bpp by a third): trained again there, once.
  if (std::fabs(estimated.x - x) > kPricedReach) {
    x = estimated.x;
    search.price(x);
    estimated = findEdge([&](double at) { return search.estimate(at); },
                         Edge{x, search.estimate(x)}, slope, least, most,
                         search.closeEstimate(), kMostEstimates);
  }
  Trial best;
  bool haveBest = false;
  const auto measured = [&](double at) {
    Trial t = search.measure(at);
    const double aim = t.aim;
    x = at;
    if (aim >= 0.0 && (!haveBest || (larger ? t.x < best.x : t.x > best.x))) {
      best = std::move(t);
      haveBest = true;
    }
    return aim;
  };
  const Edge first{estimated.x, measured(estimated.x)};
  findEdge(measured, first, slope, least, most, search.closeMeasure(), kMostMeasures - 1);
  // Measures that keep missing: steps toward meeting, 1 % at first and
  // twice as far each time, to the end of the steps' range (a small image's
  // aim jumps by a dB or more from one step to the next, and is not
  // monotone). One found far from the last miss is then brought back toward
  // it by halves.
  const double easier = larger ? 1.0 : -1.0;
  const bool fallBack = !haveBest;
  double missed = x;
  for (double move = std::log(1.01); !haveBest; move *= 2.0) {
    missed = x;
    const double at = std::clamp(x + easier * move, least, most);
    measured(at);
    if (at == least || at == most) break;
  }
  for (int i = 0; fallBack && haveBest && i < kMostHalvings; ++i) {
    const double at = 0.5 * (missed + best.x);
    if (measured(at) < 0.0) missed = at;
  }
  if (!haveBest) {
    if (target.bits > 0.0) {
      throw CodecError(codec_error::kTarget,
                       "No file of this image at these settings is as small as the target: "
                       "the smallest takes more bits per pixel.");
    }
    if (!finestStepFallsShort(in, target)) {
      throw CodecError(codec_error::kTarget,
                       "No step reaches the target PSNR with these dictionaries and blocks: "
                       "the pursuit's atoms do not approximate the image that closely.");
    }
    throw CodecError(codec_error::kTarget,
                     "No step reaches the target PSNR: the pursuit's atoms approximate the image "
                     "that closely, but even the finest step a file may hold (" +
                         std::to_string(leastStep(in.geometry->bitDepth)) +
                         " at this bit depth) leaves more error than the target allows.");
  }
  search.code(best);
  RateChoice choice;
  choice.payload = std::move(best.payload);
  choice.chosen = std::move(best.quantization);
  return choice;
}

}  // namespace tilevista
