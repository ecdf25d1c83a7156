function D = tilevista_cosine_dictionary(n, K, varargin)
%TILEVISTA_COSINE_DICTIONARY  Redundant cosine dictionary with unit-norm atoms.
%   D = TILEVISTA_COSINE_DICTIONARY(N, K) returns an N x K real double matrix
%   whose columns are sampled cosines of K equally spaced frequencies,
%
%     D(r, k) = cos(pi * (r - 1/2) * (k - 1) / K),   r = 1..N, k = 1..K,
%
%   each column scaled to unit Euclidean norm. K defaults to N.
%
%   With K = N this is the orthonormal DCT-II basis. With K > N the
%   frequencies (0:K-1)*pi/K sample [0, pi) more finely than the basis does,
%   giving an overcomplete (redundant) dictionary that contains every
%   frequency of the basis whenever K is a multiple of N. With K < N only the
%   lowest K frequencies of [0, pi) are present, K/N apart.
%
%   Use one dictionary for the block rows (Dy, N = block rows) and one for
%   the block columns (Dx, N = block columns) of TILEVISTA_Mex.
%
%   Example:
%     Dy = tilevista_cosine_dictionary(8, 16);   % 8 x 16, twice redundant
%
%   Errors (ERR.identifier; cause, then cure):
%     TILEVISTA:argumentCount  no input, or more than 2.
%     TILEVISTA:atomLength     N is not a positive whole number: give the
%                              block side along this direction, e.g. 8.
%     TILEVISTA:cosineAtoms    K is not a positive whole number: give the
%                              number of atoms, e.g. 16 for twice redundant.
%
%   See also TILEVISTA_COMBINE_DICTIONARIES, TILEVISTA_MEX.

  argument_count ('tilevista_cosine_dictionary', nargin, 1, 2);
  if nargin < 2
    K = n;
  end
  checkCount (n, 'N', 'TILEVISTA:atomLength');
  checkCount (K, 'K', 'TILEVISTA:cosineAtoms');
  r = (0:n-1)' + 0.5;
  D = cos (pi * r * (0:K-1) / K);
  D = D ./ sqrt (sum (D .^ 2, 1));
end

function checkCount (value, name, identifier)
  if ~isnumeric (value) || ~isscalar (value) || ~isreal (value) || ~isfinite (value) ...
      || value < 1 || value ~= fix (value)
    error (identifier, 'tilevista_cosine_dictionary: %s must be a positive integer', name);
  end
end

%!test
%! % Every atom has unit norm, for square, redundant and short dictionaries.
%! for nk = [8 8; 8 16; 5 13; 6 3; 1 4]'
%!   D = tilevista_cosine_dictionary (nk(1), nk(2));
%!   assert (size (D), nk');
%!   assert (class (D), 'double');
%!   assert (sqrt (sum (D .^ 2, 1)), ones (1, nk(2)), 1e-14);
%! end

%!test
%! % K = N: orthonormal basis, D'*D = I.
%! D = tilevista_cosine_dictionary (8);
%! assert (D' * D, eye (8), 1e-14);
%! % The first atom is constant.
%! assert (D(:,1), ones (8, 1) / sqrt (8), 1e-15);

%!test
%! % K = 2N: atom 2k-1 of the redundant set is atom k of the basis.
%! B = tilevista_cosine_dictionary (8, 8);
%! D = tilevista_cosine_dictionary (8, 16);
%! assert (D(:, 1:2:end), B, 1e-14);
%! % The atoms span the whole space.
%! assert (rank (D), 8);

%!error <N must be a positive integer> tilevista_cosine_dictionary (0, 4)
%!error <K must be a positive integer> tilevista_cosine_dictionary (4, 2.5)
%!error <N must be a positive integer> tilevista_cosine_dictionary ([2 3], 4)
