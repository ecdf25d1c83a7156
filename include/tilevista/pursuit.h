// The block-wise greedy pursuit, the whole of what a host sees of it: one call
// approximates every block of an image over a separable dictionary pair,
// choosing each atom globally across blocks.
//
// A host describes the call (PursuitRequest: its blocks, dictionaries, tol,
// budget, threads, what it wants back), implements a sink that gives the
// arrays the results go to (PursuitSink), and gets the outcome back
// (PursuitResult). Nothing here knows a host's array types, console, errors
// or index convention: the host checks the arguments beforehand, prints what
// is to be printed and writes indices its own way.
#ifndef TILEVISTA_PURSUIT_H
#define TILEVISTA_PURSUIT_H

#include <cstdint>
#include <vector>

/// A new atom whose component outside its block's earlier atoms is not above
/// kTol1 times its own norm adds no new direction: it is refused, and its block
/// takes no more atoms.
constexpr double kTol1 = 1e-7;
/// No atom is taken whose candidate value (its absolute inner product with its
/// block's residual) is below kTol2.
constexpr double kTol2 = 1e-10;

/// Where one block's results go: arrays the host owns, sized for the block's
/// m atoms, column-major. The pursuit writes every element of every array
/// given; the host need not initialise them. An array left null is not
/// written, and what only it needs is not computed (with neither
/// coefficients nor duals, no dual vector is built).
struct BlockOutputs {
  double* approximation = nullptr;  ///< rows x cols; all zeros for a block without atoms
  std::int32_t* yIndex = nullptr;   ///< m, 0-based indices of the atoms' columns of Dy
  std::int32_t* xIndex = nullptr;   ///< m, 0-based indices of the atoms' columns of Dx
  double* coefficients = nullptr;   ///< m, the atoms' coefficients
  double* dual = nullptr;           ///< N x m, dual vectors; ignored when declined
  double* ortho = nullptr;          ///< N x m, orthonormal vectors; ignored when declined
  /// m, the block's coefficients in its orthonormal basis: u_j . f for its
  /// input f, whose squares add up to the energy its atoms take out (for a
  /// layer that codes a block in its basis).
  double* basisCoefficients = nullptr;
};

/// The host's side of the outputs.
class PursuitSink {
 public:
  virtual ~PursuitSink() = default;
  /// Where block q's results go. Called once for every block, in index order,
  /// on the thread that called runBlockPursuit, after the pursuit has stopped,
  /// and while no other thread of the pursuit runs unless failsByUnwinding()
  /// allows it (the other threads never call the sink). May throw (out of
  /// memory, a host's own error): the pursuit then ends with every thread
  /// joined and its storage freed, and the exception propagates.
  /// @param q  block index, 0-based
  /// @param m  atoms the block received (0: only the approximation is written)
  virtual BlockOutputs blockOutputs(std::int32_t q, std::int32_t m) = 0;
  /// True when every way blockOutputs can fail (a host error, an allocation
  /// that fails, an interrupt) is a C++ exception, which unwinds the pursuit's
  /// frames and so joins its threads before the host takes anything back. The
  /// pursuit may then ask for blocks' arrays, still on the calling thread, while
  /// its workers fill arrays given earlier. A host that may leave a call
  /// without unwinding (a long jump) must answer false.
  virtual bool failsByUnwinding() const { return false; }
};

/// Where a running pursuit stands, between its bands.
struct PursuitProgress {
  std::uint64_t atoms = 0;  ///< atoms taken so far
  double energy = 0.0;      ///< total squared residual now (+Inf while any block's is not finite)
  double tol = 0.0;         ///< the tol the pursuit stops at
};

/// One call of the pursuit, as checked by the host.
struct PursuitRequest {
  /// blockCount pointers, each to a rows x cols block, column-major. Read while
  /// the pursuit starts (the values are copied in) and never written.
  const double* const* blocks = nullptr;
  std::int32_t blockCount = 0;           ///< Q >= 1
  std::int32_t rows = 0, cols = 0;       ///< block size, N = rows x cols
  const double* Dy = nullptr;            ///< rows x Ky, dictionary Y, column-major (copied in)
  std::int32_t Ky = 0;
  const double* Dx = nullptr;            ///< cols x Kx, dictionary X, column-major (copied in)
  std::int32_t Kx = 0;
  /// Stop once the total squared residual is below tol (never for 0 or NaN).
  double tol = 0.0;
  /// Atoms in all at most: 1 to min(Ky x Kx, N) x Q.
  std::uint32_t atomLimit = 0;
  /// Threads to work on it, the calling thread included (>= 1; 1 creates no
  /// thread): pursuitThreads() (threads.h) gives the count for a call. The
  /// results do not depend on it.
  std::int32_t threads = 1;
  /// How blocks are scored: a name of scoringRoutes() (scoring_routes.h), or
  /// null or "" for the best route there is. The route taken is in the
  /// statistics.
  const char* scoring = nullptr;
  /// How blocks grow their orthonormal and dual sets: null or "" for the
  /// default, "blas", "fused", or a fused instruction set as the widest
  /// ("fused-general", "fused-avx2", "fused-avx512"); see basis_routes.h. The
  /// route taken is in the statistics.
  const char* basis = nullptr;
  bool duals = true;  ///< write the dual vectors (BlockOutputs::dual)
  bool bases = true;  ///< write the orthonormal vectors (BlockOutputs::ortho)
  bool curve = false; ///< record the serial order and energies (PursuitResult::curve)
  /// Polled on the calling thread between units of work of a few milliseconds
  /// at most; true ends the pursuit. Null: never interrupted.
  bool (*interrupted)() = nullptr;
  /// Called on the calling thread after every band, with progressContext. Null:
  /// no progress reported.
  void (*progress)(const PursuitProgress& progress, void* context) = nullptr;
  void* progressContext = nullptr;
};

/// The rule the pursuit stopped on.
enum class StopRule {
  kTol,     ///< the total squared residual fell below tol
  kTol2,    ///< no block's best atom reaches the smallest value taken (1e-10)
  kBudget,  ///< atomLimit atoms were taken
};

/// The atoms in the order the pursuit takes them one after the other (the
/// largest candidate value first, the lower block on ties), and the total
/// squared residual after each. A call with a larger tol takes exactly a prefix
/// of this order.
struct PursuitCurve {
  std::vector<std::int32_t> block;     ///< the block of the t-th atom, 0-based
  std::vector<std::int32_t> position;  ///< its position among the block's atoms, 0-based
  /// The total squared residual after it: the exact sum of the blocks'
  /// energies, rounded once (NaN or +Inf while a block's energy is).
  std::vector<double> energy;
};

/// Counts and times of one call of the pursuit: how its work was cut up and
/// where its time went.
struct PursuitStatistics {
  std::int32_t threads = 0;          ///< threads that worked, the calling one included
  const char* scoringRoute = "";     ///< how blocks were scored: a route's name (scoring_routes.h)
  const char* basisRoute = "";       ///< how blocks grew their bases: "blas" or a fused set's name
  std::int32_t bands = 0;            ///< bands run
  std::int32_t replayedBands = 0;    ///< bands whose order was replayed atom by atom
  std::uint64_t atomsKept = 0;       ///< atoms in the outputs
  std::uint64_t atomsRolledBack = 0; ///< atoms computed beyond the stop and dropped
  double scoringSeconds = 0.0;       ///< first scoring of every block (threads)
  double bandSeconds = 0.0;          ///< blocks taking their atoms (threads)
  double orderSeconds = 0.0;         ///< planning, checks and replays between bands (calling thread)
  double rollBackSeconds = 0.0;      ///< residuals rebuilt after the stop (threads)
  double outputSeconds = 0.0;        ///< host arrays of the outputs created (calling thread alone)
  double outputBesideSeconds = 0.0;  ///< the same while the workers filled others (within finishSeconds)
  double finishSeconds = 0.0;        ///< outputs filled: duals, coefficients, approximations (threads)
};

/// How a pursuit ended.
struct PursuitResult {
  /// False when the interrupt check ended it; nothing else is then meaningful
  /// and no output holds a result.
  bool completed = false;
  StopRule stop = StopRule::kTol2;
  /// With kTol: the total squared residual the tol rule compared with tol
  /// (the blocks' energies added in block order).
  double residualEnergy = 0.0;
  std::uint64_t atoms = 0;       ///< atoms taken in all
  PursuitStatistics statistics;  ///< threads that worked, how the work went
  PursuitCurve curve;            ///< filled when the request asked for it
};

/// Runs the whole pursuit for one call and hands every block's results to the
/// sink.
/// @param request  in, the call; its arguments as the host's checks accepted them
/// @param sink     in/out, gives the arrays the results go to
/// @return the outcome
/// @throws std::bad_alloc when the pursuit's own storage cannot be had, and
///         whatever the sink throws; every thread is joined first
PursuitResult runBlockPursuit(const PursuitRequest& request, PursuitSink& sink);

#endif  // TILEVISTA_PURSUIT_H
