// The encoder's pursuit call and what the codec keeps of it (pursuit_atoms.h).
#include "pursuit_atoms.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include "block_threads.h"
#include "reconstruction.h"
#include "scan_basis.h"
#include "tilevista/codec.h"

namespace tilevista {

namespace {

// Keeps each block's indices, its coefficients in its orthonormal vectors and,
// when `vectors`, the vectors themselves (where the atoms are the vectors, they
// are not asked for: the pursuit then does not write them); the
// approximations, the pursuit's own coefficients and the duals are not asked
// for, so the pursuit does not compute them. Every block has storage of its
// own, so arrays handed out stay where they are while the pursuit's threads
// fill them.
class AtomSink : public PursuitSink {
 public:
  // Arrays the pursuit writes in full: left uninitialised. `values` holds the
  // m coefficients, then the N x m vectors if kept; `indices` the m Y, then
  // the m X indices.
  struct Block {
    std::unique_ptr<std::int32_t[]> indices;
    std::unique_ptr<double[]> values;
    std::int32_t m = 0;
  };
  AtomSink(std::int64_t blocks, std::int32_t N, bool vectors)
      : blocks_(std::size_t(blocks)), N_(N), vectors_(vectors) {}
  BlockOutputs blockOutputs(std::int32_t q, std::int32_t m) override {
    BlockOutputs out;
    if (m == 0) return out;
    Block& b = blocks_[std::size_t(q)];
    const std::size_t atoms = std::size_t(m), N = vectors_ ? std::size_t(N_) : 0;
    b.m = m;
    b.indices.reset(new std::int32_t[2 * atoms]);
    b.values.reset(new double[atoms * (N + 1)]);
    out.yIndex = b.indices.get();
    out.xIndex = b.indices.get() + atoms;
    out.basisCoefficients = b.values.get();
    if (vectors_) out.ortho = b.values.get() + atoms;
    return out;
  }
  bool failsByUnwinding() const override { return true; }
  std::vector<Block>& blocks() { return blocks_; }

 private:
  std::vector<Block> blocks_;
  std::int32_t N_;
  bool vectors_;
};

// The blocks' indices one after the other, and each atom's place in the
// pursuit's global order (from the curve). The blocks' vectors and
// coefficients stay in the sink for takeCoefficients.
void collectAtoms(AtomSink& sink, PursuitAtoms& atoms) {
  std::vector<AtomSink::Block>& blocks = sink.blocks();
  atoms.first.assign(blocks.size() + 1, 0);
  for (std::size_t q = 0; q < blocks.size(); ++q) atoms.first[q + 1] = atoms.first[q] + std::uint64_t(blocks[q].m);
  const std::size_t total = std::size_t(atoms.first.back());
  atoms.yIndex.resize(total);
  atoms.xIndex.resize(total);
  for (std::size_t q = 0; q < blocks.size(); ++q) {
    const AtomSink::Block& b = blocks[q];
    if (b.m == 0) continue;
    const std::size_t at = std::size_t(atoms.first[q]);
    std::copy(b.indices.get(), b.indices.get() + b.m, atoms.yIndex.begin() + std::ptrdiff_t(at));
    std::copy(b.indices.get() + b.m, b.indices.get() + 2 * b.m, atoms.xIndex.begin() + std::ptrdiff_t(at));
  }
  atoms.order.assign(total, 0);
  const PursuitCurve& curve = atoms.result.curve;
  for (std::size_t t = 0; t < curve.block.size(); ++t) {
    const std::size_t q = std::size_t(curve.block[t]);
    const std::size_t at = std::size_t(atoms.first[q]) + std::size_t(curve.position[t]);
    if (q < blocks.size() && at < atoms.first[q + 1]) atoms.order[at] = t;
  }
}

// The coefficients, energy, first vector's sum, vectors' edges and first
// coefficient's prediction from the image's own samples (`planes`) of blocks
// begin..end-1, from what the pursuit wrote into the sink, which goes. Where
// the atoms are the vectors, the sum comes from the first atom as the decoder
// makes it (ScanBasis::atomVector), and the edges are left to the atoms.
void takeCoefficients(const PlaneGeometry& g, const DictionaryPair& d, const std::vector<double>& planes,
                      const std::vector<double>& values, std::vector<AtomSink::Block>& blocks,
                      std::int64_t begin, std::int64_t end, PursuitAtoms& atoms) {
  const std::int32_t N = g.blockPixels();
  const std::size_t E = std::size_t(edgeLength(g));
  const bool ownVectors = d.vectors == BlockVectors::kAtoms;
  std::vector<double> atom(ownVectors ? std::size_t(N) : 0);
  for (std::int64_t q = begin; q < end; ++q) {
    const double* F = values.data() + std::size_t(q) * std::size_t(N);
    double energy = 0.0;
    for (std::int32_t i = 0; i < N; ++i) energy += F[i] * F[i];
    atoms.energy[std::size_t(q)] = energy;
    AtomSink::Block& b = blocks[std::size_t(q)];
    const std::int32_t m = b.m;
    if (m == 0) continue;
    const std::size_t first = std::size_t(atoms.first[std::size_t(q)]);
    const std::unique_ptr<double[]> held = std::move(b.values);
    b.indices.reset();
    std::copy(held.get(), held.get() + m, atoms.coefficients.begin() + std::ptrdiff_t(first));
    if (!ownVectors) {
      const double* U = held.get() + m;
      atoms.firstSum[std::size_t(q)] = vectorSum(U, N);
      vectorEdges(g, U, m, atoms.edges.data() + first * E);
    } else {
      ScanBasis::atomVector(d, g.blockRows, g.blockCols, atoms.yIndex[first], atoms.xIndex[first], atom.data());
      atoms.firstSum[std::size_t(q)] = vectorSum(atom.data(), N);
    }
    atoms.imagePrediction[std::size_t(q)] = firstPrediction(g, planes, q, atoms.firstSum[std::size_t(q)]);
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
  request.duals = false;  // neither duals nor the atoms' own coefficients are asked for
  request.bases = dictionary.vectors != BlockVectors::kAtoms;
  request.curve = true;
  AtomSink sink(Q, N, request.bases);
  PursuitAtoms atoms;
  const auto start = std::chrono::steady_clock::now();
  atoms.result = runBlockPursuit(request, sink);
  atoms.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  collectAtoms(sink, atoms);
  const std::size_t total = atoms.yIndex.size();
  atoms.coefficients.assign(total, 0.0);
  if (dictionary.vectors != BlockVectors::kAtoms) atoms.edges.assign(total * std::size_t(edgeLength(g)), 0.0);
  atoms.energy.assign(std::size_t(Q), 0.0);
  atoms.firstSum.assign(std::size_t(Q), 0.0);
  atoms.imagePrediction.assign(std::size_t(Q), 0.0);
  forBlockRanges(Q, depth.threads, [&](std::int32_t, std::int64_t begin, std::int64_t end) {
    takeCoefficients(g, dictionary, planes, values, sink.blocks(), begin, end, atoms);
  });
  atoms.values = std::move(values);
  return atoms;
}

}  // namespace tilevista
