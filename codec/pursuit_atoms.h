// The encoder's one pursuit call and what it makes of it: every block's atoms
// in the pursuit's order and the block's coefficients in the basis of the
// pursuit's orthonormal vectors. A block's first m vectors do not
// depend on its later atoms, so these coefficients price every prefix of the
// block's atoms at once (block_quantizer.h).
#ifndef TILEVISTA_CODEC_PURSUIT_ATOMS_H
#define TILEVISTA_CODEC_PURSUIT_ATOMS_H

#include <cstdint>
#include <vector>

#include "codec_dictionary.h"
#include "image_planes.h"
#include "tilevista/pursuit.h"

namespace tilevista {

/// How deep the pursuit goes.
struct PursuitDepth {
  double tol = 0.0;              ///< total squared residual to stop at (0: never)
  std::uint32_t atomLimit = 0;   ///< atoms at most
  std::int32_t threads = 1;      ///< threads (>= 1)
};

/// The atoms of every block (blocks as in image_planes.h, atoms of block q at
/// first[q] .. first[q+1]-1).
struct PursuitAtoms {
  std::vector<std::uint64_t> first;
  std::vector<std::int32_t> yIndex, xIndex;  ///< per atom, 0-based
  std::vector<double> coefficients;          ///< per atom: its vector times the block
  /// Per atom, edgeLength values: its vector's edge samples (reconstruction.h);
  /// empty where the atoms are the vectors (placeAtomEdges needs none).
  std::vector<double> edges;
  std::vector<double> values;                ///< per block, N values: the block itself
  std::vector<double> energy;                ///< per block: its squared norm
  std::vector<double> firstSum;              ///< per block: the sum of its first vector (0 without atoms)
  /// Per block: its first coefficient's prediction from the image's own
  /// samples around it (firstPrediction on the coded planes; 0 without atoms).
  std::vector<double> imagePrediction;
  /// Per block, per atom: the atom's place in the pursuit's global order.
  std::vector<std::uint64_t> order;
  PursuitResult result;                      ///< the call's outcome and curve
  double seconds = 0.0;                      ///< time of the pursuit call
  std::int32_t count(std::int64_t q) const {
    return static_cast<std::int32_t>(first[std::size_t(q) + 1] - first[std::size_t(q)]);
  }
};

/// Runs the pursuit on the planes' blocks with its curve and the blocks'
/// coefficients in their orthonormal vectors (nothing else: no approximation,
/// duals or atoms' own coefficients are computed), then takes the edges and
/// sum a block's prediction needs and its prediction from the image's own
/// samples (for the estimates), on `depth.threads` threads: from the
/// pursuit's vectors, or, where the dictionaries' atoms are the vectors
/// (BlockVectors::kAtoms), the sum from the first atom and no edges, and the
/// pursuit writes no vectors.
/// The vectors themselves are not kept.
/// @param planes  in, codedPlanes() of the image
/// @throws CodecError(kOutOfMemory) when the storage cannot be had
PursuitAtoms pursueBlocks(const PlaneGeometry& g, const std::vector<double>& planes,
                          const DictionaryPair& dictionary, const PursuitDepth& depth);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_PURSUIT_ATOMS_H
