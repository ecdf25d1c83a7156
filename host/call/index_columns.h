// Atom indices in a host's own convention. The pursuit writes a block's m
// atom indices as 0-based 32-bit integers; a host that keeps them as 8-byte
// values (MATLAB's and Octave's 1-based doubles, NumPy's 0-based int64) lends
// the pursuit the first half of its own m-element array and widens the values
// in place once the call is done: no second array, no copy.
#ifndef TILEVISTA_INDEX_COLUMNS_H
#define TILEVISTA_INDEX_COLUMNS_H

#include <cstdint>

/// Where the pursuit writes the indices of a host array of m 8-byte elements.
/// @param array  in, the host's array (null for m = 0)
inline std::int32_t* indexSlots(void* array) { return static_cast<std::int32_t*>(array); }

/// Turns the m 0-based indices the pursuit wrote into the array's first half
/// into m doubles counting from 1, in place.
/// @param array  in/out, m doubles' room
/// @param m      indices
void widenToOneBasedDoubles(void* array, std::int32_t m);

/// As widenToOneBasedDoubles, into m 0-based 64-bit integers.
void widenToInt64(void* array, std::int32_t m);

#endif  // TILEVISTA_INDEX_COLUMNS_H
