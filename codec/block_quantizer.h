// Every block of an image quantized at one step: which of its atoms are coded
// and with which levels.
//
// At a step s, with lambda = kLambdaPerStep2 x s^2, blocks are taken in the
// payload's order (a block's first coefficient is predicted from the blocks
// decoded before it). A block's atoms in the pursuit's order each take the
// level of least squared error plus lambda times its bits, and the block keeps
// the prefix of its atoms (possibly none) of least squared error plus lambda
// times bits, the error of the atoms left out included: an atom is coded
// where what it removes from the squared error is worth its bits at the slope
// lambda. A block's first m vectors do not depend on its later atoms, so the
// pursuit's coefficients price every prefix at once.
//
// The prefix kept is then coded as a set, in scan order (block_code.h): its
// basis is rebuilt in that order with the decoder's steps, the block's
// coefficients taken in it and quantized again the same way. The span, and so
// the error of the atoms left out, is the same in either order.
//
// Estimates stop at the pursuit's order: the squared error by Parseval, the
// bits by the prices, a block's first coefficient predicted from the image's
// own samples around it (its neighbours as they are, not as decoded).
#ifndef TILEVISTA_CODEC_BLOCK_QUANTIZER_H
#define TILEVISTA_CODEC_BLOCK_QUANTIZER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "block_code.h"
#include "codec_dictionary.h"
#include "image_planes.h"
#include "pursuit_atoms.h"
#include "reconstruction.h"

namespace tilevista {

/// lambda / step^2: the slope of the rate-distortion trade at a step.
constexpr double kLambdaPerStep2 = 0.12;

/// Everything a quantization reads.
struct QuantizerInput {
  const PlaneGeometry* geometry;
  const CodeShape* shape;
  const DictionaryPair* dictionary;
  const PursuitAtoms* atoms;
  const double* image;       ///< the image's own samples, rows x cols x channels
  std::size_t headerBytes;   ///< bytes of the file besides its payload
  std::int32_t threads;      ///< for the work on blocks that does not depend on other blocks
  bool errorsInAnyOrder = false;  ///< errorsSumInAnyOrder(image) (image_planes.h)
};

/// Prices of a quantization: models with tabulated prices, and every pursuit
/// atom's share of the bits of its block's set of atoms.
struct Prices {
  /// Prices from models trained on `trained` (the code they were trained on;
  /// null for fresh models, whose prices are flat).
  Prices(const QuantizerInput& in, PayloadModels models, const BlockCode* trained);
  PayloadModels models;
  /// Per pursuit atom k of a block: -log2 of its pair's frequency in the
  /// trained code, less log2(k + 1) (a set of m atoms needs log2 m! bits less
  /// than the same atoms in order), at least half a bit.
  std::vector<double> indexBits;
  std::vector<std::uint32_t> ranks;  ///< per pursuit atom: its pair's scan rank
};

/// A block's first m pursuit atoms as a set in scan order, with the block's
/// basis and coefficients in that order; cached, since the steps tried keep
/// most blocks' prefixes. Block q's atoms lie where its pursuit atoms do
/// (PursuitAtoms::first), in arrays of the whole image's atoms.
class ScanOrderedBlocks {
 public:
  /// A block's atoms in scan order: a view of the cache, valid until the
  /// block is made again.
  struct Block {
    std::int32_t atoms = 0;
    const std::uint16_t* y = nullptr;
    const std::uint16_t* x = nullptr;
    const std::uint32_t* rank = nullptr;
    const double* coefficients = nullptr;
    const double* vectors = nullptr;  ///< N x atoms; null where the atoms are the vectors
    double firstSum = 0.0;
  };
  explicit ScanOrderedBlocks(const QuantizerInput& in);
  ~ScanOrderedBlocks();
  /// Block q's first m pursuit atoms in scan order. An atom the basis refuses
  /// in that order (no direction of its own left, to rounding) is left out.
  Block of(std::int64_t q, std::int32_t m);
  /// Makes every block's first count(q) atoms ready on `threads` threads
  /// (each block's made alone, so the same as of() makes it).
  /// @param first  blocks + 1 offsets: block q's count is first[q+1] - first[q]
  void prepare(const std::vector<std::uint64_t>& first, std::int32_t threads);

 private:
  struct Basis;
  // What a block was made of and holds; its atoms are in the arrays below.
  struct Made {
    std::int32_t prefix = -1;  // the pursuit atoms it was made of
    std::int32_t atoms = 0;
    double firstSum = 0.0;
    std::vector<double> vectors;  // Gram-Schmidt's, N x atoms
  };
  void make(std::int64_t q, std::int32_t m, Basis& basis);
  const QuantizerInput& in_;
  std::unique_ptr<Basis> basis_;
  std::vector<Made> made_;
  std::vector<std::uint16_t> y_, x_;
  std::vector<std::uint32_t> rank_;
  std::vector<double> coefficients_;
};

/// The image quantized at one step.
struct Quantization {
  double step = 0.0;
  std::uint16_t offsetOne = 0, offsetMore = 0;  ///< reconstruction offsets, 1/65536 of the step
  /// The blocks' atoms and levels; when estimated, the counts (first) alone.
  BlockCode code;
  /// Measured: per block, the pursuit atoms its coded set was taken from (a
  /// prefix of the block's; an atom the scan order's basis refuses is not
  /// coded).
  std::vector<std::int32_t> prefixes;
  /// The decoded planes: every sample when measured, the samples the blocks'
  /// predictions read when sketched; estimates have none.
  std::vector<double> planes;
  /// Measured: of the decoded image, on its own samples, with the best edge
  /// filter. Else estimated from the coefficients (with the rounding's share).
  double squaredError = 0.0;
  std::int32_t edgeFilter = 0;  ///< measured: the edge filter's best strength
  double bits = 0.0;         ///< estimated from the prices: payload and header
  std::uint64_t atoms = 0;   ///< atoms coded
  /// The offsets that would fit these levels best.
  std::uint16_t fittedOne = 0, fittedMore = 0;
};

/// How much a quantization makes.
enum class QuantizeFor {
  kEstimate,  ///< the estimates and the blocks' counts
  /// The estimates and a sketch of the code for training prices: every
  /// block's prefix in scan order with the levels of the pursuit's order
  kSketch,
  kMeasure,   ///< the code, the decoded planes and the decoded image measured
};

/// Storage of the planes' size a quantization works in, kept from one to
/// the next to spare allocations (any content).
struct QuantizerScratch {
  std::vector<double> planes;    ///< taken as the quantization's planes
  std::vector<double> filtered;  ///< the planes with an edge filter tried (kMeasure)
};

/// Quantizes every block at `step` (see above).
/// @param scanned  the cache of scan-ordered blocks (kMeasure)
/// @param kept     kMeasure: null, or the prefixes to code instead of each
///                 block's best (blocks + 1 offsets: an estimate's code.first
///                 at the same step, prices and offsets, whose choices then
///                 need not be made again)
/// @param scratch  in/out, storage; its planes become the result's, so hand
///                 them back (or not) once the result's are no longer needed
Quantization quantizeImage(const QuantizerInput& in, double step, std::uint16_t offsetOne,
                           std::uint16_t offsetMore, const Prices& prices, QuantizeFor what,
                           ScanOrderedBlocks* scanned, const std::vector<std::uint64_t>* kept,
                           QuantizerScratch& scratch);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_BLOCK_QUANTIZER_H
