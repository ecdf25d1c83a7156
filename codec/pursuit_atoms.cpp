// The encoder's pursuit call and the blocks' bases (pursuit_atoms.h).
#include "pursuit_atoms.h"

#include <algorithm>
#include <chrono>

#include "block_threads.h"
#include "reconstruction.h"
#include "tilevista/block_basis.h"
#include "tilevista/codec.h"

namespace tilevista {

namespace {

// Keeps each block's indices; the approximations and the pursuit's own
// coefficients are written too, as the pursuit writes every array, and
// dropped. Every block has storage of its own, so arrays handed out stay
// where they are while the pursuit's threads fill them.
class AtomSink : public PursuitSink {
 public:
  struct Block {
    std::vector<std::int32_t> y, x;
    std::vector<double> coefficients, approximation;
  };
  AtomSink(std::int64_t blocks, std::int32_t N) : blocks_(std::size_t(blocks)), N_(N) {}
  BlockOutputs blockOutputs(std::int32_t q, std::int32_t m) override {
    Block& b = blocks_[std::size_t(q)];
    b.y.resize(std::size_t(m));
    b.x.resize(std::size_t(m));
    b.coefficients.resize(std::size_t(m));
    b.approximation.resize(std::size_t(N_));
    BlockOutputs out;
    out.approximation = b.approximation.data();
    out.yIndex = b.y.data();
    out.xIndex = b.x.data();
    out.coefficients = b.coefficients.data();
    return out;
  }
  bool failsByUnwinding() const override { return true; }
  std::vector<Block>& blocks() { return blocks_; }

 private:
  std::vector<Block> blocks_;
  std::int32_t N_;
};

// The blocks' indices one after the other, and each atom's place in the
// pursuit's global order (from the curve).
void collectAtoms(AtomSink& sink, PursuitAtoms& atoms) {
  std::vector<AtomSink::Block>& blocks = sink.blocks();
  atoms.first.assign(blocks.size() + 1, 0);
  for (std::size_t q = 0; q < blocks.size(); ++q) atoms.first[q + 1] = atoms.first[q] + blocks[q].y.size();
  const std::size_t total = std::size_t(atoms.first.back());
  atoms.yIndex.reserve(total);
  atoms.xIndex.reserve(total);
  for (AtomSink::Block& b : blocks) {
    atoms.yIndex.insert(atoms.yIndex.end(), b.y.begin(), b.y.end());
    atoms.xIndex.insert(atoms.xIndex.end(), b.x.begin(), b.x.end());
    b = AtomSink::Block();
  }
  atoms.order.assign(total, 0);
  const PursuitCurve& curve = atoms.result.curve;
  for (std::size_t t = 0; t < curve.block.size(); ++t) {
    const std::size_t q = std::size_t(curve.block[t]);
    const std::size_t at = std::size_t(atoms.first[q]) + std::size_t(curve.position[t]);
    if (q < blocks.size() && at < atoms.first[q + 1]) atoms.order[at] = t;
  }
}

// Rebuilds the vectors of blocks begin..end-1 with the decoder's basis steps
// and takes their coefficients.
void rebuildBases(const PlaneGeometry& g, const DictionaryPair& d, const std::vector<double>& values,
                  std::int64_t begin, std::int64_t end, PursuitAtoms& atoms) {
  const std::int32_t N = g.blockPixels();
  const std::int32_t capacity = std::int32_t(std::min<std::int64_t>(std::int64_t(d.Ky) * d.Kx, N));
  BlockBasis basis(d.Dy.data(), d.Ky, d.Dx.data(), d.Kx, g.blockRows, g.blockCols, capacity);
  for (std::int64_t q = begin; q < end; ++q) {
    const double* F = values.data() + std::size_t(q) * std::size_t(N);
    double energy = 0.0;
    for (std::int32_t i = 0; i < N; ++i) energy += F[i] * F[i];
    atoms.energy[std::size_t(q)] = energy;
    const std::size_t first = std::size_t(atoms.first[std::size_t(q)]);
    const std::int32_t m = atoms.count(q);
    basis.clear();
    for (std::int32_t k = 0; k < m; ++k) {
      if (!basis.add(atoms.yIndex[first + std::size_t(k)], atoms.xIndex[first + std::size_t(k)])) {
        throw CodecError(codec_error::kBasis,
                         "The basis steps refused an atom the pursuit took (block " +
                             std::to_string(q + 1) + "): the core's two disagree.");
      }
      const double* u = basis.vector(k);
      double c = 0.0;
      for (std::int32_t i = 0; i < N; ++i) c += u[i] * F[i];
      atoms.coefficients[first + std::size_t(k)] = c;
    }
    if (m == 0) continue;
    std::copy(basis.vector(0), basis.vector(0) + std::size_t(N) * std::size_t(m),
              atoms.vectors.begin() + std::ptrdiff_t(first * std::size_t(N)));
    atoms.firstSum[std::size_t(q)] = vectorSum(basis.vector(0), N);
  }
}

}  // namespace

PursuitAtoms pursueBlocks(const PlaneGeometry& g, const std::vector<double>& planes,
                          const DictionaryPair& dictionary, const PursuitDepth& depth) {
  const std::int64_t Q = g.blocks();
  const std::int32_t N = g.blockPixels();
  std::vector<double> values(std::size_t(Q) * std::size_t(N));
  std::vector<const double*> blocks(static_cast<std::size_t>(Q));
  for (std::int64_t q = 0; q < Q; ++q) {
    double* block = values.data() + std::size_t(q) * std::size_t(N);
    readBlock(g, planes, q, block);
    blocks[std::size_t(q)] = block;
  }
  PursuitRequest request;
  request.blocks = blocks.data();
  request.blockCount = static_cast<std::int32_t>(Q);
  request.rows = g.blockRows;
  request.cols = g.blockCols;
  request.Dy = dictionary.Dy.data();
  request.Ky = dictionary.Ky;
  request.Dx = dictionary.Dx.data();
  request.Kx = dictionary.Kx;
  request.tol = depth.tol;
  request.atomLimit = depth.atomLimit;
  request.threads = depth.threads;
  request.duals = false;
  request.bases = false;
  request.curve = true;
  AtomSink sink(Q, N);
  PursuitAtoms atoms;
  const auto start = std::chrono::steady_clock::now();
  atoms.result = runBlockPursuit(request, sink);
  atoms.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  collectAtoms(sink, atoms);
  const std::size_t total = atoms.yIndex.size();
  atoms.coefficients.assign(total, 0.0);
  atoms.vectors.assign(total * std::size_t(N), 0.0);
  atoms.energy.assign(std::size_t(Q), 0.0);
  atoms.firstSum.assign(std::size_t(Q), 0.0);
  forBlockRanges(Q, depth.threads, [&](std::int32_t, std::int64_t begin, std::int64_t end) {
    rebuildBases(g, dictionary, values, begin, end, atoms);
  });
  return atoms;
}

}  // namespace tilevista
