// How many threads one call of the pursuit works with: one rule, for every
// host.
#ifndef TILEVISTA_THREADS_H
#define TILEVISTA_THREADS_H

#include <cstdint>
#include <string>

#include "tilevista/footprint.h"

/// The most threads a call accepts from TILEVISTA_THREADS.
constexpr std::int32_t kMaxThreads = 1024;

/// Processors this process may run on (its affinity mask; at least 1).
std::int32_t availableProcessors();

/// The environment variable TILEVISTA_THREADS, read anew at every call: unset,
/// empty or 0 means every processor this process may run on (setting 0),
/// 1 to kMaxThreads that many.
/// @param setting  out, on success: 0 to kMaxThreads
/// @param message  out, on failure: why the variable was not understood
/// @return false when the variable holds anything else
bool readThreadSetting(std::int32_t* setting, std::string* message);

/// The threads a call on `blocks` blocks works with for a setting (0: every
/// processor): never more than the blocks, and one where the BLAS loaded must
/// not be called from several threads at once. At least 1.
std::int32_t threadsForBlocks(std::int64_t blocks, std::int32_t setting);

/// As threadsForBlocks for a call of these sizes, and never more threads than
/// can each have their scoring storage beside the call's own storage in the
/// memory the system can still give (availableBytes()).
/// @return the threads, or 0 when not even one thread's storage is there
std::int32_t pursuitThreads(const PursuitSizes& sizes, std::int32_t setting);

#endif  // TILEVISTA_THREADS_H
