function tol = tilevista_tol_for_psnr(image, psnrTarget, peak, varargin)
%TILEVISTA_TOL_FOR_PSNR  The tol of TILEVISTA_Mex that reaches a target PSNR.
%   TOL = TILEVISTA_TOL_FOR_PSNR(IMAGE, PSNR_DB, PEAK) returns the total
%   squared error that gives IMAGE a peak signal-to-noise ratio of PSNR_DB
%   decibels for the peak value PEAK:
%
%     TOL = numel(IMAGE) * PEAK^2 / 10^(PSNR_DB/10).
%
%   TILEVISTA_Mex stops as soon as the sum over all blocks of the squared
%   residual is below its tol, so the approximation then has a PSNR above
%   PSNR_DB. When IMAGE was padded to whole blocks the padding counts in
%   that sum too; TOL is still computed from the pixels of IMAGE alone, so
%   the cropped result keeps a PSNR above PSNR_DB.
%
%   PEAK defaults to the largest value of IMAGE's class: 255 for uint8,
%   65535 for uint16, 1 for double, single and logical images. Pass it
%   explicitly for other scalings: a double image with values 0 to 255
%   needs PEAK = 255, with the default 1 it would get a tol 65025 times too
%   small (near-lossless work). When IMAGE holds values above the peak in
%   force, given or default, a warning with the identifier
%   TILEVISTA:peakExceeded says so.
%
%   PSNR_DB is a target in dB, not a tol: TILEVISTA_Mex(..., 38) with the
%   38 meant as dB asks a 512 x 512 image of peak 255 for 86.5 dB;
%   TILEVISTA_PSNR_FOR_TOL tells the PSNR a tol asks for, and warns when it
%   reads like a PSNR.
%
%   Example:
%     img = imread('camera.png');
%     tol = tilevista_tol_for_psnr(img, 45);                % uint8: peak 255
%     tol = tilevista_tol_for_psnr(double(img), 45, 255);   % double: pass it
%
%   Errors and warnings (ERR.identifier, or the warning's; cause, then cure):
%     TILEVISTA:argumentCount  fewer than 2 or more than 3 inputs.
%     TILEVISTA:psnrTarget     PSNR_DB is not a real scalar (NaN, a vector,
%                              text): give one target in dB, e.g. 40.
%     TILEVISTA:peak           PEAK is not a positive finite scalar.
%     TILEVISTA:peakExceeded   (warning) IMAGE holds values above the peak
%                              in force: pass the largest value of its scale
%                              as PEAK, e.g. 255.
%
%   See also TILEVISTA_PSNR, TILEVISTA_PSNR_FOR_TOL, TILEVISTA_MEX.

  argument_count ('tilevista_tol_for_psnr', nargin, 2, 3);
  if ~isnumeric (psnrTarget) || ~isscalar (psnrTarget) || ~isreal (psnrTarget) || isnan (psnrTarget)
    error ('TILEVISTA:psnrTarget', 'tilevista_tol_for_psnr: PSNR_DB must be a real scalar');
  end
  if nargin < 3
    peak = peak_in_force ('tilevista_tol_for_psnr', image);
  else
    peak = peak_in_force ('tilevista_tol_for_psnr', image, peak);
  end
  tol = numel (image) * double (peak)^2 / 10^(double (psnrTarget) / 10);
end

%!test
%! % 10 dB below the peak squared per pixel: tol = numel * peak^2 / 10.
%! assert (tilevista_tol_for_psnr (zeros (4, 5), 10, 2), 20 * 4 / 10, 1e-12);
%! % Default peaks by class.
%! assert (tilevista_tol_for_psnr (zeros (2, 2, 'uint8'), 0), 4 * 255^2);
%! assert (tilevista_tol_for_psnr (zeros (2, 2, 'uint16'), 0), 4 * 65535^2);
%! assert (tilevista_tol_for_psnr (zeros (2, 2), 0), 4);
%! % A double image of values 0 to 255 keeps the default peak 1, a tol
%! % 65025 times too small, but is told so (below); with its peak, or as
%! % uint8, nothing is said.
%! img = [0 128; 255 7];
%! warning ('off', 'TILEVISTA:peakExceeded', 'local');
%! assert (tilevista_tol_for_psnr (img, 38), 4 / 10^3.8, 1e-15);
%! warning ('error', 'TILEVISTA:peakExceeded', 'local');
%! assert (tilevista_tol_for_psnr (img, 38, 255), 4 * 255^2 / 10^3.8, 1e-9);
%! assert (tilevista_tol_for_psnr (uint8 (img), 38), 4 * 255^2 / 10^3.8, 1e-9);

%!warning id=TILEVISTA:peakExceeded tilevista_tol_for_psnr ([0 128; 255 7], 38);
%!warning <values up to 255, above the peak 1 in force \(the default for double images\); pass> tilevista_tol_for_psnr ([0 128; 255 7], 38);
%!warning <values up to 255, above PEAK = 100> tilevista_tol_for_psnr ([0 128; 255 7], 38, 100);

%!test
%! % An error of exactly tol gives exactly the target PSNR (identity up to
%! % rounding): psnr(x, x + e) with sum(e(:).^2) = tol.
%! img = zeros (6, 7);
%! tol = tilevista_tol_for_psnr (img, 37.5, 255);
%! e = ones (6, 7) * sqrt (tol / 42);
%! assert (tilevista_psnr (img, img + e, 255), 37.5, 1e-10);

%!error <PEAK must be a positive> tilevista_tol_for_psnr (ones (2), 30, 0)
%!error <PSNR_DB must be a real scalar> tilevista_tol_for_psnr (ones (2), [30 40])
