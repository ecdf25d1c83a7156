function [Dy, Dx, names] = door_dictionaries (caller, given, rows, cols)
%DOOR_DICTIONARIES  The rows' and the columns' dictionary a toolbox function was given.
%   [DY, DX, NAMES] = DOOR_DICTIONARIES (CALLER, GIVEN, ROWS, COLS) reads GIVEN
%   as every toolbox function that takes a dictionary reads it:
%     'DESCRIPTION'        one description string (TILEVISTA_DICTIONARY) for
%                          both directions, built for ROWS along Dy and for
%                          COLS along Dx;
%     'ROWS/COLUMNS'       two descriptions around a '/': one each;
%     a matrix             the dictionary of both directions;
%     {DY, DX}             one each, each a description or a matrix.
%   NAMES is a 1 x 2 cell: the normalised descriptions, or 'matrix N x K'.
%   A cell of other than two, or a string with more than one '/', raises
%   TILEVISTA:dictionaryPair; a description, DESCRIBED_DICTIONARY's errors.
%   CALLER names the public function in the messages.

  pair = {given, given};
  if ischar (given) && any (given == '/')
    pair = strsplit (given, '/');
  elseif iscell (given)
    pair = given;
  end
  if numel (pair) ~= 2
    error ('TILEVISTA:dictionaryPair', ...
           ['%s: a dictionary pair is a cell {DY, DX} of two, or a string ''ROWS/COLUMNS'' ' ...
            'with one ''/''; this one has %d parts'], caller, numel (pair));
  end
  sides = [rows, cols];
  D = cell (1, 2);
  names = cell (1, 2);
  for k = 1:2
    if ischar (pair{k})
      [D{k}, info] = described_dictionary (caller, pair{k}, sides(k));
      names{k} = info.description;
    else
      D{k} = pair{k};
      names{k} = sprintf ('matrix %d x %d', size (D{k}, 1), size (D{k}, 2));
    end
  end
  [Dy, Dx] = D{:};
end
