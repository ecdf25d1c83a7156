function ratio = tilevista_sparsity_ratio(pixels, atoms, varargin)
%TILEVISTA_SPARSITY_RATIO  Pixels per atom of an approximation.
%   RATIO = TILEVISTA_SPARSITY_RATIO(PIXELS, ATOMS) returns PIXELS / ATOMS,
%   the number of pixel values represented per chosen atom; larger means a
%   sparser approximation. PIXELS is usually numel of the image (all
%   channels), ATOMS the total number of atoms, output 7 of TILEVISTA_Mex.
%   RATIO is Inf when ATOMS is 0.
%
%   Example:
%     [~,~,~,~,~,~,total] = TILEVISTA_Mex(blocks, Dy, Dx, tol);
%     r = tilevista_sparsity_ratio(numel(img), total);
%
%   Errors (ERR.identifier; cause, then cure):
%     TILEVISTA:argumentCount  not exactly 2 inputs.
%     TILEVISTA:pixelCount     PIXELS is not a non-negative real scalar:
%                              pass numel (img).
%     TILEVISTA:atomTotal      ATOMS is not a non-negative real scalar:
%                              pass output 7 of TILEVISTA_Mex.
%
%   See also TILEVISTA_MEX.

  argument_count ('tilevista_sparsity_ratio', nargin, 2, 2);
  if ~isnumeric (pixels) || ~isscalar (pixels) || ~isreal (pixels) || ~(pixels >= 0)
    error ('TILEVISTA:pixelCount', 'tilevista_sparsity_ratio: PIXELS must be a non-negative scalar');
  end
  if ~isnumeric (atoms) || ~isscalar (atoms) || ~isreal (atoms) || ~(atoms >= 0)
    error ('TILEVISTA:atomTotal', 'tilevista_sparsity_ratio: ATOMS must be a non-negative scalar');
  end
  ratio = double (pixels) / double (atoms);
end

%!assert (tilevista_sparsity_ratio (262144, 65536), 4)
%!assert (tilevista_sparsity_ratio (64, 0), Inf)
%!assert (tilevista_sparsity_ratio (int32 (10), 4), 2.5)
%!error <ATOMS must be> tilevista_sparsity_ratio (10, -1)
%!error <PIXELS must be> tilevista_sparsity_ratio ([1 2], 1)
