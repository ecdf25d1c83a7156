#include "blas_threads.h"

#if defined(__unix__) || defined(__APPLE__)
#include <dlfcn.h>
#define TILEVISTA_HAVE_DLSYM 1
#endif

namespace {

// Looks a function up among the libraries loaded in the process; null when
// none defines it (another BLAS, or a platform without dlsym).
template <typename Function>
Function lookUp(const char* name) {
#if defined(TILEVISTA_HAVE_DLSYM)
  return reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
#else
  (void)name;
  return nullptr;
#endif
}

}  // namespace

SingleThreadedBlas::SingleThreadedBlas() {
  auto get = lookUp<int (*)()>("openblas_get_num_threads");
  auto set = lookUp<void (*)(int)>("openblas_set_num_threads");
  if (get == nullptr || set == nullptr) return;
  saved_ = get();
  if (saved_ == 1) return;
  set(1);
  set_ = set;
}

SingleThreadedBlas::~SingleThreadedBlas() {
  if (set_ != nullptr) set_(saved_);
}

bool blasAllowsConcurrentCalls() {
  // 0: built without threading; 1: pthreads; 2: OpenMP.
  auto parallel = lookUp<int (*)()>("openblas_get_parallel");
  return parallel == nullptr || parallel() != 0;
}

bool blasGemmContends() {
  auto parallel = lookUp<int (*)()>("openblas_get_parallel");
  return parallel != nullptr && parallel() != 0;
}
