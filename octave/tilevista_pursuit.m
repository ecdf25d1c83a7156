function s = tilevista_pursuit(varargin)
%TILEVISTA_PURSUIT  The pursuit of TILEVISTA_Mex, returning one struct.
%   S = TILEVISTA_PURSUIT(BLOCKS, DY, DX)
%   S = TILEVISTA_PURSUIT(BLOCKS, DY, DX, TOL)
%   S = TILEVISTA_PURSUIT(BLOCKS, DY, DX, TOL, MAXATOMS)
%   S = TILEVISTA_PURSUIT(..., NAME, VALUE, ...)
%
%   The same call as TILEVISTA_Mex (see help TILEVISTA_Mex for BLOCKS, DY,
%   DX, TOL, MAXATOMS, the stop rules, threads and memory): the same checks
%   and error identifiers, the same pursuit and the same numbers, bit for
%   bit. The results come in one struct, and what is not asked for is
%   neither computed into nor kept in it. It prints nothing, and says what
%   went wrong in plain words (below).
%
%   Options (logical, all false by default):
%     "duals"     also return the dual vectors
%     "bases"     also return the orthonormal vectors
%     "curve"     also return the whole rate-distortion curve of the call
%     "progress"  show the atoms so far and the squared error against TOL
%                 on the terminal while the call runs (on standard error,
%                 so evalc does not keep it from view); or a function
%                 handle, called as F (ATOMS, ERROR, TOL) instead, between
%                 the stages of the pursuit
%     "verbose"   show the console text of TILEVISTA_Mex (its banner and
%                 stop message), the stop message ended with a line feed,
%                 which TILEVISTA_Mex's lacks
%
%   S has the fields (m_i the atoms of block i, N = rows*cols):
%     approximations  cell shaped as BLOCKS; the approximated blocks
%     yIndices        cell; element i the m_i x 1 Y atom indices (1-based)
%     xIndices        cell; element i the m_i x 1 X atom indices (1-based)
%     coefficients    cell; element i the m_i x 1 coefficients
%     totalAtoms      the number of atoms in all
%     stop            "tol", "tol2" or "budget": the rule the pursuit stopped on
%     threads         the threads that worked on the call
%     duals           ("duals") cell; element i the N x m_i dual vectors
%     bases           ("bases") cell; element i the N x m_i orthonormal vectors
%     curve           ("curve") struct: block and position (1-based, T x 1)
%                     of every atom in the order the pursuit takes them, one
%                     after the other; energy (T x 1), the total squared
%                     residual after each (the exact sum over the blocks,
%                     rounded once); pixels, the pixels of all blocks.
%   A call with a larger TOL takes exactly the first atoms of this order: it
%   stops after the first atom t with energy(t) < TOL (the pursuit compares
%   the blocks' energies added in block order, which can differ from the
%   exact sum by a few units in the last place). tilevista_rate_distortion
%   turns the curve into PSNR against the rate (atoms per pixel).
%
%   Errors. A rejected call raises an error with the identifier TILEVISTA_Mex
%   raises (TILEVISTA:..., listed with cause and cure in help TILEVISTA_Mex).
%   The first line of its message says in plain words what was wrong, with
%   the sizes or classes seen, and the cure, e.g.
%     tilevista_pursuit: Dy has atoms of length 3 (its rows), but the
%     blocks have 2 rows: give Dy 2 rows, one per block row
%   (Python's tilevista.approximate says the same words); the lines after it
%   are the module's own texts as TILEVISTA_Mex gives them (without their
%   final line feeds): the console line it prints before the error, if any,
%   then its message:
%     The atoms in the dictionary dictionary Y are of length 3 and should be of length 2
%     Error!!
%   so that strsplit (err.message, "\n")(2:end) gives them. Options that are
%   not taken raise TILEVISTA:option. Ctrl-C ends the call and returns to
%   the prompt.
%
%   Warning. TOL is a total squared error, not a PSNR: a TOL of 10 to 100
%   that asks the blocks for at least 20 dB more than its own value, with
%   their largest magnitude as the peak (38 on the blocks of a 512 x 512
%   image of values up to 255 asks 86.5 dB, hundreds of thousands of atoms),
%   gets the warning TILEVISTA:tolLooksLikePsnr before any work: for a
%   target in dB make the tol with tilevista_tol_for_psnr. The rule is that
%   of tilevista_psnr_for_tol and of Python's TolLooksLikePsnrWarning.
%
%   Element types, Octave and Python side by side: the module computes in
%   double. From Octave or MATLAB (TILEVISTA_Mex, tilevista_pursuit) it
%   rejects blocks of any other class (uint8 blocks end the call with
%   TILEVISTA:block, "... it is of class uint8") and dictionaries, TOL or
%   MAXATOMS of any other class (TILEVISTA:dictionaryYType and the like);
%   Python's tilevista.approximate converts every array whose values float64
%   holds exactly (uint8, int16, float32, bool) and refuses the rest with a
%   ValueError. tilevista_blocks and tilevista.image_blocks give double
%   blocks of any image.
%
%   tilevista_pursuit lives in the module's function file TILEVISTA_Mex.oct
%   (Octave only): the package, or the folder build/octave on the path.
%   Without it, this help file raises TILEVISTA:moduleMissing: install and
%   load the package, or put build/octave (make octave) on the path.
%
%   Example:
%     img = double (imread ('camera.png'));
%     [blocks, info] = tilevista_blocks (img, 8);
%     D = tilevista_cosine_dictionary (8, 16);
%     s = tilevista_pursuit (blocks, D, D, tilevista_tol_for_psnr (img, 40, 255), ...
%                            [], "curve", true);
%     approx = tilevista_assemble (s.approximations, info);
%     tilevista_rate_distortion (s.curve, 255);   % PSNR against atoms per pixel
%
%   See also TILEVISTA_MEX, TILEVISTA_RATE_DISTORTION, TILEVISTA_BLOCKS,
%   TILEVISTA_ASSEMBLE, TILEVISTA_TOL_FOR_PSNR.

% This file documents the function of the compiled module. Reaching the code
% below means the module was not found (TILEVISTA:moduleMissing).
  module_missing ('tilevista_pursuit');
end

%!shared B, I
%! B = {[3;4], [0;1]};
%! I = eye (2);

%!test
%! % The worked call: two atoms for the first block, none for the second;
%! % nothing on the console.
%! [text, s] = evalc ('tilevista_pursuit (B, I, 1)');
%! assert (text, '');
%! assert (s.totalAtoms, 2);
%! assert (s.stop, 'tol');
%! assert (s.yIndices, {[2; 1], []});
%! assert (s.xIndices, {[1; 1], []});
%! assert (s.coefficients, {[4; 3], []});
%! assert (s.approximations, {[3; 4], [0; 0]});
%! assert (s.threads >= 1);
%! assert (! any (isfield (s, {'duals', 'bases', 'curve'})));
%! % "verbose": TILEVISTA_Mex's console text, its stop message ended.
%! mexText = evalc ('[~, ~, ~, ~, ~, ~, ~] = TILEVISTA_Mex (B, I, 1);');
%! assert (regexp (mexText, 'We have have reached \(tol\) for approximation. tol= 6.500000, max_err= 1.000000$', 'once') > 1);
%! [text, t] = evalc ('tilevista_pursuit (B, I, 1, "verbose", true)');
%! assert (text, [mexText "\n"]);
%! assert (t.coefficients, s.coefficients);

%!test
%! % The same outputs and console text as TILEVISTA_Mex, bit for bit, with
%! % every output asked for: a budget, then every block to its capacity.
%! randn ('seed', 3);
%! blocks = cell (3, 4);
%! for i = 1:12, blocks{i} = randn (4, 5); end
%! Dy = randn (4, 7); Dx = randn (5, 6);
%! for args = {{1e-3, 40}, {0}}
%!   out = cell (1, 7);
%!   mexText = evalc ('[out{:}] = TILEVISTA_Mex (blocks, Dy, Dx, args{1}{:});');
%!   [text, s] = evalc ('tilevista_pursuit (blocks, Dy, Dx, args{1}{:}, "duals", true, "bases", true, "verbose", true)');
%!   assert (text, mexText);  % a budget: no stop message, no line feed added
%!   assert (s.totalAtoms, out{7});
%!   bits = @(c) typecast (cell2mat (cellfun (@(x) x(:), c(:), 'UniformOutput', false)), 'uint64');
%!   fields = {'approximations', 'yIndices', 'xIndices', 'duals', 'coefficients', 'bases'};
%!   for k = 1:6
%!     assert (size (s.(fields{k})), size (out{k}));
%!     assert (cellfun (@size, s.(fields{k}), 'UniformOutput', false), cellfun (@size, out{k}, 'UniformOutput', false));
%!     assert (bits (s.(fields{k})), bits (out{k}), fields{k});
%!   end
%! end
%! assert (s.stop, 'budget');
%! [~, s] = evalc ('tilevista_pursuit ({[0; 0], [0; 0]}, I, 1)');
%! assert ([s.totalAtoms, strcmp(s.stop, 'tol2')], [0, 1]);

%!test
%! % The curve: a call with a larger tol takes exactly its first atoms, block
%! % by block, and reaches the energy the curve gives there.
%! randn ('seed', 5);
%! blocks = cell (1, 30);
%! for i = 1:30, blocks{i} = randn (4); end
%! D = tilevista_cosine_dictionary (4, 6);
%! [~, s] = evalc ('tilevista_pursuit (blocks, D, D, 1e-6, [], "curve", true)');
%! c = s.curve;
%! assert (numel (c.energy), s.totalAtoms);
%! assert (c.pixels, 30 * 16);
%! assert (all (diff (c.energy) <= 0));
%! for k = round (s.totalAtoms * [0.1 0.4 0.8])
%!   tol = (c.energy(k - 1) + c.energy(k)) / 2;
%!   [~, t] = evalc ('tilevista_pursuit (blocks, D, D, tol, [], "curve", true)');
%!   assert (t.totalAtoms, k);
%!   assert (cellfun (@numel, t.yIndices), accumarray (c.block(1:k), 1, [30 1])');
%!   assert (t.curve.energy, c.energy(1:k));
%!   residual = sum (cellfun (@(b, a) sum ((b(:) - a(:)) .^ 2), blocks, t.approximations));
%!   assert (residual, c.energy(k), 1e-9 * c.energy(1));
%! end

%!function note_progress (atoms, energy, tol)
%!  global progress_seen
%!  progress_seen(end + 1, :) = [atoms, energy, tol];
%!endfunction

%!test
%! % Progress as it goes: atoms so far rising, the squared error falling,
%! % the tol of the call; the last report before the stop.
%! global progress_seen
%! progress_seen = zeros (0, 3);
%! randn ('seed', 7);
%! blocks = cell (1, 50);
%! for i = 1:50, blocks{i} = randn (4); end
%! D = tilevista_cosine_dictionary (4, 6);
%! [~, s] = evalc ('tilevista_pursuit (blocks, D, D, 1e-3, [], "progress", @note_progress)');
%! assert (rows (progress_seen) >= 2);
%! assert (all (diff (progress_seen(:, 1)) > 0) && all (diff (progress_seen(:, 2)) < 0));
%! assert (all (progress_seen(:, 3) == 1e-3));
%! assert (progress_seen(end, 1) <= s.totalAtoms);
%! clear -global progress_seen

%!test
%! % Rejections: TILEVISTA_Mex's identifiers; plain words on the first line,
%! % with the sizes or classes seen and the cure, then TILEVISTA_Mex's texts
%! % (the console line first). (python/tests/test_octave_parity.py holds
%! % every rejection to Python's words.)
%! cases = {
%!   {B, eye(3), 1}, 'TILEVISTA:dictionaryRows', ...
%!   ['Dy has atoms of length 3 (its rows), but the blocks have 2 rows: give Dy 2 rows, one per block row' ...
%!    "\nThe atoms in the dictionary dictionary Y are of length 3 and should be of length 2\nError!!"]
%!   {B, I, 1, -1}, 'TILEVISTA:tol', ...
%!   ['tol is -1; it must be 0 or more, a total squared error over all blocks (0 never stops the pursuit on tol): ' ...
%!    'make one from a target PSNR with tilevista_tol_for_psnr (Python: tilevista.tol_for_psnr)' ...
%!    "\nTol is -1 is should be positive!\nError TILEVISTA exited early see message above!!"]
%!   {{[1;2], uint8([3;4]), [5;6]}, I, 1}, 'TILEVISTA:block', ...
%!   ['the 2nd of 3 blocks must be a real, full double matrix of 2 x 1 like the others; it is of class uint8: convert it to double' ...
%!    "\nBlock 2 must be a real, full double matrix of 2 x 1; it is of class uint8"]
%!   {B, single(I), 1}, 'TILEVISTA:dictionaryYType', ...
%!   "Dy must be a real, full double matrix; it is of class single: convert it to double\nInput must be double, real, full,and nonstring"
%! };
%! for k = 1:rows (cases)
%!   try
%!     tilevista_pursuit (cases{k, 1}{:});
%!     error ('no error');
%!   catch err
%!     assert (err.identifier, cases{k, 2});
%!     assert (err.message, ['tilevista_pursuit: ' cases{k, 3}]);
%!   end
%! end

%!test
%! % A tol that reads like a PSNR in dB is told before any work, by the rule
%! % of tilevista_psnr_for_tol: 38 on 1024 values of peak 255 asks 62.4 dB.
%! global progress_seen
%! D = tilevista_cosine_dictionary (8, 16);
%! blocks = repmat ({[255 * ones(8, 1), zeros(8, 7)]}, 1, 16);
%! warning ('error', 'TILEVISTA:tolLooksLikePsnr', 'local');
%! progress_seen = zeros (0, 3);
%! try
%!   tilevista_pursuit (blocks, D, D, 38, [], "progress", @note_progress, "verbose", true);
%!   error ('no warning');
%! catch err
%!   assert (err.identifier, 'TILEVISTA:tolLooksLikePsnr');
%!   assert (err.message, ['tilevista_pursuit: TOL = 38 is a total squared error, which asks these blocks for ' ...
%!                         sprintf('%.1f', 10 * log10 (1024 * 255^2 / 38)) ' dB (peak 255, their largest value); ' ...
%!                         'for a target of 38 dB make the tol with tilevista_tol_for_psnr (img, 38)']);
%!   assert (rows (progress_seen), 0);
%! end
%! % Taken as meant: the blocks scaled to 0 to 1, or a tol made from 38 dB.
%! tilevista_pursuit (cellfun (@(b) b / 255, blocks, 'UniformOutput', false), D, D, 38);
%! tilevista_pursuit (blocks, D, D, tilevista_tol_for_psnr (zeros (32), 38, 255));
%! clear -global progress_seen
%!error <Wrong number of input arguments> tilevista_pursuit (B, I)
%!error <Must Enter a Cell Block> tilevista_pursuit ([3 4], I, 1)
%!error <unknown option 'dual'> tilevista_pursuit (B, I, 1, 'dual', true)
%!error <option "verbose" takes true or false> tilevista_pursuit (B, I, 1, 'verbose', 'yes')
%!error <option "curve" takes true or false> tilevista_pursuit (B, I, 1, 'curve', 'yes')
%!error <options come as name, value pairs> tilevista_pursuit (B, I, 1, 'curve')
