function D = tilevista_combine_dictionaries(varargin)
%TILEVISTA_COMBINE_DICTIONARIES  Join dictionaries for one block direction.
%   D = TILEVISTA_COMBINE_DICTIONARIES(A, B, ...) concatenates the atoms
%   (columns) of two or more dictionaries with the same number of rows:
%   D = [A, B, ...]. Every argument must be a non-empty real full double
%   matrix, as TILEVISTA_Mex requires of a dictionary, or (in Octave, with
%   TILEVISTA_Mex.oct on the path) a description string such as
%   'legendre:8+haar', built by TILEVISTA_DICTIONARY for the rows of the
%   matrices given. Nothing is left out of matrices as a repeat.
%
%   The atoms are used as given: TILEVISTA_Mex does not divide scores by the
%   atoms' norms, so combine dictionaries whose atoms have comparable norms
%   (for example unit norms, as below) unless a weighting is intended.
%
%   Example: cosines plus the identity basis (single pixels) for 8-row blocks
%     Dy = tilevista_combine_dictionaries(tilevista_cosine_dictionary(8, 16), eye(8));
%     Dy = tilevista_combine_dictionaries(myAtoms, 'cosine:16+haar');  % Octave
%
%   Errors (ERR.identifier; cause, then cure):
%     TILEVISTA:dictionaryCount   fewer than two dictionaries: one needs no
%                                 joining, pass it to TILEVISTA_Mex as it is.
%     TILEVISTA:dictionary        an argument is not a non-empty real full
%                                 double matrix (single, integer, sparse,
%                                 complex, empty): double (full (A)).
%     TILEVISTA:dictionaryLength  the dictionaries' atoms differ in length
%                                 (rows): every atom of one direction has
%                                 the block's side along it; or only
%                                 descriptions, which need a matrix to give
%                                 the length: join them in one description.
%     TILEVISTA:moduleMissing     a description without tilevista_dictionary
%                                 (MATLAB): give matrices.
%   and TILEVISTA_DICTIONARY's for a description it refuses.
%
%   See also TILEVISTA_COSINE_DICTIONARY, TILEVISTA_MEX.

  if nargin < 2
    error ('TILEVISTA:dictionaryCount', ...
           'tilevista_combine_dictionaries: at least two dictionaries are needed');
  end
  described = cellfun (@ischar, varargin);
  matrices = find (~described);
  for k = matrices
    A = varargin{k};
    if ~isa (A, 'double') || ~isreal (A) || issparse (A) || isempty (A) || ~ismatrix (A)
      error ('TILEVISTA:dictionary', ...
             'tilevista_combine_dictionaries: dictionary %d must be a non-empty real full double matrix', k);
    end
  end
  % The matrices' rows, the first one's first: the atoms' length.
  lengths = cellfun (@(A) size (A, 1), varargin(matrices));
  why = 'descriptions alone give no atom length: join them in one description';
  if ~isempty (matrices)
    differ = find (lengths ~= lengths(1), 1);
    why = sprintf ('dictionary %d has %d rows, dictionary %d has %d', matrices(differ), ...
                   lengths(differ), matrices(1), lengths(1));
  end
  if isempty (matrices) || ~isempty (differ)
    error ('TILEVISTA:dictionaryLength', 'tilevista_combine_dictionaries: %s', why);
  end
  for k = find (described)
    varargin{k} = described_dictionary ('tilevista_combine_dictionaries', varargin{k}, ...
                                        lengths(1));
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
