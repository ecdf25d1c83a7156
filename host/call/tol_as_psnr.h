// A tol that reads like a PSNR in dB. tol is a total squared error; a
// researcher who means "38 dB" and passes tol = 38 asks a 512 x 512 image of
// peak 255 for 86.5 dB, hundreds of thousands of atoms. The rule that tells
// such a tol, for every front door that warns of it (tilevista_pursuit, and
// Python's approximate and tol_reads_as_psnr, through tilevista._native).
#ifndef TILEVISTA_TOL_AS_PSNR_H
#define TILEVISTA_TOL_AS_PSNR_H

#include "call_checks.h"

/// The identifier of the warning a front door gives for such a tol.
constexpr const char* kTolLooksLikePsnr = "TILEVISTA:tolLooksLikePsnr";

/// The PSNR in dB that tol asks of an image of `values` values whose largest
/// possible value is `peak`, when tol reads like a PSNR in dB: it lies within
/// 10 to 100 and asks at least 20 dB more than its own value. Else NaN (also
/// for a NaN tol, and for no values or a peak of 0).
/// @param tol     in, the tol given
/// @param values  in, the values (pixels) of the image, or of all blocks
/// @param peak    in, the largest value of the image's scale, positive
/// @return the PSNR asked for, in dB, or NaN
double tolReadsAsPsnr(double tol, double values, double peak);

/// tolReadsAsPsnr for an accepted call: its blocks' pixels, with the largest
/// magnitude among their finite values as the peak (blocks of 0 to 255 have
/// a peak near 255, blocks scaled to 0 to 1 one near 1).
/// @param call  in, the checked call (its blocks' values are read)
/// @param peak  out, the peak taken
/// @return the PSNR asked for, in dB, or NaN
double tolReadsAsPsnr(const CheckedCall& call, double* peak);

#endif  // TILEVISTA_TOL_AS_PSNR_H
