function [approx, yIdx, xIdx, duals, coefs, ortho, total, stop] = reference_block_pursuit(blocks, Dy, Dx, tol, maxAtoms)
% REFERENCE_BLOCK_PURSUIT  Plain Octave version of the module's pursuit, for tests.
%   [APPROX, YIDX, XIDX, DUALS, COEFS, ORTHO, TOTAL, STOP] =
%     REFERENCE_BLOCK_PURSUIT(BLOCKS, DY, DX, TOL, MAXATOMS)
% returns the seven outputs of TILEVISTA_Mex for the same call, plus STOP, the
% rule that ended the pursuit: 'tol', 'tol2' or 'budget'. TOL (default 6.5)
% and MAXATOMS (default 0) may be empty. A call the module rejects in its
% pursuit (negative tol, budget too large or negative) raises an error here.
%
% Written independently of the module, as straightforward Octave: the score
% table of a block is Dy'*R*Dx, and every step follows the algorithm in its
% plain form, including the refusals: a block holding as many atoms as it can
% hold is retired, and so is a block whose chosen atom is, up to 1e-7 of its
% norm, in the span of the atoms it already has (that atom is not added).

  if nargin < 4 || isempty (tol)
    tol = 6.5;
  end
  if nargin < 5 || isempty (maxAtoms)
    maxAtoms = 0;
  end
  maxAtoms = low32 (maxAtoms);

  Q = numel (blocks);
  [rows, cols] = size (blocks{1});
  N = rows * cols;
  Ky = size (Dy, 2);
  Kx = size (Dx, 2);
  cap = min (Ky * Kx, N);
  limit = cap * Q;
  if maxAtoms < 0 || maxAtoms > limit
    error ('reference_block_pursuit: maxAtoms %d rejected (limit %d)', maxAtoms, limit);
  end
  if maxAtoms ~= 0
    limit = maxAtoms;
  end
  if tol < 0
    error ('reference_block_pursuit: negative tol rejected');
  end

  count = zeros (Q, 1);
  U = cell (Q, 1);          % orthonormal vectors, N x cap per block
  B = cell (Q, 1);          % dual vectors, N x cap per block
  yList = cell (Q, 1);      % 1-based indices in selection order
  xList = cell (Q, 1);
  R = cell (Q, 1);          % residuals as N-vectors
  candY = zeros (Q, 1);     % cached best atom of each block, 1-based
  candX = zeros (Q, 1);
  candValue = zeros (Q, 1);
  energy = zeros (Q, 1);
  for q = 1:Q
    R{q} = blocks{q}(:);
    [candValue(q), candY(q), candX(q)] = bestAtom (Dy, Dx, blocks{q});
    energy(q) = norm (R{q}) ^ 2;
    U{q} = zeros (N, cap);
    B{q} = zeros (N, cap);
  end

  total = 0;
  added = 0;
  stop = 'budget';
  while added < limit
    % The block with the strictly largest cached value, lowest index on ties.
    w = 0;
    v = 0;
    for q = 1:Q
      if candValue(q) > w
        w = candValue(q);
        v = q;
      end
    end
    if v == 0 || w < 1e-10
      stop = 'tol2';
      break;
    end

    a = kron (Dx(:, candX(v)), Dy(:, candY(v)));   % the atom dy*dx' as a column
    k = count(v);
    u = a;
    if k > 0
      Uk = U{v}(:, 1:k);
      u = a - Uk * (Uk' * a);      % classical Gram-Schmidt, coefficients from a
      for pass = 1:2
        u = u - Uk * (Uk' * u);
      end
    end
    nrm = norm (u);
    if ~(nrm > 1e-7 * norm (a))
      % The atom adds nothing new to this block: refuse it, retire the block.
      candValue(v) = 0;
      continue;
    end
    u = u / nrm;

    k = k + 1;
    count(v) = k;
    total = total + 1;
    yList{v}(k, 1) = candY(v);
    xList{v}(k, 1) = candX(v);
    U{v}(:, k) = u;
    % Dual update: keep b_j . a_i = delta_ij for the enlarged set.
    if k > 1
      s = (B{v}(:, 1:k-1)' * a) / nrm;
      B{v}(:, 1:k-1) = B{v}(:, 1:k-1) - u * s';
    end
    B{v}(:, k) = u / nrm;

    c = u' * blocks{v}(:);
    R{v} = R{v} - c * u;
    energy(v) = norm (R{v}) ^ 2;
    totalEnergy = 0;
    for q = 1:Q
      totalEnergy = totalEnergy + energy(q);
    end
    if totalEnergy < tol
      stop = 'tol';
      break;
    end
    if k == cap
      candValue(v) = 0;   % full: never chosen again
    else
      [candValue(v), candY(v), candX(v)] = bestAtom (Dy, Dx, reshape (R{v}, rows, cols));
    end
    added = added + 1;
  end

  sz = size (blocks);
  approx = cell (sz);
  yIdx = cell (sz);
  xIdx = cell (sz);
  duals = cell (sz);
  coefs = cell (sz);
  ortho = cell (sz);
  for q = 1:Q
    m = count(q);
    if m == 0
      approx{q} = zeros (rows, cols);
      continue;
    end
    f = blocks{q}(:);
    approx{q} = reshape (f - R{q}, rows, cols);
    yIdx{q} = yList{q};
    xIdx{q} = xList{q};
    duals{q} = B{q}(:, 1:m);
    coefs{q} = B{q}(:, 1:m)' * f;
    ortho{q} = U{q}(:, 1:m);
  end
end

function [value, iy, ix] = bestAtom (Dy, Dx, F)
  % Largest |dy_i' F dx_j|; among equal values the first in column-major order.
  P = Dy' * F * Dx;
  [value, linear] = max (abs (P(:)));
  [iy, ix] = ind2sub (size (P), linear);
end

function m = low32 (x)
  % The module's conversion of the atom budget: truncate to a 64-bit integer,
  % keep its low 32 bits as a signed number; NaN, Inf and values outside the
  % 64-bit range give 0.
  if ~isfinite (x) || x >= 2^63 || x < -2^63
    m = 0;
    return;
  end
  m = mod (fix (x), 2^32);
  if m >= 2^31
    m = m - 2^32;
  end
end

%!test
%! % The worked call: blocks [3;4] and [0;1], Dy = I, Dx = 1, default tol.
%! [A, Y, X, Bd, C, U, t, stop] = reference_block_pursuit ({[3;4], [0;1]}, eye (2), 1);
%! assert (Y, {[2;1], []});
%! assert (X, {[1;1], []});
%! assert (C, {[4;3], []});
%! assert (A, {[3;4], [0;0]});
%! assert (Bd, {[0 1; 1 0], []});
%! assert (U, {[0 1; 1 0], []});
%! assert (t, 2);
%! assert (stop, 'tol');

%!test
%! % Two atoms a0 = (2,0), a1 = (1,2): u = I, duals (0.5,-0.25) and (0,0.5),
%! % coefficients 0.25 and 2.5 for f = (3,5).
%! Dy = [2 1; 0 2];
%! [A, Y, ~, Bd, C, U] = reference_block_pursuit ({[3;5]}, Dy, 1, 0);
%! assert (Y{1}, [2;1]);    % (1,2).(3,5) = 13 beats (2,0).(3,5) = 6
%! % Same identities in the order chosen here: a1 first, then a0.
%! assert (Bd{1}' * Dy(:, Y{1}), eye (2), 1e-14);
%! assert (U{1}' * U{1}, eye (2), 1e-14);
%! assert (Dy(:, Y{1}) * C{1}, [3;5], 1e-14);
%! assert (C{1}, [2.5; 0.25], 1e-14);
%! assert (A{1}, [3;5], 1e-14);

%!test
%! % Invariants on a random call: U'U = I, B'A = I, approximation =
%! % sum of coefficient * atom = block - residual, total = sum of counts.
%! rand ('seed', 3); randn ('seed', 3);
%! blocks = arrayfun (@(k) randn (3, 4), zeros (2, 3), 'UniformOutput', false);
%! Dy = randn (3, 5); Dx = randn (4, 6);
%! [A, Y, X, Bd, C, U, t] = reference_block_pursuit (blocks, Dy, Dx, 1);
%! m = 0;
%! for q = 1:6
%!   atoms = zeros (12, numel (Y{q}));
%!   for j = 1:numel (Y{q})
%!     atoms(:, j) = reshape (Dy(:, Y{q}(j)) * Dx(:, X{q}(j))', [], 1);
%!   end
%!   m = m + numel (Y{q});
%!   if isempty (Y{q}), continue; end
%!   assert (U{q}' * U{q}, eye (numel (Y{q})), 1e-12);
%!   assert (Bd{q}' * atoms, eye (numel (Y{q})), 1e-10);
%!   assert (atoms * C{q}, A{q}(:), 1e-10);
%! end
%! assert (t, m);

%!test
%! % A block full at cap atoms is retired: Ky*Kx = 1 < N, so the first block
%! % takes one atom, the zero block none, and the pursuit ends on tol2.
%! [~, Y, ~, ~, ~, ~, t, stop] = reference_block_pursuit ({[1;2], [0;0]}, [1;1], 1, 0);
%! assert (Y, {1, []});
%! assert (t, 1);
%! assert (stop, 'tol2');
%! % Large values: the residual of a full block still scores above 1e-10,
%! % yet the block takes no more than cap = 4 atoms.
%! randn ('seed', 7);
%! [~, Y, ~, ~, ~, ~, t, stop] = reference_block_pursuit ({1e9 * randn(2), [1 0; 0 0]}, randn (2, 3), randn (2, 3), 0);
%! assert (numel (Y{1}), 4);
%! assert (numel (Y{2}) >= 1);

%!test
%! % An atom in the span of earlier ones is refused. Dy repeats a column;
%! % with values near 1e9 the residual, orthogonal to the chosen atoms up to
%! % rounding, still scores about 1e-7 > 1e-10 against them, so a chosen atom
%! % comes back. It is refused, the block retired, and all stays finite.
%! randn ('seed', 11);
%! a = randn (3, 1); b = randn (3, 1);
%! [A, Y, ~, Bd, C, U, t, stop] = reference_block_pursuit ({1e9 * randn(3, 1)}, [a a b], 1, 0);
%! assert (t, 2);
%! assert (sort (Y{1}), [1; 3]);
%! assert (stop, 'tol2');
%! assert (all (isfinite ([A{1}(:); Bd{1}(:); C{1}(:); U{1}(:)])));

%!test
%! % Budget conversions: 3.9 -> 3, 2^32 + 5 -> 5, NaN -> 0 (capacity).
%! blocks = {[1;2;3;4], [4;3;2;1]};
%! [~, ~, ~, ~, ~, ~, t] = reference_block_pursuit (blocks, eye (4), 1, 0, 3.9);
%! assert (t, 3);
%! [~, ~, ~, ~, ~, ~, t] = reference_block_pursuit (blocks, eye (4), 1, 0, 2^32 + 5);
%! assert (t, 5);
%! [~, ~, ~, ~, ~, ~, t] = reference_block_pursuit (blocks, eye (4), 1, 0, NaN);
%! assert (t, 8);

%!error <maxAtoms 9 rejected> reference_block_pursuit ({[1;2;3;4], [4;3;2;1]}, eye (4), 1, 0, 9)
%!error <maxAtoms -1 rejected> reference_block_pursuit ({[1;2;3;4], [4;3;2;1]}, eye (4), 1, 0, -1)
%!error <negative tol> reference_block_pursuit ({[1;2;3;4], [4;3;2;1]}, eye (4), 1, -1)
