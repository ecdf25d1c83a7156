// The results of a finished pursuit handed to the host: every block's
// approximation, indices, coefficients and, when wanted, dual and orthonormal
// vectors, written into the arrays the host's sink gives.
#ifndef TILEVISTA_PURSUIT_OUTPUTS_H
#define TILEVISTA_PURSUIT_OUTPUTS_H

#include <vector>

#include "block_steps.h"
#include "block_values.h"
#include "tilevista/pursuit.h"
#include "work_crew.h"

/// Writes every block's results and frees its storage, a part at a time: the
/// sink gives a part's arrays on the calling thread, then a crew fills them.
/// Where the sink allows it (PursuitSink::failsByUnwinding), the calling thread
/// asks for the next part's arrays while the others fill this part's. A part
/// holds about an eighth of the atoms (a sixteenth when two parts are held at
/// once), so the outputs and the blocks' working storage overlap only that
/// much, and the blocks' values are let go as the parts are written.
/// @param setup       in, the call's sizes and dictionaries
/// @param data        in/out, every block's arrays (residuals are overwritten)
/// @param states      in, every block's state at the stop
/// @param request     in, interrupt check and which outputs are wanted
/// @param crew        the call's threads
/// @param sink        gives the arrays
/// @param values      in/out, the blocks' values, which are let go part by part
///                    once written out
/// @param statistics  in/out, the phase times are added to it
/// @return false when interrupted (the outputs are then incomplete)
bool writeOutputs(const PursuitSetup& setup, std::vector<BlockData>& data,
                  const std::vector<BlockState>& states, const PursuitRequest& request,
                  WorkCrew& crew, PursuitSink& sink, BlockValues* values,
                  PursuitStatistics* statistics);

#endif  // TILEVISTA_PURSUIT_OUTPUTS_H
