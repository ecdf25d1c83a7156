% The module through GNU Octave: the worked call with all seven outputs and
% its console text, and the classes and shapes of the outputs.

%!function [out, text] = call_module (varargin)
%!  out = cell (1, 7);
%!  text = evalc ('[out{1:7}] = TILEVISTA_Mex (varargin{:});');
%!endfunction

%!shared banner
%! banner = ["\nTILEVISTA MEX is running for tol=6.5, tol1=1e-07 and tol2=1e-10.\n", ...
%!           "tol  -> required precision, distance ||f-f_approx||\n", ...
%!           "tol1 -> atoms havin g smaller norm are supposed to be zero ones.\n", ...
%!           "tol2 -> algorithm stops if max(|<f,q>|/||q||)<= tol2.\n"];

%!test
%! % Blocks [3;4] and [0;1], Dy = I, Dx = 1, default tol 6.5: block 1 takes
%! % atom 2 (value 4), then atom 1 (value 3); the residual energy left is
%! % block 2's 1 < 6.5.
%! [out, text] = call_module ({[3;4], [0;1]}, eye (2), 1);
%! [A, Y, X, B, C, U, total] = out{:};
%! assert (A, {[3;4], [0;0]});
%! assert (Y, {[2;1], []});
%! assert (X, {[1;1], []});
%! assert (B, {[0 1; 1 0], []});
%! assert (C, {[4;3], []});
%! assert (U, {[0 1; 1 0], []});
%! assert (total, 2);
%! assert (text, [banner, ...
%!   "\n \n We have have reached (tol) for approximation. tol= 6.500000, max_err= 1.000000"]);

%!test
%! % Empty fourth and fifth inputs keep the defaults: the same call again.
%! [out, text] = call_module ({[3;4], [0;1]}, eye (2), 1, [], []);
%! assert (out{2}, {[2;1], []});
%! assert (out{7}, 2);
%! assert (strncmp (text, banner, numel (banner)));

%!test
%! % Classes and shapes: a 2 x 3 cell of 3 x 4 blocks, Ky = 5, Kx = 2. Every
%! % output is a d x nc cell (output 7 a 1 x 1 double); element i of outputs
%! % 2, 3, 5 is m_i x 1, of outputs 4 and 6 N x m_i, of output 1 rows x cols.
%! % Block (1,3) is zero and receives no atom: zero approximation, empty rest.
%! randn ('seed', 21);
%! blocks = cell (2, 3);
%! for i = 1:6
%!   blocks{i} = randn (3, 4);
%! end
%! blocks{1,3} = zeros (3, 4);
%! out = call_module (blocks, randn (3, 5), randn (4, 2), 1e-3);
%! for k = 1:6
%!   assert (iscell (out{k}));
%!   assert (size (out{k}), [2 3]);
%! end
%! assert (class (out{7}), 'double');
%! assert (size (out{7}), [1 1]);
%! m = zeros (2, 3);
%! for i = 1:6
%!   m(i) = numel (out{2}{i});
%!   assert (class (out{1}{i}), 'double');
%!   assert (size (out{1}{i}), [3 4]);
%!   if m(i) == 0
%!     assert (out{1}{i}, zeros (3, 4));
%!     for k = 2:6
%!       assert (isempty (out{k}{i}));
%!     end
%!     continue;
%!   end
%!   assert (size (out{2}{i}), [m(i) 1]);
%!   assert (size (out{3}{i}), [m(i) 1]);
%!   assert (size (out{4}{i}), [12 m(i)]);
%!   assert (size (out{5}{i}), [m(i) 1]);
%!   assert (size (out{6}{i}), [12 m(i)]);
%!   for k = 2:6
%!     assert (class (out{k}{i}), 'double');
%!     assert (isreal (out{k}{i}) && ~issparse (out{k}{i}));
%!   end
%! end
%! assert (m(1,3), 0);   % linear index 5
%! assert (all (m([1 2 3 4 6]) > 0));
%! assert (out{7}, sum (m(:)));

%!test
%! % The cell's shape is kept: a column of blocks and a single block, whose
%! % own size sets the block size.
%! out = call_module ({[1 2]; [3 4]; [5 6]}, 1, eye (2), 0);
%! assert (size (out{1}), [3 1]);
%! assert (out{1}, {[1 2]; [3 4]; [5 6]}, 1e-14);
%! out = call_module ({[1 2 3; 4 5 6]}, eye (2), eye (3), 0);
%! assert (size (out{1}), [1 1]);
%! assert (out{1}{1}, [1 2 3; 4 5 6], 1e-14);
%! assert (out{7}, 6);
