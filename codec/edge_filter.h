// A filter across the blocks' edges of decoded planes, against the steps a
// coarse quantization leaves where two blocks meet. The encoder chooses its
// strength (or none) by what it does to the decoded image itself and writes
// it in the file; the decoder applies it after every block is placed (the
// predictions read the unfiltered samples) and before the planes become the
// image.
//
// Across every edge between two blocks of a plane, on every line that crosses
// it, with p1 p0 | q0 q1 the two samples on each side: where the step
// d = q0 - p0 is below alpha and the steps p1 - p0 and q1 - q0 are below
// alpha / 2, p0 and q0 move d/4 towards each other and p1 and q1 d/8.
// alpha is the strength times half the quantizer's step. Edges between block
// columns are filtered first, then edges between block rows, on the result.
// A direction whose blocks are less than 4 samples across is left alone.
#ifndef TILEVISTA_CODEC_EDGE_FILTER_H
#define TILEVISTA_CODEC_EDGE_FILTER_H

#include <cstdint>
#include <vector>

#include "image_planes.h"

namespace tilevista {

/// Strengths a file may give: 0 (no filter) to kMostEdgeFilter.
constexpr std::int32_t kMostEdgeFilter = 4;

/// Filters the edges of every block of the planes (see above).
/// @param planes    in/out, the decoded planes (image_planes.h)
/// @param step      the quantizer's step
/// @param strength  0 to kMostEdgeFilter; 0 changes nothing
void filterBlockEdges(const PlaneGeometry& g, std::vector<double>& planes, double step,
                      std::int32_t strength);

}  // namespace tilevista

#endif  // TILEVISTA_CODEC_EDGE_FILTER_H
