function value = tilevista_psnr(original, approximation, peak, varargin)
%TILEVISTA_PSNR  Peak signal-to-noise ratio of an approximation, in dB.
%   VALUE = TILEVISTA_PSNR(ORIGINAL, APPROXIMATION, PEAK) returns
%
%     10 * log10(PEAK^2 / MSE),  MSE = mean((ORIGINAL(:) - APPROXIMATION(:)).^2),
%
%   computed in double precision. The two arrays must have the same size.
%   VALUE is Inf when they are equal. PEAK defaults to the largest value of
%   ORIGINAL's class (255 for uint8, 65535 for uint16, 1 for double, single
%   and logical), as in TILEVISTA_TOL_FOR_PSNR: a double image of values 0
%   to 255 needs PEAK = 255, with the default 1 its PSNR reads 48.1 dB too
%   low. When ORIGINAL holds values above the peak in force, given or
%   default, a warning with the identifier TILEVISTA:peakExceeded says so.
%
%   Example:
%     approx = tilevista_assemble(approxBlocks, info);
%     fprintf('%.2f dB\n', tilevista_psnr(img, approx));        % uint8 img
%     fprintf('%.2f dB\n', tilevista_psnr(double(img), approx, 255));
%
%   Errors and warnings (ERR.identifier, or the warning's; cause, then cure):
%     TILEVISTA:argumentCount  fewer than 2 or more than 3 inputs.
%     TILEVISTA:imageSizes     ORIGINAL and APPROXIMATION differ in size:
%                              crop the approximation to the image
%                              (TILEVISTA_ASSEMBLE does).
%     TILEVISTA:emptyImage     the images are empty: there is no PSNR.
%     TILEVISTA:peak           PEAK is not a positive finite scalar.
%     TILEVISTA:peakExceeded   (warning) ORIGINAL holds values above the
%                              peak in force: pass the largest value of its
%                              scale as PEAK, e.g. 255.
%
%   See also TILEVISTA_TOL_FOR_PSNR.

  argument_count ('tilevista_psnr', nargin, 2, 3);
  if ~isequal (size (original), size (approximation))
    error ('TILEVISTA:imageSizes', ...
           'tilevista_psnr: ORIGINAL and APPROXIMATION must have the same size');
  end
  if isempty (original)
    error ('TILEVISTA:emptyImage', 'tilevista_psnr: the images are empty');
  end
  if nargin < 3
    peak = peak_in_force ('tilevista_psnr', original);
  else
    peak = peak_in_force ('tilevista_psnr', original, peak);
  end
  e = double (original(:)) - double (approximation(:));
  mse = mean (e .^ 2);
  value = 10 * log10 (double (peak)^2 / mse);
end

%!test
%! % An error of 1 everywhere with peak 10: 10*log10(100) = 20 dB.
%! assert (tilevista_psnr (zeros (3), ones (3), 10), 20, 1e-12);
%! % Equal images: Inf.
%! assert (tilevista_psnr (magic (3), magic (3), 9), Inf);
%! % A double image above the default peak 1 is measured on that peak (and
%! % told so, below).
%! warning ('off', 'TILEVISTA:peakExceeded', 'local');
%! assert (tilevista_psnr ([0 255], [1 254]), 0, 1e-12);
%! % uint8 uses peak 255 and does not saturate the difference.
%! assert (tilevista_psnr (uint8 ([0 0]), uint8 ([255 255])), 0, 1e-12);

%!warning id=TILEVISTA:peakExceeded tilevista_psnr ([0 255], [1 254]);
%!warning <values up to 255, above the peak 1 in force> tilevista_psnr ([0 255], [1 254]);

%!error <same size> tilevista_psnr (ones (2), ones (3))
%!error <PEAK must be> tilevista_psnr (ones (2), ones (2), -1)
