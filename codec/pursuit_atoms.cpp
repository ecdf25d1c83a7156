// The encoder's pursuit call and what the codec keeps of it (pursuit_atoms.h).
#include "pursuit_atoms.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "block_threads.h"
#include "reconstruction.h"
#include "tilevista/codec.h"

namespace tilevista {

namespace {

// Keeps each block's indices and orthonormal vectors; the approximations and
// the pursuit's own coefficients are written too, as the pursuit writes every
// array, and dropped. Every block has storage of its own, so arrays handed out
// stay where they are while the pursuit's threads fill them.
class AtomSink : public PursuitSink {
 public:
  // Arrays the pursuit writes in full: left uninitialised.
  struct Block {
    std::unique_ptr<std::int32_t[]> y, x;
    std::unique_ptr<double[]> coefficients, approximation, ortho;
    std::int32_t m = 0;
  };
  AtomSink(std::int64_t blocks, std::int32_t N) : blocks_(std::size_t(blocks)), N_(N) {}
  BlockOutputs blockOutputs(std::int32_t q, std::int32_t m) override {
    Block& b = blocks_[std::size_t(q)];
    const std::size_t atoms = std::size_t(m), N = std::size_t(N_);
    b.m = m;
    b.y.reset(new std::int32_t[atoms]);
    b.x.reset(new std::int32_t[atoms]);
    b.coefficients.reset(new double[atoms]);
    b.approximation.reset(new double[N]);
    b.ortho.reset(new double[N * atoms]);
    BlockOutputs out;
    out.approximation = b.approximation.get();
    out.yIndex = b.y.get();
    out.xIndex = b.x.get();
    out.coefficients = b.coefficients.get();
    out.ortho = b.ortho.get();
    return out;
  }
  bool failsByUnwinding() const override { return true; }
  std::vector<Block>& blocks() { return blocks_; }

 private:
  std::vector<Block> blocks_;
  std::int32_t N_;
};

// The blocks' indices one after the other, and each atom's place in the
// pursuit's global order (from the curve). The blocks' vectors stay in the
// sink for takeCoefficients; the rest of its arrays go.
void collectAtoms(AtomSink& sink, PursuitAtoms& atoms) {
  std::vector<AtomSink::Block>& blocks = sink.blocks();
  atoms.first.assign(blocks.size() + 1, 0);
  for (std::size_t q = 0; q < blocks.size(); ++q) atoms.first[q + 1] = atoms.first[q] + std::uint64_t(blocks[q].m);
  const std::size_t total = std::size_t(atoms.first.back());
  atoms.yIndex.reserve(total);
  atoms.xIndex.reserve(total);
  for (std::size_t q = 0; q < blocks.size(); ++q) {
    AtomSink::Block& b = blocks[q];
    atoms.yIndex.insert(atoms.yIndex.end(), b.y.get(), b.y.get() + b.m);
    atoms.xIndex.insert(atoms.xIndex.end(), b.x.get(), b.x.get() + b.m);
    b.y.reset();
    b.x.reset();
    b.coefficients.reset();
    b.approximation.reset();
  }
  atoms.order.assign(total, 0);
  const PursuitCurve& curve = atoms.result.curve;
  for (std::size_t t = 0; t < curve.block.size(); ++t) {
    const std::size_t q = std::size_t(curve.block[t]);
    const std::size_t at = std::size_t(atoms.first[q]) + std::size_t(curve.position[t]);
    if (q < blocks.size() && at < atoms.first[q + 1]) atoms.order[at] = t;
  }
}

// The coefficients, energy, first vector's sum and vectors' edges of blocks
// begin..end-1, from the vectors the pursuit wrote into the sink, which go.
void takeCoefficients(const PlaneGeometry& g, const std::vector<double>& values,
                      std::vector<AtomSink::Block>& blocks, std::int64_t begin, std::int64_t end,
                      PursuitAtoms& atoms) {
  const std::int32_t N = g.blockPixels();
  const std::size_t E = std::size_t(edgeLength(g));
  for (std::int64_t q = begin; q < end; ++q) {
    const double* F = values.data() + std::size_t(q) * std::size_t(N);
    double energy = 0.0;
    for (std::int32_t i = 0; i < N; ++i) energy += F[i] * F[i];
    atoms.energy[std::size_t(q)] = energy;
    const std::size_t first = std::size_t(atoms.first[std::size_t(q)]);
    const std::int32_t m = atoms.count(q);
    std::unique_ptr<double[]> vectors = std::move(blocks[std::size_t(q)].ortho);
    const double* U = vectors.get();
    for (std::int32_t k = 0; k < m; ++k) {
      const double* u = U + std::size_t(k) * std::size_t(N);
      double c = 0.0;
      for (std::int32_t i = 0; i < N; ++i) c += u[i] * F[i];
      atoms.coefficients[first + std::size_t(k)] = c;
    }
    if (m == 0) continue;
    atoms.firstSum[std::size_t(q)] = vectorSum(U, N);
    vectorEdges(g, U, m, atoms.edges.data() + first * E);
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
  request.bases = true;
  request.curve = true;
  AtomSink sink(Q, N);
  PursuitAtoms atoms;
  const auto start = std::chrono::steady_clock::now();
  atoms.result = runBlockPursuit(request, sink);
  atoms.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  collectAtoms(sink, atoms);
  const std::size_t total = atoms.yIndex.size();
  atoms.coefficients.assign(total, 0.0);
  atoms.edges.assign(total * std::size_t(edgeLength(g)), 0.0);
  atoms.energy.assign(std::size_t(Q), 0.0);
  atoms.firstSum.assign(std::size_t(Q), 0.0);
  forBlockRanges(Q, depth.threads, [&](std::int32_t, std::int64_t begin, std::int64_t end) {
    takeCoefficients(g, values, sink.blocks(), begin, end, atoms);
  });
  atoms.values = std::move(values);
  return atoms;
}

}  // namespace tilevista
