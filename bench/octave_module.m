function octave_module(pgmPath, blockSize, K, psnrTarget, label, moduleDir, repeat)
%OCTAVE_MODULE  Time the module called from GNU Octave, the real host.
%   OCTAVE_MODULE(PGMPATH, BLOCKSIZE, K, PSNRTARGET, LABEL, MODULEDIR, REPEAT)
%   cuts the 8-bit PGM image with the toolbox, builds its cosine dictionaries
%   of K atoms per direction, sets tol for PSNRTARGET dB (peak 255) and calls
%   TILEVISTA_Mex from MODULEDIR once to warm up and REPEAT times timed, tic/toc
%   around the call alone. Prints one JSON object on a line of its own (the
%   module's own console text comes before it) with the best time, as the
%   other benchmarks report it, and the median.

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
           '"seconds": %.6f, "seconds_median": %.6f, "us_per_atom": %.4f, "octave": "%s"}\n'], ...
          label, pgmPath, size (img, 1), size (img, 2), blockSize, K, numel (blocks), ...
          psnrTarget, tol, total, total / numel (blocks), numel (img) / total, sse, ...
          tilevista_psnr (double (img), out, 255), repeat, s, median (seconds), ...
          s / total * 1e6, OCTAVE_VERSION);
end
