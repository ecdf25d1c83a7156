function [pixelsPerAtom, psnr] = tilevista_rate_distortion(curve, peak, pixels, varargin)
%TILEVISTA_RATE_DISTORTION  PSNR against rate, from one call's curve.
%   TILEVISTA_RATE_DISTORTION(CURVE, PEAK) plots into the current axes, for
%   every atom count of one call, the PSNR the approximation had after that
%   many atoms against the rate, atoms per pixel, on a logarithmic axis
%   that increases to the right (more atoms, higher PSNR), with labelled
%   axes, a title and a legend. CURVE is the field curve of
%   tilevista_pursuit (..., "curve", true); PEAK the largest value the data
%   can take, 255 for 8-bit images.
%
%   [PIXELSPERATOM, PSNR] = TILEVISTA_RATE_DISTORTION(CURVE, PEAK) returns
%   two columns (one row per atom, in the order the pursuit took them)
%   instead of plotting: after t atoms PIXELSPERATOM(t) = PIXELS / t (the
%   sparsity ratio, larger is sparser; the plot's rate is its inverse) and
%   PSNR(t) = 10 log10(PEAK^2 PIXELS / CURVE.energy(t)) dB.
%
%   TILEVISTA_RATE_DISTORTION(CURVE, PEAK, PIXELS) counts PIXELS pixels
%   instead of CURVE.pixels, all the blocks' pixels: numel of the image, say,
%   when tilevista_blocks padded its border. The squared error is still that
%   of all the blocks, padding included, so the PSNR is then a lower bound
%   of the image's own (the padding's error only adds to it).
%
%   One call at the tightest target gives every looser one: a call with a
%   larger TOL takes exactly the first atoms of the same order.
%
%   Example:
%     s = tilevista_pursuit (blocks, D, D, tilevista_tol_for_psnr (img, 45, 255), ...
%                            [], "curve", true);
%     tilevista_rate_distortion (s.curve, 255, numel (img));
%     print -dpng rate_distortion.png
%
%   Errors (ERR.identifier; cause, then cure):
%     TILEVISTA:argumentCount  fewer than 2 or more than 3 inputs.
%     TILEVISTA:curve          CURVE is not the curve of one call: ask
%                              tilevista_pursuit for it with "curve", true.
%     TILEVISTA:peak           PEAK is not a positive finite scalar.
%     TILEVISTA:curvePixels    PIXELS is not a positive real scalar: pass
%                              numel (img).
%
%   See also TILEVISTA_PURSUIT, TILEVISTA_SPARSITY_RATIO, TILEVISTA_PSNR.

  argument_count ('tilevista_rate_distortion', nargin, 2, 3);
  if ~isstruct (curve) || ~isscalar (curve) || ~all (isfield (curve, {'energy', 'pixels'}))
    error ('TILEVISTA:curve', ...
           'tilevista_rate_distortion: CURVE must be the curve of tilevista_pursuit (..., "curve", true)');
  end
  peak = peak_in_force ('tilevista_rate_distortion', [], peak);
  if nargin < 3
    pixels = curve.pixels;
  elseif ~isnumeric (pixels) || ~isscalar (pixels) || ~isreal (pixels) || ~(pixels > 0)
    error ('TILEVISTA:curvePixels', 'tilevista_rate_distortion: PIXELS must be a positive scalar');
  end
  atoms = (1:numel (curve.energy))';
  ppa = double (pixels) ./ atoms;
  db = 10 * log10 (double (peak) ^ 2 * double (pixels) ./ curve.energy(:));
  if nargout > 0
    pixelsPerAtom = ppa;
    psnr = db;
    return;
  end
  % The rate rises to the right: atoms per pixel, not pixels per atom.
  semilogx (atoms / double (pixels), db, '-', 'linewidth', 1.5);
  xlabel ('rate (atoms per pixel)');
  ylabel ('PSNR (dB)');
  title (sprintf ('Rate-distortion of one call: %d atoms, %g pixels', numel (atoms), ...
                  double (pixels)));
  legend (sprintf ('global choice, peak %g', double (peak)), 'location', 'southeast');
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
%! % Plotted on an invisible figure: one line, the rate (atoms per pixel)
%! % rising to the right against dB, labelled axes with units, a title and
%! % a legend.
%! c = struct ('energy', [4; 2; 1], 'pixels', 8);
%! warning ('off', 'Octave:gnuplot-graphics', 'local');
%! f = figure ('visible', 'off');
%! unwind_protect
%!   tilevista_rate_distortion (c, 1);
%!   ax = gca ();
%!   lines = findobj (ax, 'type', 'line');
%!   assert (numel (lines), 1);
%!   assert (get (lines, 'xdata')(:), [1; 2; 3] / 8);
%!   assert (get (lines, 'ydata')(:), 10 * log10 (8 ./ [4; 2; 1]), 1e-12);
%!   assert (get (ax, 'xdir'), 'normal');
%!   assert (get (ax, 'xscale'), 'log');
%!   assert (get (get (ax, 'xlabel'), 'string'), 'rate (atoms per pixel)');
%!   assert (get (get (ax, 'ylabel'), 'string'), 'PSNR (dB)');
%!   assert (! isempty (get (get (ax, 'title'), 'string')));
%!   assert (numel (findobj (f, 'tag', 'legend')), 1);
%! unwind_protect_cleanup
%!   close (f);
%! end_unwind_protect

%!error <CURVE must be> tilevista_rate_distortion (struct ('energy', 1), 255)
%!error <PEAK must be> tilevista_rate_distortion (struct ('energy', 1, 'pixels', 4), 0)
