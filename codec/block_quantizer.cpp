// Quantization of every block at a step (block_quantizer.h).
#include "block_quantizer.h"

#include <algorithm>
#include <cmath>

#include "edge_filter.h"
#include "block_threads.h"
#include "file_format.h"
#include "scan_basis.h"

namespace tilevista {

namespace {

// A block's first m atoms in scan order (their places 0..m-1 by rank, ties by
// place): keys of rank and place sorted as integers, which costs a fraction
// of sorting places through their ranks.
template <class Rank>
void orderByRank(std::int32_t m, Rank rankOf, std::vector<std::uint64_t>& keys, std::vector<std::int32_t>& order) {
  keys.resize(std::size_t(m));
  for (std::int32_t k = 0; k < m; ++k) keys[std::size_t(k)] = std::uint64_t(rankOf(k)) << 32 | std::uint32_t(k);
  std::sort(keys.begin(), keys.end());
  order.resize(std::size_t(m));
  for (std::int32_t k = 0; k < m; ++k) order[std::size_t(k)] = std::int32_t(keys[std::size_t(k)] & 0xffffffffu);
}

// The squared error a block of `samples` samples is expected to keep once its
// reconstruction is rounded to integers, from the error `error` it has before:
// each sample's error e taken as Gaussian of the block's mean square v, so that
// E[round(e)^2] = sum over k >= 1 of (2k - 1) P(|e| > k - 1/2). By the Fourier
// series of the rounding's own error, that is v + 1/12 plus terms in
// exp(-2 pi^2 m^2 v): within 1e-8 of v + 1/12 from one unit a sample up, but
// far less below, where rounding makes most samples exact (counted as 1/12 a
// sample, a near-lossless target would see every step miss it).
double roundedError(double error, std::int32_t samples) {
  const double n = double(samples);
  const double v = error / n;
  if (v >= 1.0) return error + n / 12.0;
  constexpr double kPiSquared = 9.869604401089358;
  if (v >= 0.25) {
    // Past m = 2 a term is below exp(-18 pi^2 / 4) ~ 5e-20.
    double expected = v + 1.0 / 12.0;
    for (int m = 1; m <= 2; ++m) {
      const double mm = double(m) * double(m);
      const double term = std::exp(-2.0 * kPiSquared * mm * v) * (4.0 * v + 1.0 / (kPiSquared * mm));
      expected += m % 2 != 0 ? -term : term;
    }
    return expected * n;
  }
  if (!(v > 0.0)) return 0.0;
  // The tail sum; past an argument of 6.5, erfc is below 1e-19.
  const double scale = 1.0 / std::sqrt(2.0 * v);
  double expected = 0.0;
  for (int k = 1; (k - 0.5) * scale < 6.5; ++k) expected += double(2 * k - 1) * std::erfc((k - 0.5) * scale);
  return expected * n;
}

// Sums for the reconstruction offsets that fit a quantization's levels: for
// |level| = 1 and for larger ones, the sum of |level| - |target| / step and
// how many there are.
struct OffsetFit {
  double sum[2] = {0.0, 0.0};
  double count[2] = {0.0, 0.0};
  void add(std::int32_t level, double scaled) {
    if (level == 0) return;
    const double magnitude = std::fabs(double(level));
    const int which = magnitude == 1.0 ? 0 : 1;
    sum[which] += magnitude - scaled;
    count[which] += 1.0;
  }
  std::uint16_t offset(int which) const {
    if (count[which] == 0.0) return 0;
    const double best = std::clamp(sum[which] / count[which], 0.0, 0.5);
    return static_cast<std::uint16_t>(std::lround(best * kOffsetUnit));
  }
};

// One atom to quantize: its block and the block's atoms, its place in its
// block's coding order, its scan rank, its target (the coefficient, less the
// prediction for a block's first atom) and the level before it.
struct LevelChoice {
  std::int64_t q;
  std::int32_t count;
  std::int32_t k;
  std::uint32_t rank;
  double target;
  std::int32_t previous;
};

// The level of least squared error plus lambda times bits; its error and bits.
// The candidates: 0 for a block's first atom (1 for the others, which cannot
// be 0), rounding down and rounding up. A level's error is the same for either
// sign of the target, so it is taken on |target|; ties keep the earlier
// candidate. Selected without branches: which wins is a coin toss to a
// predictor.
// Inlined where it is called (every atom of every pass): a call costs its
// callers about 4 % of the encoder's work besides the pursuit.
#if defined(__GNUC__)
__attribute__((always_inline)) inline
#endif
std::int32_t chooseLevel(const QuantizerInput& in, const PayloadModels& prices,
                         const Dequantizer& dq, double lambda, const LevelChoice& a,
                         double* error, double* bits) {
  const std::uint32_t bound = in.shape->levelBound;
  const double magnitude = std::fabs(a.target);
  const double scaled = magnitude / dq.step;
  const std::uint32_t low = static_cast<std::uint32_t>(std::min(std::floor(scaled), double(bound)));
  const double* row = prices.levelPrices(a.q, a.count, a.k, a.rank, a.previous);
  // Level m's squared error (Dequantizer::value of m on |target|) plus lambda
  // times its bits; the offset and the error of level 0 are chosen by index,
  // not by branches (magnitude - 0 is magnitude, bit for bit).
  const double offsets[2] = {dq.offsetMore, dq.offsetOne};
  const auto cost = [&](std::uint32_t m, double& error2, double& levelBits) {
    const double removed[2] = {(double(m) - offsets[m == 1]) * dq.step, 0.0};
    const double e = magnitude - removed[m == 0];
    levelBits = m < std::uint32_t(PayloadModels::kTabled)
                    ? row[m]
                    : prices.levelCost(a.q, a.count, a.k, a.rank, std::int32_t(m), a.previous);
    error2 = e * e;
    return error2 + lambda * levelBits;
  };
  const std::uint32_t m[3] = {a.k == 0 ? 0u : 1u, std::max(low, 1u), std::min(low + 1, bound)};
  double e[3], b[3], c[3];
  for (int i = 0; i < 3; ++i) c[i] = cost(m[i], e[i], b[i]);
  // The least, ties to the earlier, picked by index.
  const int second = c[1] < c[0];
  const int third = c[2] < c[second];
  const int pick = third * 2 + (1 - third) * second;
  const std::uint32_t chosen = m[pick];
  *error = e[pick];
  *bits = b[pick];
  return a.target < 0 ? -std::int32_t(chosen) : std::int32_t(chosen);
}

// A quantization's shared state while it runs through the blocks.
struct Pass {
  const QuantizerInput& in;
  const Prices& prices;
  Dequantizer dq;
  double lambda;
  Quantization& out;
  OffsetFit fit;
  std::vector<std::int32_t> levels, order;
  std::vector<std::uint64_t> keys;
  std::vector<double> coefficients, block;
  // Estimates: each block position's error before rounding, summed over the
  // channels (their transform is orthonormal, so this is the squared error
  // the position's samples of every channel share before they are rounded).
  std::vector<double> positionError;
};

// The best prefix of block q's pursuit atoms (block_quantizer.h): its length,
// its estimated error and bits; its levels in pass.levels. The first
// coefficient is predicted from the planes decoded so far (`decoded`) or from
// the image's own samples (PursuitAtoms::imagePrediction).
struct Prefix {
  std::int32_t kept = 0;
  double error = 0.0, bits = 0.0, prediction = 0.0;
};

// The fewest bits an atom's index is priced at (Prices), and the fewest an
// atom after a block's first can cost: its index and its level (never 0: its
// sign bit at least).
constexpr double kLeastIndexBits = 0.5;
constexpr double kLeastLaterAtomBits = kLeastIndexBits + 1.0;

Prefix bestPrefix(Pass& pass, std::int64_t q, bool decoded) {
  const PursuitAtoms& atoms = *pass.in.atoms;
  const std::int32_t available = atoms.count(q);
  const std::size_t base = std::size_t(atoms.first[std::size_t(q)]);
  Prefix best;
  best.prediction = available == 0 ? 0.0
                    : decoded      ? firstPrediction(*pass.in.geometry, pass.out.planes, q, atoms.firstSum[std::size_t(q)])
                                   : atoms.imagePrediction[std::size_t(q)];
  pass.levels.resize(std::size_t(available));
  const PayloadModels& models = pass.prices.models;
  const double energy = atoms.energy[std::size_t(q)];
  const double* countBits = models.countPrices(pass.out.code, q);
  const auto countCost = [&](std::int32_t m) {
    return m < PayloadModels::kTabled ? countBits[m] : models.countCost(pass.out.code, q, m);
  };
  double bestCost = energy + pass.lambda * countCost(0);
  best.error = energy;
  best.bits = countCost(0);
  // The least the uncoded energy can come to, whatever the prefix: the energy
  // less every atom's share, summed as the loop below sums them (a rounded
  // sum of terms >= 0 only grows, so each partial sum is at most this one).
  double allEnergy = 0.0;
  for (std::int32_t k = 0; k < available; ++k) {
    const double c = atoms.coefficients[base + std::size_t(k)];
    allEnergy += c * c;
  }
  const double leastUncoded = std::min(energy - allEnergy, 0.0);
  double codedError = 0.0, codedEnergy = 0.0, bits = 0.0;
  for (std::int32_t k = 0; k < available; ++k) {
    // Every later atom costs at least kLeastLaterAtomBits and adds error >= 0:
    // once no longer prefix can cost less than the best, none is priced.
    if (k > 0 && codedError + leastUncoded + pass.lambda * (bits + kLeastLaterAtomBits) >= bestCost) break;
    const std::size_t a = base + std::size_t(k);
    const double c = atoms.coefficients[a];
    // Priced as if the block kept all it has: its count is not known yet.
    const LevelChoice choice{q, available, k, pass.prices.ranks[a], k == 0 ? c - best.prediction : c,
                             k > 0 ? pass.levels[std::size_t(k) - 1] : 0};
    double error = 0.0, levelBits = 0.0;
    pass.levels[std::size_t(k)] = chooseLevel(pass.in, models, pass.dq, pass.lambda, choice, &error, &levelBits);
    codedError += error;
    codedEnergy += c * c;
    bits += levelBits + pass.prices.indexBits[a];
    const double withCount = bits + countCost(k + 1);
    const double cost = codedError + (energy - codedEnergy) + pass.lambda * withCount;
    if (cost < bestCost) {
      bestCost = cost;
      best.error = codedError + std::max(energy - codedEnergy, 0.0);
      best.bits = withCount;
      best.kept = k + 1;
    }
  }
  return best;
}

// Appends block q's prefix of `kept` pursuit atoms to the code in scan
// order, each with its level of the pursuit's order: a sketch of the code.
void sketchBlock(Pass& pass, std::int64_t q, std::int32_t kept) {
  const PursuitAtoms& atoms = *pass.in.atoms;
  const std::size_t base = std::size_t(atoms.first[std::size_t(q)]);
  const std::uint32_t* ranks = pass.prices.ranks.data() + base;
  orderByRank(kept, [ranks](std::int32_t k) { return ranks[k]; }, pass.keys, pass.order);
  for (std::int32_t k : pass.order) {
    pass.out.code.yIndex.push_back(static_cast<std::uint16_t>(atoms.yIndex[base + std::size_t(k)]));
    pass.out.code.xIndex.push_back(static_cast<std::uint16_t>(atoms.xIndex[base + std::size_t(k)]));
    pass.out.code.level.push_back(pass.levels[std::size_t(k)]);
  }
}

// Estimates block q from its best prefix in the pursuit's order: counts it,
// adds its error and bits. An estimate predicts a block's first coefficient
// from the image's own samples around it and places nothing; the sketch
// predicts from the edges it places, as a decoder would (prices trained on
// first levels predicted from the image's own samples price them too cheaply:
// 0.3 % more bits on the sample images), and is appended to the code.
std::int32_t estimateBlock(Pass& pass, std::int64_t q, bool sketch) {
  const Prefix prefix = bestPrefix(pass, q, sketch);
  const PursuitAtoms& atoms = *pass.in.atoms;
  const std::size_t base = std::size_t(atoms.first[std::size_t(q)]);
  for (std::int32_t k = 0; k < prefix.kept; ++k) {
    const double c = atoms.coefficients[base + std::size_t(k)];
    pass.fit.add(pass.levels[std::size_t(k)], std::fabs(k == 0 ? c - prefix.prediction : c) / pass.dq.step);
  }
  pass.out.code.first.push_back(pass.out.code.first.back() + std::uint64_t(prefix.kept));
  pass.positionError[std::size_t(q % std::int64_t(pass.positionError.size()))] += prefix.error;
  pass.out.bits += prefix.bits;
  if (!sketch) return prefix.kept;
  sketchBlock(pass, q, prefix.kept);
  pass.coefficients.resize(std::size_t(prefix.kept));
  blockCoefficients(pass.dq, pass.levels.data(), prefix.kept, prefix.prediction, pass.coefficients.data());
  const DictionaryPair& d = *pass.in.dictionary;
  if (d.vectors == BlockVectors::kAtoms) {
    placeAtomEdges(*pass.in.geometry, pass.out.planes, q, d.Dy.data(), d.Dx.data(), atoms.yIndex.data() + base,
                   atoms.xIndex.data() + base, pass.coefficients.data(), prefix.kept);
  } else {
    const double* edges = atoms.edges.data() + base * std::size_t(edgeLength(*pass.in.geometry));
    placeBlockEdges(*pass.in.geometry, pass.out.planes, q, edges, pass.coefficients.data(), prefix.kept);
  }
  return prefix.kept;
}

// Codes block q: its best prefix (or, where `kept` >= 0, its first `kept`
// pursuit atoms) as a set in scan order, quantized again in that order,
// appended to the code and placed whole.
std::int32_t codeBlock(Pass& pass, ScanOrderedBlocks& scanned, std::int32_t kept, std::int64_t q) {
  if (kept < 0) kept = bestPrefix(pass, q, true).kept;
  pass.out.prefixes.push_back(kept);
  const ScanOrderedBlocks::Block b = scanned.of(q, kept);
  const std::int32_t m = b.atoms;
  const double prediction = m > 0 ? firstPrediction(*pass.in.geometry, pass.out.planes, q, b.firstSum) : 0.0;
  pass.levels.resize(std::size_t(m));
  for (std::int32_t k = 0; k < m; ++k) {
    const double c = b.coefficients[std::size_t(k)];
    const LevelChoice choice{q, m, k, b.rank[std::size_t(k)], k == 0 ? c - prediction : c,
                             k > 0 ? pass.levels[std::size_t(k) - 1] : 0};
    double error = 0.0, bits = 0.0;
    const std::int32_t level = chooseLevel(pass.in, pass.prices.models, pass.dq, pass.lambda, choice, &error, &bits);
    pass.levels[std::size_t(k)] = level;
    pass.fit.add(level, std::fabs(choice.target) / pass.dq.step);
    pass.out.code.yIndex.push_back(b.y[std::size_t(k)]);
    pass.out.code.xIndex.push_back(b.x[std::size_t(k)]);
    pass.out.code.level.push_back(level);
  }
  pass.out.code.first.push_back(pass.out.code.first.back() + std::uint64_t(m));
  pass.coefficients.resize(std::size_t(m));
  pass.block.resize(std::size_t(pass.in.geometry->blockPixels()));
  blockCoefficients(pass.dq, pass.levels.data(), m, prediction, pass.coefficients.data());
  const DictionaryPair& d = *pass.in.dictionary;
  if (m > 0 && d.vectors == BlockVectors::kAtoms) {
    placeAtoms(*pass.in.geometry, pass.out.planes, q, d.Dy.data(), d.Dx.data(), b.y, b.x,
               pass.coefficients.data(), m, pass.block.data());
  } else if (m > 0) {
    placeBlock(*pass.in.geometry, pass.out.planes, q, b.vectors, pass.coefficients.data(), m,
               pass.block.data());
  }
  return m;
}

// Measures the decoded image with the edge filter off and at rising
// strengths while the error falls, and keeps the best (the planes stay
// unfiltered; the filtered ones are made in `filtered`).
void measureDecoded(const QuantizerInput& in, Quantization& out, std::vector<double>& filtered) {
  const PlaneGeometry& g = *in.geometry;
  out.squaredError = decodedError(g, out.planes, in.image, in.errorsInAnyOrder);
  out.edgeFilter = 0;
  for (std::int32_t strength = 1; strength <= kMostEdgeFilter; ++strength) {
    filtered.assign(out.planes.begin(), out.planes.end());
    filterBlockEdges(g, filtered, out.step, strength);
    const double error = decodedError(g, filtered, in.image, in.errorsInAnyOrder);
    if (!(error < out.squaredError)) break;
    out.squaredError = error;
    out.edgeFilter = strength;
  }
}

}  // namespace

Prices::Prices(const QuantizerInput& in, PayloadModels trained, const BlockCode* code)
    : models(std::move(trained)) {
  models.tabulatePrices();
  const CodeShape& shape = *in.shape;
  const std::int64_t perChannel = std::int64_t(shape.gridRows) * shape.gridCols;
  // Frequencies of the pairs in the trained code, per channel class (luma or
  // grey, chroma), with half a count for every pair.
  std::vector<double> frequency(2 * std::size_t(shape.pairs()), 0.5);
  double total[2] = {0.5 * shape.pairs(), 0.5 * shape.pairs()};
  if (code != nullptr) {
    for (std::int64_t q = 0; q + 1 < std::int64_t(code->first.size()); ++q) {
      const std::size_t c = q < perChannel ? 0 : 1;
      for (std::uint64_t a = code->first[std::size_t(q)]; a < code->first[std::size_t(q) + 1]; ++a) {
        frequency[c * shape.pairs() + shape.rank(code->yIndex[a], code->xIndex[a])] += 1.0;
        total[c] += 1.0;
      }
    }
  }
  // The logarithms tabulated: per pair and class, and per place in a block.
  std::vector<double> pairBits(frequency.size());
  for (std::size_t p = 0; p < pairBits.size(); ++p) pairBits[p] = -std::log2(frequency[p] / total[p / shape.pairs()]);
  std::vector<double> placeBits(std::size_t(std::max(shape.capacity, 1)));
  for (std::size_t k = 0; k < placeBits.size(); ++k) placeBits[k] = std::log2(double(k + 1));
  const PursuitAtoms& atoms = *in.atoms;
  indexBits.resize(atoms.yIndex.size());
  ranks.resize(atoms.yIndex.size());
  for (std::int64_t q = 0; q + 1 < std::int64_t(atoms.first.size()); ++q) {
    const std::size_t c = q < perChannel ? 0 : 1;
    const std::size_t base = std::size_t(atoms.first[std::size_t(q)]);
    for (std::int32_t k = 0; k < atoms.count(q); ++k) {
      const std::size_t a = base + std::size_t(k);
      const std::uint32_t rank = shape.rank(std::uint32_t(atoms.yIndex[a]), std::uint32_t(atoms.xIndex[a]));
      ranks[a] = rank;
      const double place = std::size_t(k) < placeBits.size() ? placeBits[std::size_t(k)] : std::log2(double(k + 1));
      const double bits = pairBits[c * shape.pairs() + rank] - place;
      indexBits[a] = std::max(bits, kLeastIndexBits);
    }
  }
}

struct ScanOrderedBlocks::Basis {
  explicit Basis(const QuantizerInput& in)
      : basis(*in.dictionary, in.geometry->blockRows, in.geometry->blockCols, in.shape->capacity),
        held(in.dictionary->vectors == BlockVectors::kAtoms
                 ? std::size_t(in.dictionary->Ky) * std::size_t(in.dictionary->Kx)
                 : 0,
             0) {}
  ScanBasis basis;
  std::vector<std::int32_t> order;  // a block's atoms in scan order
  std::vector<std::uint64_t> keys;  // their ranks and places, to sort
  std::vector<std::uint8_t> held;   // where the atoms are the vectors, per pair: taken (all 0 between blocks)
  std::vector<double> vector;       // a block's first atom
};

ScanOrderedBlocks::ScanOrderedBlocks(const QuantizerInput& in)
    : in_(in),
      basis_(new Basis(in)),
      made_(std::size_t(in.geometry->blocks())),
      y_(in.atoms->yIndex.size()),
      x_(in.atoms->yIndex.size()),
      rank_(in.atoms->yIndex.size()),
      coefficients_(in.atoms->yIndex.size()) {}

ScanOrderedBlocks::~ScanOrderedBlocks() = default;

ScanOrderedBlocks::Block ScanOrderedBlocks::of(std::int64_t q, std::int32_t m) {
  const Made& made = made_[std::size_t(q)];
  if (made.prefix != m) make(q, m, *basis_);
  const std::size_t base = std::size_t(in_.atoms->first[std::size_t(q)]);
  Block b;
  b.atoms = made.atoms;
  b.y = y_.data() + base;
  b.x = x_.data() + base;
  b.rank = rank_.data() + base;
  b.coefficients = coefficients_.data() + base;
  b.vectors = made.vectors.empty() ? nullptr : made.vectors.data();
  b.firstSum = made.firstSum;
  return b;
}

void ScanOrderedBlocks::prepare(const std::vector<std::uint64_t>& first, std::int32_t threads) {
  forBlockRanges(std::int64_t(made_.size()), threads,
                 [&](std::int32_t thread, std::int64_t begin, std::int64_t end) {
                   std::unique_ptr<Basis> own(thread == 0 ? nullptr : new Basis(in_));
                   Basis& basis = thread == 0 ? *basis_ : *own;
                   for (std::int64_t q = begin; q < end; ++q) {
                     const std::int32_t m = std::int32_t(first[std::size_t(q) + 1] - first[std::size_t(q)]);
                     if (made_[std::size_t(q)].prefix != m) make(q, m, basis);
                   }
                 });
}

void ScanOrderedBlocks::make(std::int64_t q, std::int32_t m, Basis& own) {
  const PursuitAtoms& atoms = *in_.atoms;
  const std::size_t base = std::size_t(atoms.first[std::size_t(q)]);
  const auto rankOf = [&](std::int32_t k) {
    const std::size_t a = base + std::size_t(k);
    return in_.shape->rank(std::uint32_t(atoms.yIndex[a]), std::uint32_t(atoms.xIndex[a]));
  };
  std::vector<std::int32_t>& order = own.order;
  orderByRank(m, rankOf, own.keys, order);
  Made& made = made_[std::size_t(q)];
  made.prefix = m;
  made.firstSum = 0.0;
  made.vectors.clear();  // emptied, not freed: a block made again keeps its storage
  std::uint16_t* y = y_.data() + base;
  std::uint16_t* x = x_.data() + base;
  std::uint32_t* rank = rank_.data() + base;
  double* coefficients = coefficients_.data() + base;
  std::int32_t kept = 0;
  const std::size_t N = std::size_t(in_.geometry->blockPixels());
  // Where the atoms are the vectors, a block's coefficient of an atom is the
  // pursuit's, whatever the order, and the atoms are made as the block is
  // placed (placeAtoms); else the vectors are Gram-Schmidt's in scan order,
  // kept.
  if (in_.dictionary->vectors == BlockVectors::kAtoms) {
    // The basis's rule without making the vectors: an atom held already
    // adds no direction.
    const DictionaryPair& d = *in_.dictionary;
    for (std::int32_t k : order) {
      const std::size_t a = base + std::size_t(k);
      std::uint8_t& held = own.held[std::size_t(atoms.yIndex[a]) + std::size_t(atoms.xIndex[a]) * std::size_t(d.Ky)];
      if (held) continue;
      held = 1;
      y[kept] = static_cast<std::uint16_t>(atoms.yIndex[a]);
      x[kept] = static_cast<std::uint16_t>(atoms.xIndex[a]);
      rank[kept] = rankOf(k);
      coefficients[kept] = atoms.coefficients[a];
      ++kept;
    }
    for (std::int32_t k = 0; k < kept; ++k) own.held[y[k] + std::size_t(x[k]) * std::size_t(d.Ky)] = 0;
    made.atoms = kept;
    if (kept == 0) return;
    own.vector.resize(N);
    ScanBasis::atomVector(d, in_.geometry->blockRows, in_.geometry->blockCols, y[0], x[0], own.vector.data());
    made.firstSum = vectorSum(own.vector.data(), std::int32_t(N));
    return;
  }
  ScanBasis& basis = own.basis;
  basis.clear();
  for (std::int32_t k : order) {
    const std::size_t a = base + std::size_t(k);
    if (!basis.add(atoms.yIndex[a], atoms.xIndex[a])) continue;  // no direction left in this order
    y[kept] = static_cast<std::uint16_t>(atoms.yIndex[a]);
    x[kept] = static_cast<std::uint16_t>(atoms.xIndex[a]);
    rank[kept] = rankOf(k);
    ++kept;
  }
  made.atoms = kept;
  if (kept == 0) return;
  made.firstSum = vectorSum(basis.vector(0), std::int32_t(N));
  const double* F = atoms.values.data() + std::size_t(q) * N;
  made.vectors.assign(basis.vector(0), basis.vector(0) + N * std::size_t(kept));
  for (std::int32_t k = 0; k < kept; ++k) {
    const double* u = basis.vector(k);
    double c = 0.0;
    for (std::size_t i = 0; i < N; ++i) c += u[i] * F[i];
    coefficients[k] = c;
  }
}

Quantization quantizeImage(const QuantizerInput& in, double step, std::uint16_t offsetOne,
                           std::uint16_t offsetMore, const Prices& prices, QuantizeFor what,
                           ScanOrderedBlocks* scanned, const std::vector<std::uint64_t>* kept,
                           QuantizerScratch& scratch) {
  const PlaneGeometry& g = *in.geometry;
  Quantization out;
  out.step = step;
  out.offsetOne = offsetOne;
  out.offsetMore = offsetMore;
  // Measured: every sample is written (zeros where a block has no atom).
  // Sketched: only the edges the predictions read, every block's each time.
  // Estimated: none.
  if (what == QuantizeFor::kMeasure) {
    out.planes = std::move(scratch.planes);
    out.planes.assign(g.planeSize() * std::size_t(g.channels), 0.0);
  } else if (what == QuantizeFor::kSketch) {
    out.planes = std::move(scratch.planes);
    out.planes.resize(g.planeSize() * std::size_t(g.channels));
  }
  out.code.first.reserve(std::size_t(g.blocks()) + 1);
  out.code.first.push_back(0);
  Pass pass{in, prices, Dequantizer(), kLambdaPerStep2 * step * step, out, OffsetFit(), {}, {}, {}, {}, {}, {}};
  pass.dq.step = step;
  pass.dq.offsetOne = double(offsetOne) / kOffsetUnit;
  pass.dq.offsetMore = double(offsetMore) / kOffsetUnit;
  if (what != QuantizeFor::kMeasure) pass.positionError.assign(std::size_t(g.blocks() / g.channels), 0.0);
  for (std::int64_t q = 0; q < g.blocks(); ++q) {
    const std::int32_t prefix =
        kept != nullptr ? std::int32_t((*kept)[std::size_t(q) + 1] - (*kept)[std::size_t(q)]) : -1;
    const std::int32_t m = what == QuantizeFor::kMeasure ? codeBlock(pass, *scanned, prefix, q)
                                                         : estimateBlock(pass, q, what == QuantizeFor::kSketch);
    out.atoms += std::uint64_t(m);
  }
  out.fittedOne = pass.fit.offset(0);
  out.fittedMore = pass.fit.offset(1);
  out.bits += 8.0 * double(in.headerBytes);
  const double samples = double(g.rows) * g.cols * g.channels;
  if (what == QuantizeFor::kMeasure) {
    measureDecoded(in, out, scratch.filtered);
  } else {
    // Each position's samples rounded, in all channels at once; the padding's
    // share left out.
    const std::int32_t positionSamples = g.blockPixels() * g.channels;
    for (const double error : pass.positionError) out.squaredError += roundedError(error, positionSamples);
    out.squaredError = out.squaredError * samples / (double(g.planeSize()) * g.channels);
  }
  return out;
}

}  // namespace tilevista
