function tol = tilevista_tol_for_psnr(image, psnrTarget, peak)
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
%   explicitly for other scalings (for example 255 for a double image with
%   values 0 to 255).
%
%   Example:
%     img = imread('camera.png');
%     tol = tilevista_tol_for_psnr(img, 45);   % peak 255
%
%   See also TILEVISTA_PSNR, TILEVISTA_MEX.

  narginchk (2, 3);
  if nargin < 3
    peak = defaultPeak (image);
  end
  if ~isnumeric (psnrTarget) || ~isscalar (psnrTarget) || ~isreal (psnrTarget) || isnan (psnrTarget)
    error ('tilevista_tol_for_psnr: PSNR_DB must be a real scalar');
  end
  if ~isnumeric (peak) || ~isscalar (peak) || ~isreal (peak) || ~(peak > 0) || ~isfinite (peak)
    error ('tilevista_tol_for_psnr: PEAK must be a positive finite scalar');
  end
  tol = numel (image) * double (peak)^2 / 10^(double (psnrTarget) / 10);
end

function peak = defaultPeak (image)
  if isinteger (image)
    peak = double (intmax (class (image)));
  else
    peak = 1;
  end
end

%!test
%! % 10 dB below the peak squared per pixel: tol = numel * peak^2 / 10.
%! assert (tilevista_tol_for_psnr (zeros (4, 5), 10, 2), 20 * 4 / 10, 1e-12);
%! % Default peaks by class.
%! assert (tilevista_tol_for_psnr (zeros (2, 2, 'uint8'), 0), 4 * 255^2);
%! assert (tilevista_tol_for_psnr (zeros (2, 2, 'uint16'), 0), 4 * 65535^2);
%! assert (tilevista_tol_for_psnr (zeros (2, 2), 0), 4);

%!test
%! % An error of exactly tol gives exactly the target PSNR (identity up to
%! % rounding): psnr(x, x + e) with sum(e(:).^2) = tol.
%! img = zeros (6, 7);
%! tol = tilevista_tol_for_psnr (img, 37.5, 255);
%! e = ones (6, 7) * sqrt (tol / 42);
%! assert (tilevista_psnr (img, img + e, 255), 37.5, 1e-10);

%!error <PEAK must be a positive> tilevista_tol_for_psnr (ones (2), 30, 0)
%!error <PSNR_DB must be a real scalar> tilevista_tol_for_psnr (ones (2), [30 40])
