// How many threads one call of the module uses.
#ifndef TILEVISTA_THREAD_COUNT_H
#define TILEVISTA_THREAD_COUNT_H

#include <cstdint>
#include <string>

/// The most threads a call accepts from TILEVISTA_THREADS.
constexpr std::int32_t kMaxThreads = 1024;

/// Threads for a call on `blocks` blocks, from the environment variable
/// TILEVISTA_THREADS, read anew at every call: unset, empty or 0 means every
/// processor this process may run on (its affinity mask), 1 to kMaxThreads that
/// many. Never more than `blocks`, never fewer than 1.
/// @param blocks   number of blocks of the call (>= 1)
/// @param threads  out, the count to use; set only on success
/// @param message  out, on failure: why the variable was not understood
/// @return false when TILEVISTA_THREADS holds anything else
bool threadsForCall(std::int64_t blocks, std::int32_t* threads, std::string* message);

/// Processors this process may run on (at least 1).
std::int32_t availableProcessors();

#endif  // TILEVISTA_THREAD_COUNT_H
