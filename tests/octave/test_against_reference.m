% The module against reference_block_pursuit, the plain Octave version of the
% same pursuit: random images of several block and dictionary sizes, the
% budget and tol rules, and the inputs that used to break the pursuit. Atom
% indices and counts must be equal; values agree within 1e-9 relative to the
% largest magnitude of each output element.

%!function [out, stop] = call_module (varargin)
%!  out = cell (1, 7);
%!  text = evalc ('[out{1:7}] = TILEVISTA_Mex (varargin{:});');
%!  if ! isempty (strfind (text, 'We have have reached (tol)'))
%!    stop = 'tol';
%!  elseif ! isempty (strfind (text, 'stopped, max(|<f,q>|/||q||)<= tol2'))
%!    stop = 'tol2';
%!  else
%!    stop = 'budget';
%!  end
%!endfunction

%!function assert_close (a, b, what)
%!  assert (isequal (size (a), size (b)), [what ': sizes differ']);
%!  scale = max (abs (b(:)));
%!  if isempty (scale) || scale == 0
%!    assert (isequal (a, b), [what ': values differ']);
%!  else
%!    assert (max (abs (a(:) - b(:))) <= 1e-9 * scale, [what ': values differ']);
%!  end
%!endfunction

%!function compare (blocks, Dy, Dx, varargin)
%!  [out, stop] = call_module (blocks, Dy, Dx, varargin{:});
%!  ref = cell (1, 8);
%!  [ref{:}] = reference_block_pursuit (blocks, Dy, Dx, varargin{:});
%!  assert (stop, ref{8});
%!  assert (out{7}, ref{7});
%!  assert (out{2}, ref{2});        % Y indices, exactly, in order
%!  assert (out{3}, ref{3});        % X indices
%!  names = {'approximation', '', '', 'duals', 'coefficients', 'orthonormal'};
%!  for k = [1 4 5 6]
%!    assert (size (out{k}), size (ref{k}));
%!    for i = 1:numel (blocks)
%!      assert_close (out{k}{i}, ref{k}{i}, sprintf ('%s of block %d', names{k}, i));
%!    end
%!  end
%!endfunction

%!function blocks = random_blocks (d, nc, rows, cols)
%!  blocks = cell (d, nc);
%!  for i = 1:d*nc
%!    blocks{i} = 10 * randn (rows, cols) + 3;
%!  end
%!endfunction

%!test
%! % Square blocks, complete cosine bases, tol reached half-way.
%! randn ('seed', 1);
%! blocks = random_blocks (3, 2, 4, 4);
%! D = tilevista_cosine_dictionary (4);
%! energy = sum (cellfun (@(b) sum (b(:) .^ 2), blocks(:)));
%! compare (blocks, D, D, energy / 50);

%!test
%! % rows != cols, Ky != Kx, random (non-normalised) dictionaries; both
%! % orders of the separable product occur (Ky*cols vs Kx*rows).
%! randn ('seed', 2);
%! compare (random_blocks (2, 4, 3, 5), randn (3, 4), randn (5, 7), 20);
%! compare (random_blocks (1, 5, 5, 3), randn (5, 9), randn (3, 2), 0, 30);

%!test
%! % Redundant cosine dictionaries, Ky = 2*rows, Kx = 3*cols, with a budget.
%! randn ('seed', 3);
%! compare (random_blocks (4, 3, 6, 2), tilevista_cosine_dictionary (6, 12), ...
%!          tilevista_cosine_dictionary (2, 6), 0, 40);

%!test
%! % 8 x 8 blocks over cosines plus the identity basis (Ky = 24, Kx = 16).
%! randn ('seed', 4);
%! Dy = tilevista_combine_dictionaries (tilevista_cosine_dictionary (8, 16), eye (8));
%! compare (random_blocks (2, 2, 8, 8), Dy, tilevista_cosine_dictionary (8, 16), 100, 120);

%!test
%! % Row blocks (rows = 1), Ky = 2; tol = 0 and NaN never stop the pursuit:
%! % every block fills to cap = 5 and the budget cap * Q ends it.
%! randn ('seed', 5);
%! blocks = random_blocks (3, 1, 1, 5);
%! compare (blocks, [1 0.5], eye (5), 0);
%! compare (blocks, [1 0.5], eye (5), NaN);
%! out = call_module (blocks, [1 0.5], eye (5), 0);
%! assert (out{7}, 15);

%!test
%! % The budget: cap * Q accepted; 3.9 -> 3, -0.5 -> 0 (no budget),
%! % 2^32 + 5 -> 5, Inf and NaN -> 0.
%! randn ('seed', 6);
%! blocks = random_blocks (2, 2, 3, 3);
%! D = tilevista_cosine_dictionary (3);
%! for budget = [36 3.9 -0.5 2^32+5 Inf NaN 1]
%!   compare (blocks, D, D, 0, budget);
%! end
%! out = call_module (blocks, D, D, 0, 3.9);
%! assert (out{7}, 3);
%! out = call_module (blocks, D, D, 0, 2^32 + 5);
%! assert (out{7}, 5);
%! out = call_module (blocks, D, D, 0, Inf);
%! assert (out{7}, 36);

%!test
%! % All blocks zero: no atom, tol2 stop, zero approximations, empty rest.
%! [out, stop] = call_module ({zeros(2), zeros(2)}, eye (2), eye (2), 0);
%! assert (stop, 'tol2');
%! assert (out{7}, 0);
%! assert (out{1}, {zeros(2), zeros(2)});
%! assert (out{2}, {[], []});

%!test
%! % A NaN in a block: its scores are NaN, it is never chosen, and the total
%! % energy being NaN the tol rule cannot stop; the other block fills up.
%! randn ('seed', 8);
%! blocks = {[1 NaN; 2 3], randn(2)};
%! D = tilevista_cosine_dictionary (2);
%! [out, stop] = call_module (blocks, D, D, 1e6);
%! assert (stop, 'tol2');
%! assert (out{2}{1}, []);
%! assert (out{1}{1}, zeros (2));
%! assert (numel (out{2}{2}), 4);
%! assert (out{1}{2}, blocks{2}, 1e-12);
%! compare (blocks, D, D, 1e6);

%!test
%! % Large values: a full block's residual still scores above 1e-10, yet the
%! % block holds at most cap = 4 atoms and the other block goes on.
%! randn ('seed', 7);
%! blocks = {1e9 * randn(2), [1 0; 0 0]};
%! Dy = randn (2, 3); Dx = randn (2, 3);
%! out = call_module (blocks, Dy, Dx, 0);
%! assert (numel (out{2}{1}), 4);
%! assert (numel (out{2}{2}) >= 1);
%! compare (blocks, Dy, Dx, 0);

%!test
%! % An atom in the span of the block's earlier atoms (Dy repeats a column,
%! % large values keep rounding-level scores above 1e-10) is refused and the
%! % block retired; every output stays finite.
%! randn ('seed', 11);
%! a = randn (3, 1); b = randn (3, 1);
%! blocks = {1e9 * randn(3, 1)};
%! [out, stop] = call_module (blocks, [a a b], 1, 0);
%! assert (out{7}, 2);
%! assert (stop, 'tol2');
%! for k = 1:6
%!   assert (all (isfinite (out{k}{1}(:))));
%! end
%! compare (blocks, [a a b], 1, 0);

%!test
%! % Invariants of a module result, per block: U'U = I, B'A = I for the
%! % chosen atoms A, approximation = A * coefficients, total = sum of m_i,
%! % each to rounding (1e-10 relative to the data's size, here ~10).
%! randn ('seed', 9);
%! blocks = random_blocks (2, 3, 4, 6);
%! Dy = tilevista_cosine_dictionary (4, 8);
%! Dx = tilevista_cosine_dictionary (6, 9);
%! out = call_module (blocks, Dy, Dx, 50);
%! m = 0;
%! for i = 1:6
%!   mi = numel (out{2}{i});
%!   m = m + mi;
%!   if mi == 0, continue; end
%!   A = zeros (24, mi);
%!   for j = 1:mi
%!     A(:, j) = reshape (Dy(:, out{2}{i}(j)) * Dx(:, out{3}{i}(j))', [], 1);
%!   end
%!   assert (out{6}{i}' * out{6}{i}, eye (mi), 1e-12);
%!   assert (out{4}{i}' * A, eye (mi), 1e-9);
%!   assert (A * out{5}{i}, out{1}{i}(:), 1e-9);
%! end
%! assert (out{7}, m);

%!test
%! % The same values give the same bits wherever Octave keeps them: blocks and
%! % dictionaries that are slices of larger vectors (data at every 8 bytes
%! % past a 64-byte boundary) and fresh copies of them. Some BLAS kernels sum
%! % in an order that depends on where their operands sit, and OpenBLAS and the
%! % block scoring pick their kernels by processor: so in a fresh Octave under
%! % every kernel set this processor can run.
%! moduleDir = fileparts (which ('TILEVISTA_Mex'));
%! [~, settings] = system (fullfile (fileparts (fileparts (moduleDir)), 'tests', 'support', 'kernel-sets'));
%! settings = strsplit (strtrim (settings));
%! settings = settings(! cellfun (@isempty, settings));
%! if isempty (settings), settings = {''}; end
%! script = [tempname() '.m'];
%! fid = fopen (script, 'w');
%! fprintf (fid, '%s\n', ...
%!   'addpath (argv (){1});', ...
%!   'v = sin ((1:4000)'' * 0.37) + cos ((1:4000)'' * 1.3);', ...
%!   'w = cos ((1:400)'' * 0.71);', ...
%!   'for q = 1:40, s = 1 + (q - 1) * 17; A{q} = reshape (v(s:s+14), 3, 5); B{q} = A{q} * 1; end', ...
%!   'Dy = reshape (w(2:22), 3, 7); Dx = reshape (w(31:50), 5, 4);', ...
%!   'one = cell (1, 7); two = cell (1, 7);', ...
%!   'evalc (''[one{:}] = TILEVISTA_Mex (A, Dy, Dx, 0, 150);'');', ...
%!   'evalc (''[two{:}] = TILEVISTA_Mex (B, Dy * 1, Dx * 1, 0, 150);'');', ...
%!   'flat = @(out) typecast (cell2mat (cellfun (@(x) x(:), [out{1:6}, out(7)], ''UniformOutput'', false)'')(:), ''uint64'');', ...
%!   'printf (''%d %d|%s\n'', isequal (flat (one), flat (two)), one{7}, version (''-blas''));');
%! fclose (fid);
%! unwind_protect
%!   for k = 1:numel (settings)
%!     [status, text] = system (sprintf ('%s octave-cli --no-gui --norc %s %s 2>/dev/null', settings{k}, script, moduleDir));
%!     line = strtrim (text(max ([1, strfind(text, "\n")(1:end-1) + 1]):end));
%!     assert (strncmp (line, '1 150|', 6), sprintf ('under %s: %s', settings{k}, text));
%!     % Under OPENBLAS_CORETYPE, OpenBLAS runs the kernel set asked for.
%!     core = regexp (settings{k}, '^OPENBLAS_CORETYPE=(\w+)$', 'tokens', 'once');
%!     assert (isempty (core) || ! isempty (strfind (lower (line), lower ([' ' core{1} ' ']))), line);
%!   end
%! unwind_protect_cleanup
%!   delete (script);
%! end_unwind_protect
