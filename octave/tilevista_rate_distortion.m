function [pixelsPerAtom, psnr] = tilevista_rate_distortion(curve, peak, pixels)
%TILEVISTA_RATE_DISTORTION  PSNR against pixels per atom, from one call's curve.
%   TILEVISTA_RATE_DISTORTION(CURVE, PEAK) plots, for every atom count of one
%   call, the PSNR the approximation had after that many atoms against its
%   pixels per atom (the sparsity ratio, larger is sparser). CURVE is the
%   field curve of tilevista_pursuit (..., "curve", true); PEAK the largest
%   value the data can take, 255 for 8-bit images.
%
%   [PIXELSPERATOM, PSNR] = TILEVISTA_RATE_DISTORTION(CURVE, PEAK) returns the
%   two columns (one row per atom, in the order the pursuit took them)
%   instead of plotting: after t atoms PIXELSPERATOM(t) = PIXELS / t and
%   PSNR(t) = 10 log10(PEAK^2 PIXELS / CURVE.energy(t)) dB.
%
%   TILEVISTA_RATE_DISTORTION(CURVE, PEAK, PIXELS) counts PIXELS pixels
%   instead of CURVE.pixels, all the blocks' pixels: numel of the image, say,
%   when tilevista_blocks padded its border (the squared error is still that
%   of all the blocks, padding included).
%
%   One call at the tightest target gives every looser one: a call with a
%   larger TOL takes exactly the first atoms of the same order.
%
%   Example:
%     s = tilevista_pursuit (blocks, D, D, tilevista_tol_for_psnr (img, 45, 255), ...
%                            [], "curve", true);
%     tilevista_rate_distortion (s.curve, 255, numel (img));
%
%   See also TILEVISTA_PURSUIT, TILEVISTA_SPARSITY_RATIO, TILEVISTA_PSNR.

  narginchk (2, 3);
  if ~isstruct (curve) || ~isscalar (curve) || ~all (isfield (curve, {'energy', 'pixels'}))
    error ('tilevista_rate_distortion: CURVE must be the curve of tilevista_pursuit (..., "curve", true)');
  end
  if ~isnumeric (peak) || ~isscalar (peak) || ~isreal (peak) || ~(peak > 0)
    error ('tilevista_rate_distortion: PEAK must be a positive scalar');
  end
  if nargin < 3
    pixels = curve.pixels;
  elseif ~isnumeric (pixels) || ~isscalar (pixels) || ~isreal (pixels) || ~(pixels > 0)
    error ('tilevista_rate_distortion: PIXELS must be a positive scalar');
  end
  atoms = (1:numel (curve.energy))';
  ppa = double (pixels) ./ atoms;
  db = 10 * log10 (double (peak) ^ 2 * double (pixels) ./ curve.energy(:));
  if nargout > 0
    pixelsPerAtom = ppa;
    psnr = db;
    return;
  end
  semilogx (ppa, db, '-');
  set (gca, 'xdir', 'reverse');
  xlabel ('pixels per atom');
  ylabel ('PSNR (dB)');
  grid on;
end

%!test
%! c = struct ('block', [1; 2; 1], 'position', [1; 1; 2], 'energy', [100; 10; 1], 'pixels', 50);
%! [ppa, db] = tilevista_rate_distortion (c, 10);
%! assert (ppa, [50; 25; 50 / 3]);
%! assert (db, 10 * log10 (5000 ./ [100; 10; 1]), 1e-12);
%! [ppa, db] = tilevista_rate_distortion (c, 10, 40);
%! assert (ppa, [40; 20; 40 / 3]);
%! assert (db(3), 10 * log10 (4000), 1e-12);

%!test
%! % Plotted on an invisible figure: one line, pixels per atom against dB.
%! c = struct ('energy', [4; 2; 1], 'pixels', 8);
%! warning ('off', 'Octave:gnuplot-graphics', 'local');
%! f = figure ('visible', 'off');
%! unwind_protect
%!   tilevista_rate_distortion (c, 1);
%!   lines = findobj (f, 'type', 'line');
%!   assert (numel (lines), 1);
%!   assert (get (lines, 'xdata')(:), [8; 4; 8 / 3]);
%! unwind_protect_cleanup
%!   close (f);
%! end_unwind_protect

%!error <CURVE must be> tilevista_rate_distortion (struct ('energy', 1), 255)
%!error <PEAK must be> tilevista_rate_distortion (struct ('energy', 1, 'pixels', 4), 0)
