// The codec's own work on blocks (bases rebuilt, coefficients) spread over
// threads: each thread takes whole blocks, and what a block gets depends on
// that block alone, so the results do not depend on the number of threads.
#ifndef TILEVISTA_CODEC_BLOCK_THREADS_H
#define TILEVISTA_CODEC_BLOCK_THREADS_H

#include <cstdint>
#include <functional>

namespace tilevista {

/// Calls work(thread, begin, end) for consecutive ranges of blocks covering
/// 0..count-1, on `threads` threads at most (the calling one included; 1
/// creates none). The first exception a call throws is rethrown here once
/// every thread has ended.
/// @param count    blocks
/// @param threads  threads at most (>= 1)
/// @param work     in, called once per thread with its index and its range
void forBlockRanges(std::int64_t count, std::int32_t threads,
                    const std::function<void(std::int32_t, std::int64_t, std::int64_t)>& work);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_BLOCK_THREADS_H
