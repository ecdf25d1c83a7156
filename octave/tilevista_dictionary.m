function [D, info] = tilevista_dictionary(varargin)
%TILEVISTA_DICTIONARY  Dictionary of atoms of length N from a description string.
%   D = TILEVISTA_DICTIONARY(DESCRIPTION, N) builds the 1-D dictionary that
%   the description string DESCRIPTION names, for atoms of length N (the
%   block's rows for Dy, its columns for Dx): an N x K double matrix, one
%   unit-norm atom per column. DESCRIPTION is one or more family terms joined by '+':
%
%     cosine:K        K sampled cosines (TILEVISTA_COSINE_DICTIONARY's bits)
%     sine:K          K sampled sines of the same construction
%     legendre:K      discrete orthonormal polynomials of degree 0..K-1, K <= N
%     chebyshev:K     Chebyshev polynomials T_0..T_{K-1}, normalised, K <= N
%     haar            the periodised Haar wavelet basis
%     daubechies:P    the periodised Daubechies basis, P = 1..4 vanishing moments
%     cdf97           the synthesis vectors of the periodised CDF 9/7 wavelets
%     delta           the identity (single samples)
%     random:K:seed   K Gaussian columns of the toolbox's own generator
%
%   Spaces around names, numbers and separators are ignored. An atom of a
%   later term that repeats a kept atom of an earlier one (|cos angle| >
%   1 - 1e-12: the constant vector of cosines, polynomials and Haar) is left
%   out. The Python package's tilevista.dictionary builds the same bits from
%   the same description. docs/dictionaries.md describes every family.
%
%   [D, INFO] = TILEVISTA_DICTIONARY(DESCRIPTION, N) also returns a struct:
%     description  DESCRIPTION normalised (no blanks, shortest numbers)
%     atoms        K, the columns of D
%     family       K x 1 cell: each column's family, e.g. 'cosine'
%     parameter    K x 1 cell: its term's parameters, e.g. '16', '32:7', ''
%     number       K x 1: its place in its term's own list of atoms (1-based)
%     dropped      the atoms left out as repeats, one row each: fields
%                  family, parameter, number as above, and repeats, the
%                  column of D each one repeats
%
%   Examples:
%     D = tilevista_dictionary ('cosine:16+legendre:8+haar+delta', 8);
%     size (D)                       % 8 x 38: legendre's and haar's constants left out
%     [D, info] = tilevista_dictionary ('daubechies:2', 16);
%     norm (D' * D - eye (16))       % an orthonormal basis: about 1e-15
%     % The same description for rows and columns of 8 x 8 blocks:
%     D = tilevista_dictionary ('cosine:16+delta', 8);
%     r = tilevista_demo ('', 8, 40, '', D);
%
%   Errors (ERR.identifier; cause, then cure):
%     TILEVISTA:argumentCount  not 2 inputs.
%     TILEVISTA:dictionary     DESCRIPTION is no string, N is no whole
%                              number, or the description cannot be built
%                              (unknown family, bad parameter, N outside
%                              1..1024, too many atoms): the message says
%                              which and lists every family with its syntax.
%     TILEVISTA:outOfMemory    memory ran out while the dictionary was built.
%     TILEVISTA:moduleMissing  TILEVISTA_Mex.oct is not on the path (this
%                              help file ran instead), or this is MATLAB,
%                              which has no function file: give matrices.
%
%   TILEVISTA_DICTIONARY is a function of the compiled function file
%   TILEVISTA_Mex.oct (Octave only); this file holds its help.
%
%   See also TILEVISTA_COSINE_DICTIONARY, TILEVISTA_COMBINE_DICTIONARIES, TILEVISTA_MEX.

  if exist ('OCTAVE_VERSION', 'builtin') == 0
    module_missing ('tilevista_dictionary', 'descriptions');
  end
  module_missing ('tilevista_dictionary');
end
