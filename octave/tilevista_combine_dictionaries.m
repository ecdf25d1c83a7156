function D = tilevista_combine_dictionaries(varargin)
%TILEVISTA_COMBINE_DICTIONARIES  Join dictionaries for one block direction.
%   D = TILEVISTA_COMBINE_DICTIONARIES(A, B, ...) concatenates the atoms
%   (columns) of two or more dictionaries with the same number of rows:
%   D = [A, B, ...]. Every argument must be a non-empty real full double
%   matrix, as TILEVISTA_Mex requires of a dictionary.
%
%   The atoms are used as given: TILEVISTA_Mex does not divide scores by the
%   atoms' norms, so combine dictionaries whose atoms have comparable norms
%   (for example unit norms, as below) unless a weighting is intended.
%
%   Example: cosines plus the identity basis (single pixels) for 8-row blocks
%     Dy = tilevista_combine_dictionaries(tilevista_cosine_dictionary(8, 16), eye(8));
%
%   Errors (ERR.identifier; cause, then cure):
%     TILEVISTA:dictionaryCount   fewer than two dictionaries: one needs no
%                                 joining, pass it to TILEVISTA_Mex as it is.
%     TILEVISTA:dictionary        an argument is not a non-empty real full
%                                 double matrix (single, integer, sparse,
%                                 complex, empty): double (full (A)).
%     TILEVISTA:dictionaryLength  the dictionaries' atoms differ in length
%                                 (rows): every atom of one direction has
%                                 the block's side along it.
%
%   See also TILEVISTA_COSINE_DICTIONARY, TILEVISTA_MEX.

  if nargin < 2
    error ('TILEVISTA:dictionaryCount', ...
           'tilevista_combine_dictionaries: at least two dictionaries are needed');
  end
  for k = 1:nargin
    A = varargin{k};
    if ~isa (A, 'double') || ~isreal (A) || issparse (A) || isempty (A) || ~ismatrix (A)
      error ('TILEVISTA:dictionary', ...
             'tilevista_combine_dictionaries: dictionary %d must be a non-empty real full double matrix', k);
    end
    if size (A, 1) ~= size (varargin{1}, 1)
      error ('TILEVISTA:dictionaryLength', ...
             'tilevista_combine_dictionaries: dictionary %d has %d rows, dictionary 1 has %d', ...
             k, size (A, 1), size (varargin{1}, 1));
    end
  end
  D = [varargin{:}];
end

%!test
%! A = tilevista_cosine_dictionary (4, 6);
%! D = tilevista_combine_dictionaries (A, eye (4));
%! assert (size (D), [4 10]);
%! assert (D(:, 1:6), A);
%! assert (D(:, 7:10), eye (4));

%!test
%! % More than two, in the order given.
%! D = tilevista_combine_dictionaries ([1; 2], [3 4; 5 6], [7; 8]);
%! assert (D, [1 3 4 7; 2 5 6 8]);

%!error <dictionary 2 has 3 rows, dictionary 1 has 4> tilevista_combine_dictionaries (eye (4), eye (3))
%!error <dictionary 2 must be a non-empty real full double matrix> tilevista_combine_dictionaries (eye (2), single (eye (2)))
%!error <dictionary 1 must be> tilevista_combine_dictionaries (sparse (eye (2)), eye (2))
%!error <dictionary 2 must be> tilevista_combine_dictionaries (eye (2), [1i; 1])
%!error <dictionary 2 must be> tilevista_combine_dictionaries (eye (2), zeros (2, 0))
%!error <at least two> tilevista_combine_dictionaries (eye (2))
