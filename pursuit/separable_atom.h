// Scoring of a separable 2-D dictionary against one block, and synthesis of a
// chosen atom. Atom (i, j) is the block dy_i dx_j^T, with dy_i column i of Dy
// (rows x Ky) and dx_j column j of Dx (cols x Kx). Its score against a block F
// (rows x cols) is the plain inner product dy_i^T F dx_j, not normalised.
// All arrays are column-major with leading dimension equal to their row count.
#ifndef TILEVISTA_SEPARABLE_ATOM_H
#define TILEVISTA_SEPARABLE_ATOM_H

#include <cstdint>

/// Scores every atom of the pair (Dy, Dx) against F and returns the atom of
/// largest absolute score; among equal absolute scores the lowest linear index
/// yIndex + Ky * xIndex wins.
/// @param Dy          in, rows x Ky, dictionary Y
/// @param Dx          in, cols x Kx, dictionary X
/// @param F           in, rows x cols, the block
/// @param Ky,Kx       number of Y and X atoms (>= 1)
/// @param rows,cols   block size (>= 1)
/// @param bestValue   out, absolute score of the chosen atom
/// @param yIndex      out, its 0-based Y atom index
/// @param xIndex      out, its 0-based X atom index
void selectSeparableAtom(const double* Dy, const double* Dx, const double* F, std::int32_t Ky,
                         std::int32_t Kx, std::int32_t rows, std::int32_t cols, double* bestValue,
                         std::int32_t* yIndex, std::int32_t* xIndex);

/// The entry of largest absolute value of a Ky x Kx score table, found by idamax:
/// among equal absolute values the first in column-major order (lowest linear
/// index) wins. A table of NaNs gives the first entry.
/// @param P          in, Ky x Kx, column-major, leading dimension Ky
/// @param Ky,Kx      table size (>= 1 each)
/// @param bestValue  out, the absolute value of that entry
/// @param yIndex     out, its row (0-based Y atom index)
/// @param xIndex     out, its column (0-based X atom index)
/// @return its linear index yIndex + Ky * xIndex
std::int32_t selectLargestScore(const double* P, std::int32_t Ky, std::int32_t Kx,
                                double* bestValue, std::int32_t* yIndex, std::int32_t* xIndex);

/// Splits a 0-based linear atom index into (linearIndex mod Ky, linearIndex div Ky).
/// @param linearIndex in, position in the column-major Ky x Kx score table
/// @param Ky          in, number of Y atoms
/// @param yIndex      out, 0-based Y atom index
/// @param xIndex      out, 0-based X atom index
void splitAtomIndex(std::int32_t linearIndex, std::int32_t Ky, std::int32_t* yIndex,
                    std::int32_t* xIndex);

/// Writes the block dy dx^T: column c of the destination is dy scaled by dx[c].
/// @param dx    in, cols values, the X atom (column scale factors)
/// @param dy    in, rows values, the Y atom (the pattern of every column)
/// @param cols  number of block columns
/// @param rows  length of a block column
/// @param atom  out, rows x cols, column-major, overwritten entirely
void synthesizeSeparableAtom(const double* dx, const double* dy, std::int32_t cols,
                             std::int32_t rows, double* atom);

#endif  // TILEVISTA_SEPARABLE_ATOM_H
