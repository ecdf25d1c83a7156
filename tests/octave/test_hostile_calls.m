% Malformed and extreme calls of the module in the real host: wrong counts and
% types, malformed blocks, non-finite values, degenerate dictionaries, one-pixel
% blocks, huge budgets and sizes, every nargout from 0 to 8, and a call that
% needs more memory than the process may have. Each call must either raise a
% clear error of the module or return correct, finite results; the last block
% checks that the same Octave process still gives the right answer after all
% of them.

%!function [message, text, out] = call_module (nout, varargin)
%!  % Calls the module with nout outputs; returns its error message ('' when
%!  % the call succeeded), the console text and the outputs. Counts the call.
%!  global hostile_calls
%!  if isempty (hostile_calls)
%!    hostile_calls = 0;
%!  end
%!  hostile_calls += 1;
%!  message = '';
%!  out = cell (1, nout);
%!  if nout == 0
%!    text = evalc ('try, TILEVISTA_Mex (varargin{:}); catch err, message = err.message; end');
%!  else
%!    text = evalc ('try, [out{1:nout}] = TILEVISTA_Mex (varargin{:}); catch err, message = err.message; end');
%!  end
%!endfunction

%!function expect_error (pattern, nout, varargin)
%!  % The call must fail with the module's own message, matching pattern.
%!  message = call_module (nout, varargin{:});
%!  assert (! isempty (regexp (message, ['^TILEVISTA_Mex: ' pattern], 'once')), ...
%!          sprintf ('expected "%s", got "%s"', pattern, message));
%!endfunction

%!function out = expect_result (strict, varargin)
%!  % The call with 7 outputs must succeed; its outputs are checked against its
%!  % inputs (see check_outputs).
%!  [message, text, out] = call_module (7, varargin{:});
%!  assert (message, '');
%!  check_outputs (out, strict, varargin{1:3});
%!endfunction

%!function check_outputs (out, strict, blocks, Dy, Dx)
%!  % Shapes, counts and index ranges always; finite values when the inputs are
%!  % finite and of moderate size (beyond that the true values may not be
%!  % representable); with strict, also the identities of the decomposition,
%!  % which hold to rounding for well-conditioned atoms:
%!  %   U'U = I, B'A = I, c = B'f, approximation = A c = U U'f
%!  % with A the chosen atoms, U the orthonormal and B the dual vectors.
%!  [rows, cols] = size (blocks{min (2, numel (blocks))});
%!  Dy = Dy(:, :);
%!  Dx = Dx(:, :);
%!  N = rows * cols;
%!  Ky = columns (Dy);
%!  Kx = columns (Dx);
%!  cap = min (Ky * Kx, N);
%!  values = [cellfun(@(b) max ([0; abs(b(:))]), blocks(:)); abs(Dy(:)); abs(Dx(:))];
%!  moderate = all (isfinite (values)) && max (values) < 1e100;
%!  assert (numel (out), 7);
%!  for o = 1:6
%!    assert (iscell (out{o}) && isequal (size (out{o}), size (blocks)), sprintf ('output %d', o));
%!  end
%!  total = 0;
%!  for i = 1:numel (blocks)
%!    m = numel (out{2}{i});
%!    total += m;
%!    assert (m <= cap);
%!    assert (isequal (size (out{1}{i}), [rows cols]));
%!    if m == 0
%!      assert (all (out{1}{i}(:) == 0));
%!      assert (isempty (out{3}{i}) && isempty (out{4}{i}) && isempty (out{5}{i}) && isempty (out{6}{i}));
%!      continue;
%!    end
%!    y = out{2}{i};
%!    x = out{3}{i};
%!    assert (isequal (size (y), [m 1]) && isequal (size (x), [m 1]) && isequal (size (out{5}{i}), [m 1]));
%!    assert (isequal (size (out{4}{i}), [N m]) && isequal (size (out{6}{i}), [N m]));
%!    assert (all (y == fix (y) & y >= 1 & y <= Ky) && all (x == fix (x) & x >= 1 & x <= Kx));
%!    if moderate
%!      assert (all (isfinite ([out{1}{i}(:); out{4}{i}(:); out{5}{i}(:); out{6}{i}(:)])), sprintf ('block %d', i));
%!    end
%!    if strict
%!      A = zeros (N, m);
%!      for k = 1:m
%!        a = Dy(:, y(k)) * Dx(:, x(k)).';
%!        A(:, k) = a(:);
%!      end
%!      f = blocks{i}(:);
%!      U = out{6}{i};
%!      B = out{4}{i};
%!      c = out{5}{i};
%!      scale = max (1, norm (f));
%!      assert (norm (U' * U - eye (m), 'fro') <= 1e-10 * m);
%!      assert (norm (B' * A - eye (m), 'fro') <= 1e-8 * m);
%!      assert (norm (c - B' * f) <= 1e-12 * scale * norm (B, 'fro'));
%!      assert (norm (out{1}{i}(:) - A * c) <= 1e-8 * scale);
%!      assert (norm (out{1}{i}(:) - U * (U' * f)) <= 1e-10 * scale);
%!    end
%!  end
%!  assert (out{7}, total);
%!endfunction

%!shared B, I, early
%! B = {[3;4], [0;1]};   % the worked call: 2 x 1 blocks, Dy = I, Dx = 1
%! I = eye (2);
%! early = 'Error TILEVISTA exited early see message above!!';

%!test
%! % Wrong numbers of inputs and outputs, nargout from 0 to 8.
%! expect_error ('Wrong number of input arguments$', 7);
%! expect_error ('Wrong number of input arguments$', 7, B);
%! expect_error ('Wrong number of input arguments$', 7, B, I);
%! expect_error ('Wrong number of input arguments$', 7, B, I, 1, 6.5, 0, 0);
%! expect_error ('Wrong number of input arguments$', 0, B, I, 1, 6.5, 0, 0, 0, 0);
%! expect_error ('Wrong number of input arguments$', 8, B);
%! for nout = 0:6
%!   expect_error ('Wrong number of output arguments!$', nout, B, I, 1);
%! end
%! expect_result (true, B, I, 1);
%! [message, text, out] = call_module (8, B, I, 1);
%! assert (message, '');
%! check_outputs (out(1:7), true, B, I, 1);

%!test
%! % Every wrong type at every position of a dictionary, tol or maximum.
%! bad = {single(I), int8(I), uint16(I), int32(I), int64(I), logical(I), 'ab', ...
%!        I * 1i, complex(I), sparse(I), {I}, struct('a', I), @sin, ''};
%! for k = 1:numel (bad)
%!   expect_error ('Input must be double, real, full,and nonstring$', 7, B, bad{k}, 1);
%!   expect_error ('Input must be double, real, full,and nonstring$', 7, B, I, bad{k});
%!   expect_error ('Input must be double, real, full,and nonstring$', 7, B, I, 1, bad{k});
%!   expect_error ('Input must be double, real, full,and nonstring$', 7, B, I, 1, 6.5, bad{k});
%! end

%!test
%! % Blocks input that is empty or not a cell array.
%! for blocks = {[], {}, cell(0, 3), zeros(0, 2), struct([])}
%!   expect_error ('The image matrix is empty!!$', 7, blocks{1}, I, 1);
%! end
%! for blocks = {5, [1 2; 3 4], 'abc', struct('a', 1), @sin, true, int8(3), single([3;4]), sparse([3;4])}
%!   expect_error ('Must Enter a Cell Block$', 7, blocks{1}, I, 1);
%! end

%!test
%! % Malformed blocks, each named by its position.
%! block = 'Block %d must be a real, full double matrix of 2 x 1; it is ';
%! wrong = {int8([3;4]), 'of class int8'; single([3;4]), 'of class single';
%!          true(2, 1), 'of class logical'; [3;4] * 1i, 'complex';
%!          sparse([3;4]), 'a sparse matrix'; {[3;4]}, 'a cell array';
%!          'ab', 'a character array'; struct('a', 1), 'of class struct';
%!          @sin, 'of class function_handle'; [3 4], '1 x 2'; zeros(3, 1), '3 x 1';
%!          [], '0 x 0'; ones(2, 1, 2), '2 x 2'};
%! for k = 1:rows (wrong)
%!   what = [regexptranslate('escape', wrong{k, 2}) '$'];
%!   expect_error ([sprintf(block, 1) what], 7, {wrong{k, 1}, [0;1]}, I, 1);
%!   expect_error ([sprintf(block, 4) what], 7, {[3;4], [0;1]; [1;1], wrong{k, 1}}, I, 1);
%! end
%! % The block size comes from the second block: a first block that disagrees
%! % is the one named.
%! expect_error ('Block 1 must be a real, full double matrix of 3 x 1; it is 2 x 1$', 7, {[3;4], [1;2;3]}, eye (3), 1);
%! % Blocks of different sizes are named before any dictionary is held to the
%! % block size: when the second block is the odd one, the others hold it to
%! % theirs, and no dictionary is blamed.
%! expect_error ('Block 2 must be a real, full double matrix of 2 x 1; it is a cell array$', 7, {[3;4], {[0;1]}}, I, 1);
%! expect_error ('Block 2 must be a real, full double matrix of 2 x 1; it is 0 x 0$', 7, {[3;4], []}, I, 1);
%! odd = {ones(8), ones(8, 7), ones(8), ones(8)};
%! D = eye (8);
%! expect_error ('Block 2 must be a real, full double matrix of 8 x 8; it is 8 x 7$', 7, odd, D, D);
%! expect_error ('Block 3 must be a real, full double matrix of 8 x 8; it is 8 x 7$', 7, odd([1 3 2 4]), D, D);

%!test
%! % Dictionaries of the wrong length, without atoms, or with one atom each.
%! expect_error ('Error!!$', 7, B, eye (3), 1);
%! expect_error ('Error!!$', 7, B, zeros (2, 0), 1);
%! expect_error ('Error!!$', 7, B, [], 1);
%! expect_error ('Error!!$', 7, B, I, [1; 1]);
%! expect_error ('Error!!$', 7, B, I, zeros (1, 0));
%! expect_error ('One dictionary should have more than 1 atom and the other should have at least one!!$', 7, B, [1; 0], 1);
%! expect_result (true, B, [1 0; 0 1], 1);        % Ky = 2, Kx = 1 is accepted
%! expect_result (true, B, ones (2, 2, 2) / 2, 1); % a 2 x 2 x 2 Dy is 2 x 4

%!test
%! % Sizes whose products pass the 32-bit range are refused before any work.
%! expect_error ('The dictionaries are too large: 65536 x 65536 atom pairs', 7, {1, 1}, zeros (1, 65536), zeros (1, 65536));
%! expect_error ('The blocks are too large for their dictionaries: 46341 pixels x 46341 atoms', 7, ...
%!               {zeros(46341, 1)}, zeros (46341, 1), zeros (1, 46341));

%!test
%! % Non-finite values in the blocks, dictionaries and tol; NaN scores are never
%! % taken, so a block of NaN gets no atom and the other blocks go on.
%! out = expect_result (false, {[NaN; 1], [0; 1]}, I, 1, 0);
%! assert (out{2}{2}, 2);
%! out = expect_result (false, {[NaN; NaN], [0; 1]}, I, 1, 0);
%! assert (isempty (out{2}{1}) && out{7} == 1);
%! expect_result (false, {[Inf; 1], [0; 1]}, I, 1, 0);
%! expect_result (false, {[-Inf; Inf], [0; 1]}, I, 1, 0);
%! expect_result (false, {[3; 4], [0; 1]}, [NaN 0; 0 1], 1, 0);
%! out = expect_result (false, {[3; 4], [0; 1]}, NaN (2, 2), 1, 0);
%! assert (out{7}, 0);
%! expect_result (false, {[3; 4], [0; 1]}, I, Inf, 0);
%! expect_result (false, {[3; 4], [0; 1]}, I, NaN, 0);
%! % tol NaN never stops the pursuit, Inf stops it after the first atom, -0
%! % is not below zero; negative tols are rejected.
%! out = expect_result (true, B, I, 1, NaN);
%! assert (out{7}, 3);
%! out = expect_result (true, B, I, 1, Inf);
%! assert (out{7}, 1);
%! out = expect_result (true, B, I, 1, -0);
%! assert (out{7}, 3);
%! expect_result (true, B, I, 1, realmin);
%! expect_result (true, B, I, 1, realmax);
%! expect_error (early, 7, B, I, 1, -Inf);
%! expect_error (early, 7, B, I, 1, -realmin);

%!test
%! % Extreme magnitudes: subnormal blocks score below 1e-10 and get no atom;
%! % blocks near the top of the range still give finite, correct results as long
%! % as the true values fit a double.
%! out = expect_result (true, {realmin / 1024 * [1; 1], [0; 1e-320]}, I, 1, 0);
%! assert (out{7}, 0);
%! expect_result (false, {[1e300; -1e300], [1e300; 1]}, I, 1, 0);
%! out = expect_result (false, {[realmax; realmax], [0; 1]}, I, 1, 0);
%! assert (out{1}{1}, [realmax; realmax]);
%! expect_result (true, {1e-300 * [3; 4], [0; 1]}, I, 1, 0);
%! expect_result (true, {1e150 * [3; 4], [0; 1]}, I, 1, 0);
%! expect_result (false, {[3; 4], [0; 1]}, 1e-160 * I, 1e-160, 0);
%! expect_result (true, {[3; 4], [0; 1]}, 1e100 * I, 1e-100, 0);

%!test
%! % Degenerate dictionaries: all zeros, zero atoms, duplicated and nearly
%! % dependent atoms, rank one. Dependent atoms are refused, never divided by.
%! rand ('seed', 7);
%! F = {rand(4, 3), rand(4, 3); rand(4, 3), zeros(4, 3)};
%! Dx = orth (rand (3, 3));
%! out = expect_result (false, F, zeros (4, 4), Dx, 0);
%! assert (out{7}, 0);
%! out = expect_result (false, F, rand (4, 4), zeros (3, 2), 0);
%! assert (out{7}, 0);
%! Dy = orth (rand (4, 4));
%! expect_result (true, F, [Dy(:, 1:2) zeros(4, 1) Dy(:, 3:4)], Dx, 0);
%! out = expect_result (true, F, [Dy Dy], Dx, 0);         % every atom twice
%! for i = 1:numel (F)
%!   % never both copies of one atom in a block
%!   assert (rows (unique ([mod(out{2}{i} - 1, 4) out{3}{i}], 'rows')), numel (out{2}{i}));
%! end
%! expect_result (true, F, repmat (Dy(:, 1), 1, 5), Dx, 0);  % all Y atoms equal
%! expect_result (true, F, Dy(:, 1) * [1 2 3], Dx, 0);       % rank one
%! expect_result (false, F, [Dy(:, 1) Dy(:, 1) + 1e-9 * Dy(:, 2) Dy(:, 3:4)], Dx, 0);
%! expect_result (false, cellfun (@(b) 1e12 * b, F, 'UniformOutput', false), [Dy Dy], Dx, 0);
%! expect_result (false, F, rand (4, 40), rand (3, 30), 0);  % very redundant
%! expect_result (false, F, 1e-8 * rand (4, 4), 1e-8 * rand (3, 3), 0);

%!test
%! % One-pixel blocks, single blocks, rows and columns of pixels.
%! out = expect_result (true, {5}, [1 2], 1);
%! assert (out{1}{1}, 5, 1e-12);
%! expect_result (true, {1, -2; 0, 0.5}, [1 2], 1, 0);
%! expect_result (true, {1, -2; 0, 0.5}, 1, [1 -1], 0);
%! rand ('seed', 3);
%! pixels = num2cell (rand (30, 40));
%! out = expect_result (true, pixels, [1 -1], 1, 0);
%! assert (cell2mat (out{1}), cell2mat (pixels), 1e-12);
%! expect_result (true, {rand(1, 8), rand(1, 8)}, [1 2], orth (rand (8, 8)), 0);
%! expect_result (true, {rand(8, 1), rand(8, 1)}, orth (rand (8, 8)), [1 2], 0);
%! expect_result (true, {[3; 4]}, I, 1);

%!test
%! % Budgets: huge, negative, fractional, non-finite and wrapped values. Without
%! % a budget of its own this call takes 3 atoms; its capacity is 4.
%! budgets = [1, 2, 3.9, 4, -0.5, 0, NaN, Inf, -Inf, 2^32, 2^32 + 1, 2^32 + 2, ...
%!            -2^63, 2^63, 1e30, realmax, -realmax, 2^53 + 2];
%! atoms   = [1, 2, 3,   3, 3,    3, 3,   3,   3,    3,    1,        2, ...
%!            3,     3,    3,    3,       3,        2];
%! for k = 1:numel (budgets)
%!   out = expect_result (true, B, I, 1, 0, budgets(k));
%!   assert (out{7}, atoms(k), sprintf ('budget %g', budgets(k)));
%! end
%! for budget = [5, 1e9, 2^31 - 1, 2^31, -1, -2^31, 2^32 - 1, 2^33 + 5]
%!   expect_error (early, 7, B, I, 1, 0, budget);
%! end

%!test
%! % Many blocks: 5000 one-pixel blocks take one atom each.
%! pixels = num2cell (1:5000);
%! out = expect_result (true, pixels, [1 2], 1, 0);
%! assert (out{7}, 5000);

%!test
%! % A call whose score table needs 16 GiB, in a child Octave whose address
%! % space is capped at 4 GB: a clear error, and the child's next call works.
%! moduleDir = fileparts (which ('TILEVISTA_Mex'));
%! octave = fullfile (OCTAVE_HOME, 'bin', 'octave-cli');
%! script = sprintf (['addpath (''%s''); ' ...
%!   'try, [a, b, c, d, e, f, g] = TILEVISTA_Mex ({1, 1}, zeros (1, 46340), zeros (1, 46340)); disp (''no error''); ' ...
%!   'catch err, disp (err.message); end; ' ...
%!   '[a, b, c, d, e, f, g] = TILEVISTA_Mex ({[3;4], [0;1]}, eye (2), 1); printf (''atoms %%d\\n'', g);'], moduleDir);
%! [status, output] = system (sprintf ('ulimit -v 4000000; "%s" --no-gui --norc --eval "%s" 2>&1', octave, script));
%! assert (! isempty (strfind (output, 'TILEVISTA_Mex: Not enough memory for this call: it takes 16.0 GB to score a block (46340 x 46340 atom pairs)')), output);
%! assert (! isempty (strfind (output, 'atoms 2')), output);

%!test
%! % A dictionary of 128 MiB in a child Octave with 60 MB of its 4 GB of
%! % address space left: the clear error of running out of memory, and the
%! % same build once the memory is back.
%! octave = fullfile (OCTAVE_HOME, 'bin', 'octave-cli');
%! script = sprintf (['addpath (''%s''); ' ...
%!   's = fileread (''/proc/self/status''); ' ...
%!   'vm = str2double (regexp (s, ''VmSize:\\s*(\\d+)'', ''tokens'', ''once''){1}); ' ...
%!   'x = ones (round ((4000000 - vm - 60000) * 1024 / 8), 1); ' ...
%!   'try, tilevista_dictionary (''cosine:16384'', 1024); disp (''no error''); ' ...
%!   'catch err, printf (''%%s %%s\\n'', err.identifier, err.message); end; ' ...
%!   'clear x; printf (''atoms %%d\\n'', columns (tilevista_dictionary (''cosine:16384'', 1024)));'], ...
%!   fileparts (which ('TILEVISTA_Mex')));
%! [status, output] = system (sprintf ('ulimit -v 4000000; "%s" --no-gui --norc --eval "%s" 2>&1', octave, script));
%! assert (! isempty (strfind (output, 'TILEVISTA:outOfMemory tilevista_dictionary: memory ran out while the dictionary was built')), output);
%! assert (! isempty (strfind (output, 'atoms 16384')), output);

%!test
%! % The same call gives identical outputs and console text every time, with
%! % other calls in between.
%! rand ('seed', 11);
%! F = reshape (num2cell (rand (6, 5, 12), [1 2]), 3, 4);
%! Dy = rand (6, 9);
%! Dx = rand (5, 8);
%! [m1, t1, o1] = call_module (7, F, Dy, Dx, 0);
%! assert (m1, '');
%! for k = 1:3
%!   call_module (7, {[NaN; 1]}, I, 1, 0);
%!   call_module (7, B, single (I), 1);
%!   [m2, t2, o2] = call_module (7, F, Dy, Dx, 0);
%!   assert (m2, '');
%!   assert (strcmp (t1, t2));
%!   assert (isequaln (o1, o2));
%! end

%!test
%! % After all the calls above, in the same process, the worked call still
%! % gives its exact outputs and console text.
%! global hostile_calls
%! assert (hostile_calls >= 100, sprintf ('%d calls', hostile_calls));
%! [message, text, out] = call_module (7, B, I, 1);
%! assert (message, '');
%! assert (text, ["\nTILEVISTA MEX is running for tol=6.5, tol1=1e-07 and tol2=1e-10.\n" ...
%!                "tol  -> required precision, distance ||f-f_approx||\n" ...
%!                "tol1 -> atoms havin g smaller norm are supposed to be zero ones.\n" ...
%!                "tol2 -> algorithm stops if max(|<f,q>|/||q||)<= tol2.\n" ...
%!                "\n \n We have have reached (tol) for approximation. tol= 6.500000, max_err= 1.000000"]);
%! assert (out{1}, {[3; 4], [0; 0]});
%! assert (out{2}, {[2; 1], []});
%! assert (out{3}, {[1; 1], []});
%! assert (out{4}, {[0 1; 1 0], []});
%! assert (out{5}, {[4; 3], []});
%! assert (out{6}, {[0 1; 1 0], []});
%! assert (out{7}, 2);
%! clear -global hostile_calls
