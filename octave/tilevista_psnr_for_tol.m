function db = tilevista_psnr_for_tol(image, tol, peak, varargin)
%TILEVISTA_PSNR_FOR_TOL  The PSNR a tol of TILEVISTA_Mex asks of an image, in dB.
%   DB = TILEVISTA_PSNR_FOR_TOL(IMAGE, TOL, PEAK) is the inverse of
%   TILEVISTA_TOL_FOR_PSNR: the PSNR of IMAGE whose total squared error is
%   TOL, for the peak value PEAK,
%
%     DB = 10 * log10(numel(IMAGE) * PEAK^2 / TOL),
%
%   Inf for TOL = 0 (which never stops the pursuit on tol). A call of
%   TILEVISTA_Mex or tilevista_pursuit with this TOL stops once the squared
%   residual of all blocks is below it, so the image then has a PSNR above
%   DB. IMAGE may also be its number of values, numel(IMAGE); PEAK then has
%   no default.
%
%   PEAK defaults to the largest value of IMAGE's class, as in
%   TILEVISTA_TOL_FOR_PSNR: 255 for uint8, 65535 for uint16, 1 for double,
%   single and logical images.
%
%   TOL is a total squared error, not a PSNR: a TOL of 10 to 100 that asks
%   the image for at least 20 dB more than its own value (38 on a 512 x 512
%   image of peak 255 asks for 86.5 dB, a near-lossless approximation of
%   hundreds of thousands of atoms) is most likely a target in dB passed as
%   a tol, and gets the warning TILEVISTA:tolLooksLikePsnr. Check a tol with
%   this function before a long call; TILEVISTA_TOL_FOR_PSNR makes one.
%
%   Example:
%     img = imread('camera.png');
%     tilevista_psnr_for_tol(img, 38)          % warns: 86.5 dB
%     tol = tilevista_tol_for_psnr(img, 38);   % what was meant
%
%   Errors and warnings (ERR.identifier, or the warning's; cause, then cure):
%     TILEVISTA:argumentCount     fewer than 2 or more than 3 inputs.
%     TILEVISTA:tolValue          TOL is not a real scalar of 0 or more:
%                                 give one total squared error, or make it
%                                 with TILEVISTA_TOL_FOR_PSNR.
%     TILEVISTA:valueCount        IMAGE is a count that is not a positive
%                                 whole number, or a count without PEAK:
%                                 pass the image itself, or its numel and
%                                 PEAK.
%     TILEVISTA:peak              PEAK is not a positive finite scalar.
%     TILEVISTA:peakExceeded      (warning) IMAGE holds values above the peak
%                                 in force: pass the largest value of its
%                                 scale as PEAK, e.g. 255.
%     TILEVISTA:tolLooksLikePsnr  (warning) TOL reads like a PSNR in dB (the
%                                 rule above): for a target of TOL dB, make
%                                 the tol with TILEVISTA_TOL_FOR_PSNR.
%
%   See also TILEVISTA_TOL_FOR_PSNR, TILEVISTA_PSNR, TILEVISTA_MEX.

  argument_count ('tilevista_psnr_for_tol', nargin, 2, 3);
  if ~isnumeric (tol) || ~isscalar (tol) || ~isreal (tol) || ~(tol >= 0)
    error ('TILEVISTA:tolValue', ...
           'tilevista_psnr_for_tol: TOL must be a real scalar of 0 or more');
  end
  % A scalar IMAGE is a count of values; a count needs its PEAK.
  pixels = numel (image);
  if isscalar (image)
    pixels = image;
    if nargin < 3 || ~isnumeric (pixels) || ~isreal (pixels) || ~(pixels >= 1) ...
        || pixels ~= fix (pixels) || ~isfinite (pixels)
      error ('TILEVISTA:valueCount', ...
             ['tilevista_psnr_for_tol: a scalar IMAGE is a count of values: a positive whole ' ...
              'number, given with PEAK; or pass the image itself']);
    end
    image = [];  % nothing to compare with PEAK
  end
  if nargin < 3
    peak = peak_in_force ('tilevista_psnr_for_tol', image);
  else
    peak = peak_in_force ('tilevista_psnr_for_tol', image, peak);
  end
  db = 10 * log10 (double (pixels) * double (peak) ^ 2 / double (tol));
  % A tol that reads like a PSNR: 10 to 100, asking for at least 20 dB more
  % than its own value. The same rule, with the same numbers, is Python's
  % (python/tilevista/quality.py, tol_reads_as_psnr); test_octave_parity.py
  % holds the two to each other.
  if tol >= 10 && tol <= 100 && db >= tol + 20
    warning ('TILEVISTA:tolLooksLikePsnr', ...
             ['tilevista_psnr_for_tol: TOL = %g is a total squared error, which asks this ' ...
              'image for %.1f dB (peak %g); for a target of %g dB make the tol with ' ...
              'tilevista_tol_for_psnr (img, %g)'], tol, db, double (peak), tol, tol);
  end
end

%!test
%! % The inverse of tilevista_tol_for_psnr, for images and counts.
%! img = zeros (6, 7, 'uint8');
%! for target = [0 20 37.5 60]
%!   assert (tilevista_psnr_for_tol (img, tilevista_tol_for_psnr (img, target)), target, 1e-12);
%!   assert (tilevista_psnr_for_tol (42, tilevista_tol_for_psnr (img, target), 255), target, 1e-12);
%! end
%! assert (tilevista_psnr_for_tol (img, 0), Inf);
%! assert (tilevista_psnr_for_tol (zeros (2), 4, 1), 0);

%!test
%! % The tol rule: 38 on 512 x 512 of peak 255 asks 86.5 dB, a PSNR given as
%! % a tol; 38 on a tiny image, or 5 or 150 anywhere, is taken as meant.
%! warning ('error', 'TILEVISTA:tolLooksLikePsnr', 'local');
%! assert (tilevista_psnr_for_tol (16, 38, 255), 10 * log10 (16 * 255^2 / 38), 1e-12);
%! assert (tilevista_psnr_for_tol (512^2, 5, 255) > 95);
%! tilevista_psnr_for_tol (512^2, 150, 255);
%! % 50 asking for just under 70 dB is taken as meant, just over is told.
%! assert (tilevista_psnr_for_tol (round (50 * 10^6.999), 50, 1) < 70);
%! fail ('tilevista_psnr_for_tol (round (50 * 10^7.001), 50, 1)', 'asks this image for 70.0 dB');

%!warning id=TILEVISTA:tolLooksLikePsnr tilevista_psnr_for_tol (zeros (512, 512, 'uint8'), 38);
%!warning <TOL = 38 is a total squared error, which asks this image for 86.5 dB \(peak 255\)> tilevista_psnr_for_tol (zeros (512, 512, 'uint8'), 38);
%!warning id=TILEVISTA:peakExceeded tilevista_psnr_for_tol ([0 300], 1);

%!error <TOL must be a real scalar of 0 or more> tilevista_psnr_for_tol (ones (2), -1)
%!error <TOL must be> tilevista_psnr_for_tol (ones (2), [1 2])
%!error <given with PEAK> tilevista_psnr_for_tol (42, 1)
%!error <a positive whole number> tilevista_psnr_for_tol (4.5, 1, 255)
%!error <PEAK must be> tilevista_psnr_for_tol (ones (2), 1, 0)
