function value = tilevista_psnr(original, approximation, peak)
%TILEVISTA_PSNR  Peak signal-to-noise ratio of an approximation, in dB.
%   VALUE = TILEVISTA_PSNR(ORIGINAL, APPROXIMATION, PEAK) returns
%
%     10 * log10(PEAK^2 / MSE),  MSE = mean((ORIGINAL(:) - APPROXIMATION(:)).^2),
%
%   computed in double precision. The two arrays must have the same size.
%   VALUE is Inf when they are equal. PEAK defaults to the largest value of
%   ORIGINAL's class (255 for uint8, 65535 for uint16, 1 for double, single
%   and logical), as in TILEVISTA_TOL_FOR_PSNR.
%
%   Example:
%     approx = tilevista_assemble(approxBlocks, info);
%     fprintf('%.2f dB\n', tilevista_psnr(img, approx));
%
%   See also TILEVISTA_TOL_FOR_PSNR.

  narginchk (2, 3);
  if nargin < 3
    if isinteger (original)
      peak = double (intmax (class (original)));
    else
      peak = 1;
    end
  end
  if ~isequal (size (original), size (approximation))
    error ('tilevista_psnr: ORIGINAL and APPROXIMATION must have the same size');
  end
  if isempty (original)
    error ('tilevista_psnr: the images are empty');
  end
  if ~isnumeric (peak) || ~isscalar (peak) || ~isreal (peak) || ~(peak > 0) || ~isfinite (peak)
    error ('tilevista_psnr: PEAK must be a positive finite scalar');
  end
  e = double (original(:)) - double (approximation(:));
  mse = mean (e .^ 2);
  value = 10 * log10 (double (peak)^2 / mse);
end

%!test
%! % An error of 1 everywhere with peak 10: 10*log10(100) = 20 dB.
%! assert (tilevista_psnr (zeros (3), ones (3), 10), 20, 1e-12);
%! % Equal images: Inf.
%! assert (tilevista_psnr (magic (3), magic (3)), Inf);
%! % uint8 uses peak 255 and does not saturate the difference.
%! assert (tilevista_psnr (uint8 ([0 0]), uint8 ([255 255])), 0, 1e-12);

%!error <same size> tilevista_psnr (ones (2), ones (3))
%!error <PEAK must be> tilevista_psnr (ones (2), ones (2), -1)
