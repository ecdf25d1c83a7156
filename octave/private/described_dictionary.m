function [D, info] = described_dictionary (caller, description, n)
%DESCRIBED_DICTIONARY  A dictionary description built for a toolbox function.
%   [D, INFO] = DESCRIBED_DICTIONARY (CALLER, DESCRIPTION, N) is
%   TILEVISTA_DICTIONARY (DESCRIPTION, N) for the public function CALLER: its
%   refusals (TILEVISTA:dictionary and the others) carry CALLER's name instead, and without the function file
%   that builds descriptions (MATLAB, or TILEVISTA_Mex.oct not on the path)
%   it raises TILEVISTA:moduleMissing.

  if exist ('tilevista_dictionary') ~= 3
    module_missing (caller, 'descriptions');
  end
  try
    [D, info] = tilevista_dictionary (description, n);
  catch err
    if ~strncmp (err.identifier, 'TILEVISTA:', 10)
      rethrow (err);
    end
    identifier = err.identifier;
    error (identifier, '%s: %s', caller, regexprep (err.message, '^tilevista_dictionary: ', ''));
  end
end
