function octave_module(pgmPath, blockSize, K, psnrTarget, label, moduleDir, repeat)
%OCTAVE_MODULE  Time the module called from GNU Octave, the real host.
%   OCTAVE_MODULE(PGMPATH, BLOCKSIZE, K, PSNRTARGET, LABEL, MODULEDIR, REPEAT)
%   cuts the 8-bit PGM image with the toolbox, builds its cosine dictionaries
%   of K atoms per direction, sets tol for PSNRTARGET dB (peak 255) and calls
%   TILEVISTA_Mex from MODULEDIR once to warm up and REPEAT times timed, tic/toc
%   around the call alone. Prints one JSON object on a line of its own (the
%   module's own console text comes before it) with the best time, as the
%   other benchmarks report it, and the median, and which file ran
%   ("module_file": "oct" for the function file, "mex" for the MEX file).
%
%   Before the timed calls one call keeps all seven outputs and is measured
%   for memory: the resident set before it (inputs made) and its peak during
%   the call (VmHWM, reset just before the call), and peak_ratio = (inputs +
%   the growth of the resident set) / (inputs + outputs), as the substitute
%   host's benchmark reports it with its heap peak. -1 where Linux does not
%   let the peak be reset.

  here = fileparts (mfilename ('fullpath'));
  addpath (fullfile (here, '..', 'octave'));
  addpath (moduleDir);      % last added is searched first: the module's folder

  img = read_pgm (pgmPath);
  [blocks, info] = tilevista_blocks (img, blockSize);
  Dy = tilevista_cosine_dictionary (blockSize, K);
  Dx = tilevista_cosine_dictionary (blockSize, K);
  tol = tilevista_tol_for_psnr (img, psnrTarget, 255);

  % Warm-up on two blocks: loads the module and sets up the BLAS.
  [~, ~, ~, ~, ~, ~, ~] = TILEVISTA_Mex (blocks(1:2), Dy, Dx);
  [~, ~, extension] = fileparts (which ('TILEVISTA_Mex'));

  inputBytes = 8 * (sum (cellfun (@numel, blocks(:))) + numel (Dy) + numel (Dx));
  rssBefore = statusKb ('VmRSS');
  rssPeak = -1;
  if resetPeakRss ()
    out = cell (1, 7);
    [out{:}] = TILEVISTA_Mex (blocks, Dy, Dx, tol);
    rssPeak = statusKb ('VmHWM');
  else
    out = cell (1, 7);
    [out{:}] = TILEVISTA_Mex (blocks, Dy, Dx, tol);
  end
  outputBytes = 8 * (1 + sum (cellfun (@(c) sum (cellfun (@numel, c(:))), out(1:6))));
  peakRatio = -1;
  if rssPeak >= 0
    peakRatio = (inputBytes + 1024 * (rssPeak - rssBefore)) / (inputBytes + outputBytes);
  end
  clear out;
  seconds = zeros (1, repeat);
  for run = 1:repeat
    clear approx;
    t0 = tic ();
    [approx, ~, ~, ~, ~, ~, total] = TILEVISTA_Mex (blocks, Dy, Dx, tol);
    seconds(run) = toc (t0);
  end
  out = tilevista_assemble (approx, info);
  sse = sum ((double (img(:)) - out(:)) .^ 2);
  s = min (seconds);
  printf (['\n{"tool": "module_octave", "label": "%s", "image": "%s", "height": %d, ' ...
           '"width": %d, "block": %d, "dictionary_atoms": %d, "blocks": %d, ' ...
           '"target_psnr": %.3f, "tol": %.6f, "atoms": %d, "atoms_per_block": %.4f, ' ...
           '"sparsity_ratio": %.4f, "sse": %.6f, "psnr": %.4f, "repeat": %d, ' ...
           '"seconds": %.6f, "seconds_median": %.6f, "us_per_atom": %.4f, "octave": "%s", ' ...
           '"module_file": "%s", "input_bytes": %d, "output_bytes": %d, "rss_before_kb": %d, ' ...
           '"rss_peak_kb": %d, "peak_ratio": %.4f}\n'], ...
          label, pgmPath, size (img, 1), size (img, 2), blockSize, K, numel (blocks), ...
          psnrTarget, tol, total, total / numel (blocks), numel (img) / total, sse, ...
          tilevista_psnr (double (img), out, 255), repeat, s, median (seconds), ...
          s / total * 1e6, OCTAVE_VERSION, extension(2:end), inputBytes, outputBytes, ...
          rssBefore, rssPeak, peakRatio);
end

function kb = statusKb (field)
  % A field of /proc/self/status in kB (VmRSS, VmHWM).
  kb = str2double (regexp (fileread ('/proc/self/status'), [field ':\s*(\d+)'], 'tokens', 'once'){1});
end

function ok = resetPeakRss ()
  % Resets VmHWM to the current resident set (Linux: "5" into clear_refs).
  [fid, msg] = fopen ('/proc/self/clear_refs', 'w');
  ok = fid >= 0 && fprintf (fid, '5') == 1;
  if fid >= 0
    ok = fclose (fid) == 0 && ok;
  end
end
