function octave_model(pgmPath, blockSize, K, psnrTarget, label, repeat)
%OCTAVE_MODEL  The module's pursuit written plainly in Octave, timed.
%   OCTAVE_MODEL(PGMPATH, BLOCKSIZE, K, PSNRTARGET, LABEL, REPEAT) cuts the 8-bit
%   PGM image into BLOCKSIZE x BLOCKSIZE blocks, builds the toolbox's cosine
%   dictionaries of K atoms per direction, sets tol for PSNRTARGET dB (peak
%   255) and runs the same global greedy pursuit as TILEVISTA_Mex, vectorised
%   where the algorithm allows it:
%
%   - every block scored at once, Dy' * F * Dx for all blocks in two matrix
%     products;
%   - then, one atom per iteration: the block of largest cached score (first
%     index on ties), the separable atom, classical Gram-Schmidt against the
%     block's orthonormal vectors with two more sweeps, the dual update, the
%     residual update, the total energy re-summed, the block rescored;
%   - at the end the coefficients (dual vectors times block) and
%     approximations.
%
%   The time covers all of that (what one call of the module does), not the
%   reading of the image or the making of the dictionaries; the pursuit runs
%   REPEAT times (default 1) and the best time is reported, as for the other
%   tools. Prints one JSON object on one line.

  if nargin < 6
    repeat = 1;
  end

  here = fileparts (mfilename ('fullpath'));
  addpath (fullfile (here, '..', 'octave'));

  img = read_pgm (pgmPath);
  rows = blockSize;
  cols = blockSize;
  N = rows * cols;
  blocks = tilevista_blocks (img, rows, cols);
  Q = numel (blocks);
  F = zeros (N, Q);
  for q = 1:Q
    F(:, q) = blocks{q}(:);
  end
  Dy = tilevista_cosine_dictionary (rows, K);
  Dx = tilevista_cosine_dictionary (cols, K);
  tol = tilevista_tol_for_psnr (img, psnrTarget, 255);

  seconds = zeros (1, repeat);
  for run = 1:repeat
    t0 = tic ();
    % The coefficients are computed as the module computes them, then dropped.
    [approximation, ~, total] = pursuit (F, Dy, Dx, tol, rows, cols);
    seconds(run) = toc (t0);
  end
  sse = sum ((F(:) - approximation(:)) .^ 2);
  printf (['{"tool": "octave_model", "label": "%s", "image": "%s", "height": %d, ' ...
           '"width": %d, "block": %d, "dictionary_atoms": %d, "blocks": %d, ' ...
           '"target_psnr": %.3f, "tol": %.6f, "atoms": %d, "atoms_per_block": %.4f, ' ...
           '"sparsity_ratio": %.4f, "sse": %.6f, "psnr": %.4f, "repeat": %d, "seconds": %.6f, ' ...
           '"seconds_median": %.6f, "us_per_atom": %.4f, "octave": "%s"}\n'], ...
          label, pgmPath, size (img, 1), size (img, 2), blockSize, K, Q, psnrTarget, tol, ...
          total, total / Q, numel (img) / total, sse, ...
          10 * log10 (255^2 * numel (img) / sse), repeat, min (seconds), median (seconds), ...
          min (seconds) / total * 1e6, OCTAVE_VERSION);
end

function [approximation, coefficients, total] = pursuit (F, Dy, Dx, tol, rows, cols)
  % The whole pursuit on the N x Q matrix F of blocks (one column each).
  N = rows * cols;
  Q = columns (F);
  Ky = columns (Dy);
  Kx = columns (Dx);
  tol1 = 1e-7;
  tol2 = 1e-10;
  cap = min (Ky * Kx, N);

  % Scores of all blocks: P(y + Ky*x, q) = Dy(:,y)' * F_q * Dx(:,x).
  T = Dy' * reshape (F, rows, cols * Q);                               % Ky x cols*Q
  T = reshape (permute (reshape (T, Ky, cols, Q), [1 3 2]), Ky * Q, cols);
  P = T * Dx;                                                          % Ky*Q x Kx
  P = reshape (permute (reshape (P, Ky, Q, Kx), [1 3 2]), Ky * Kx, Q);
  [value, best] = max (abs (P), [], 1);
  clear T P;
  energy = sum (F .^ 2, 1);
  R = F;
  U = cell (1, Q);
  B = cell (1, Q);
  count = zeros (1, Q);
  total = 0;
  while total < cap * Q
    [w, v] = max (value);
    if ~(w > 0) || w < tol2
      break;
    end
    linear = best(v) - 1;
    y = mod (linear, Ky);
    x = (linear - y) / Ky;
    a = Dy(:, y + 1) * Dx(:, x + 1)';
    a = a(:);
    Uv = U{v};
    if isempty (Uv)
      u = a;
    else
      u = a - Uv * (Uv' * a);
      u = u - Uv * (Uv' * u);
      u = u - Uv * (Uv' * u);
    end
    nrm = norm (u);
    if ~(nrm > tol1 * norm (a))
      value(v) = -1;          % the atom is in the block's span: block retired
      continue;
    end
    u = u / nrm;
    Bv = B{v};
    if ~isempty (Bv)
      Bv = Bv - u * ((Bv' * a) / nrm)';
    end
    B{v} = [Bv, u / nrm];
    U{v} = [Uv, u];
    count(v) += 1;
    total += 1;
    c = u' * F(:, v);
    R(:, v) -= c * u;
    energy(v) = sum (R(:, v) .^ 2);
    if sum (energy) < tol
      break;
    end
    if count(v) == cap
      value(v) = -1;
    else
      p = Dy' * reshape (R(:, v), rows, cols) * Dx;
      [value(v), best(v)] = max (abs (p(:)));
    end
  end
  coefficients = cell (1, Q);
  for q = find (count)
    coefficients{q} = B{q}' * F(:, q);
  end
  approximation = F - R;
end
