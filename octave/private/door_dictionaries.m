function [Dy, Dx, names] = door_dictionaries (caller, spec, rows, cols)
%DOOR_DICTIONARIES  The rows' and the columns' dictionary a toolbox function was given.
%   [DY, DX, NAMES] = DOOR_DICTIONARIES (CALLER, SPEC, ROWS, COLS) reads SPEC
%   as every toolbox function that takes a dictionary reads it:
%     'DESCRIPTION'        one description string (TILEVISTA_DICTIONARY) for
%                          both directions, built for ROWS along Dy and for
%                          COLS along Dx;
%     'ROWS/COLUMNS'       two descriptions around a '/': one each;
%     a matrix             the dictionary of both directions;
%     {DY, DX}             one each, each a description or a matrix.
%   NAMES is a 1 x 2 cell: the normalised descriptions, or 'matrix N x K'.
%   Descriptions need TILEVISTA_Mex.oct's tilevista_dictionary (Octave):
%   without it a description raises TILEVISTA:moduleMissing; a pair that is
%   neither raises TILEVISTA:dictionaryPair. CALLER names the public
%   function in the messages.

  if iscell (spec)
    if numel (spec) ~= 2
      error ('TILEVISTA:dictionaryPair', ...
             '%s: a dictionary pair is a cell {DY, DX} of two; it has %d', caller, numel (spec));
    end
    pair = spec;
  elseif ischar (spec) && any (spec == '/')
    at = find (spec == '/');
    if numel (at) > 1
      error ('TILEVISTA:dictionaryPair', ...
             '%s: a dictionary pair is written ''ROWS/COLUMNS'', with one ''/''; it is ''%s''', ...
             caller, spec);
    end
    pair = {spec(1:at-1), spec(at+1:end)};
  else
    pair = {spec, spec};
  end
  [Dy, names{1}] = direction (caller, pair{1}, rows);
  [Dx, names{2}] = direction (caller, pair{2}, cols);
end

function [D, name] = direction (caller, spec, n)
  if ~ischar (spec)
    D = spec;
    name = sprintf ('matrix %d x %d', rows (D), columns (D));
    return;
  end
  if exist ('tilevista_dictionary') ~= 3
    error ('TILEVISTA:moduleMissing', ...
           ['%s: description strings are built by TILEVISTA_Mex.oct''s tilevista_dictionary, ' ...
            'which is not on the path (under MATLAB give matrices)'], caller);
  end
  [D, info] = tilevista_dictionary (spec, n);
  name = info.description;
end
