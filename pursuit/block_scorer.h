// How a pursuit scores a block against every atom pair of its dictionaries:
// one interface, one implementation per route (scoring_routes.cpp holds the
// table of routes). A call makes one scorer and every thread uses it at once.
#ifndef TILEVISTA_BLOCK_SCORER_H
#define TILEVISTA_BLOCK_SCORER_H

#include <cstddef>
#include <cstdint>

#include "scoring_gate.h"

class BlockScorer {
 public:
  virtual ~BlockScorer() = default;

  /// The route by name, for the statistics: "blas", or "libxsmm-" and the
  /// kernels' instruction set ("libxsmm-avx2", "libxsmm-avx512", ...).
  virtual const char* route() const = 0;

  /// True when threads scoring at the same time slow each other down badly
  /// (a BLAS whose gemm takes a lock).
  virtual bool contends() const = 0;

  /// Scratch a thread needs for select(), in doubles.
  virtual std::size_t scratchSize() const = 0;

  /// Scores block F against every atom pair and returns the pair of largest
  /// absolute score; among equal absolute scores the lowest linear index
  /// yIndex + Ky * xIndex wins. Safe to call from several threads at once,
  /// each with scratch of its own.
  /// @param F          in, rows x cols, column-major
  /// @param scratch    scratchSize() doubles, overwritten; 64-byte aligned is
  ///                   fastest (AlignedDoubles)
  /// @param bestValue  out, absolute score of the chosen pair
  /// @param yIndex     out, its 0-based Y atom index
  /// @param xIndex     out, its 0-based X atom index
  virtual void select(const double* F, double* scratch, double* bestValue, std::int32_t* yIndex,
                      std::int32_t* xIndex) const = 0;

  /// The score table of block F against every atom pair (Ky x Kx,
  /// column-major, within the scratch), for a caller that chooses the entry
  /// itself; null on a route that scores without a table it can hand out (it
  /// then chooses in select() alone). Safe to call from several threads at
  /// once, each with scratch of its own.
  virtual const double* scoreTable(const double* F, double* scratch) const = 0;

  /// Lets one thread at a time through the scoring when `threads` threads
  /// share this scorer and it contends. Call before the threads start.
  void shareAmong(std::int32_t threads) { gate_.close(threads > 1 && contends()); }

  /// Blocks a thread scores in step, in one pass through the gate: several
  /// where the gate is closed, so that each pass scores several blocks; one
  /// otherwise, so that a block's data stays in the nearest cache from one of
  /// its atoms to the next.
  std::size_t burst() const { return gate_.closed() ? kClosedGateBurst : 1; }

  /// The gate a thread holds while it scores (ScoringGate::Pass).
  ScoringGate& gate() const { return gate_; }

 private:
  static constexpr std::size_t kClosedGateBurst = 16;
  mutable ScoringGate gate_;
};

#endif  // TILEVISTA_BLOCK_SCORER_H
