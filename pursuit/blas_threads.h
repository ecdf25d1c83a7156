// The BLAS and the module's threads. The BLAS runs on one thread per caller
// while the module works: the module brings its own threads, and a BLAS that
// splits a call over threads of its own would both oversubscribe the
// processors and sum in another order, so that results would depend on how
// many threads the BLAS happened to use. And the module's threads call the
// BLAS at the same time only when the BLAS allows it.
#ifndef TILEVISTA_BLAS_THREADS_H
#define TILEVISTA_BLAS_THREADS_H

/// While alive, the BLAS loaded in the process (when it has a thread setting
/// that can be found at run time: OpenBLAS's) uses one thread; the previous
/// setting comes back on destruction. Create and destroy on the calling thread,
/// with no other thread of the module running.
class SingleThreadedBlas {
 public:
  SingleThreadedBlas();
  ~SingleThreadedBlas();
  SingleThreadedBlas(const SingleThreadedBlas&) = delete;
  SingleThreadedBlas& operator=(const SingleThreadedBlas&) = delete;

 private:
  void (*set_)(int) = nullptr;
  int saved_ = 0;
};

/// False when the BLAS loaded in the process must not be called from several
/// threads at once: OpenBLAS built without threading (its "serial" flavour)
/// shares its work buffers between callers without a lock, and concurrent
/// calls corrupt each other's results.
bool blasAllowsConcurrentCalls();

/// True when concurrent gemm calls slow each other down badly: OpenBLAS built
/// with threads serialises every gemm call's buffer allocation on one
/// process-wide lock (see ScoringGate).
bool blasGemmContends();

#endif  // TILEVISTA_BLAS_THREADS_H
