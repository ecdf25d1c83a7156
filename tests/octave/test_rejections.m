% Every rejection of the module as GNU Octave reports it: the host puts the
% module's name before the text and drops a final line feed. Console detail
% lines printed before an error are checked too, and every rejection is
% found in the Errors of help TILEVISTA_Mex.

%!function [message, text] = rejection (nout, varargin)
%!  % Calls the module with nout outputs; returns the error message ('' when
%!  % the call succeeded) and the console text. A rejection must be listed in
%!  % help TILEVISTA_Mex, under its identifier when the host reports one.
%!  message = '';
%!  id = '';
%!  out = cell (1, nout);
%!  text = evalc ('try, [out{1:nout}] = TILEVISTA_Mex (varargin{:}); catch err, message = err.message; id = err.identifier; end');
%!  if ! isempty (message)
%!    ids = documented_as (message, text);
%!    assert (! isempty (ids), sprintf ('not in help TILEVISTA_Mex: "%s" after "%s"', message, text));
%!    assert (isempty (id) || any (strcmp (id, ids)), sprintf ('%s is listed as %s', id, strjoin (ids, ', ')));
%!  end
%!endfunction

%!function ids = documented_as (message, console)
%!  % The identifiers under which help TILEVISTA_Mex lists a message of the
%!  % host ("TILEVISTA_Mex: " and the text) with the console text printed
%!  % before it. Each entry of its Errors is an identifier line, then the
%!  % texts in double quotes, the console lines as 'after the console line
%!  % "..."'; %i, %d, %g, %s and ... stand for any value.
%!  help = evalc ('help TILEVISTA_Mex');
%!  errors = regexp (help, '\n\s*Errors\..*?\n\s*Memory\.', 'match', 'once');
%!  [names, bodies] = regexp (errors, '^\s*(TILEVISTA:\w+)\s*$', 'tokens', 'split', 'lineanchors');
%!  text = regexprep (message, '^TILEVISTA_Mex: ', '');
%!  line = strtrim (strsplit (console, "\n"){1});
%!  fits = @(value, templates) any (cellfun (@(t) ! isempty (regexp (value, t, 'once')), templates));
%!  ids = {};
%!  for k = 1:numel (names)
%!    messages = pattern (regexp (bodies{k + 1}, '^\s*"([^\n]*)"\s*$', 'tokens', 'lineanchors'));
%!    consoles = pattern (regexp (bodies{k + 1}, '^\s*after the console line "([^\n]*)"\s*$', 'tokens', 'lineanchors'));
%!    if fits (text, messages) && ((isempty (consoles) && isempty (console)) || fits (line, consoles))
%!      ids{end + 1} = names{k}{1};
%!    end
%!  end
%!endfunction

%!function patterns = pattern (tokens)
%!  % The documented texts as anchored regular expressions.
%!  patterns = cell (size (tokens));
%!  for k = 1:numel (tokens)
%!    p = regexprep (tokens{k}{1}, '([\\^$.|?*+()\[\]{}])', '\\$1');
%!    p = strrep (p, '\.\.\.', '.*');
%!    p = regexprep (p, '%[idg]', '[-+0-9.e]+');
%!    patterns{k} = ['^' strrep(p, '%s', '.*') '$'];
%!  end
%!endfunction

%!test
%! % The gateway's checks, in their order: each row fails the check it names
%! % and, where it can, also a later one, so the earlier check must win.
%! B = {[1;2], [3;4]};           % 2 x 1 blocks
%! I = eye (2);
%! cases = {
%!  'Wrong number of input arguments', '', 7, {B, I};
%!  'Wrong number of input arguments', '', 7, {B, I, 1, [], [], []};
%!  'Wrong number of input arguments', '', 0, {B};
%!  'Input must be double, real, full,and nonstring', '', 7, {{}, I * 1i, 1};
%!  'Input must be double, real, full,and nonstring', '', 7, {B, sparse(I), 1};
%!  'Input must be double, real, full,and nonstring', '', 7, {B, I, 'a'};
%!  'Input must be double, real, full,and nonstring', '', 7, {B, I, 1, single(2)};
%!  'Input must be double, real, full,and nonstring', '', 7, {B, I, 1, 1, int32(2)};
%!  'Input must be double, real, full,and nonstring', '', 7, {B, I, 1, ''};
%!  'Input must be double, real, full,and nonstring', '', 7, {B, true(2), 1};
%!  'The image matrix is empty!!', '', 7, {{}, I, 1};
%!  'The image matrix is empty!!', '', 7, {[], I, 1};
%!  'Must Enter a Cell Block', '', 7, {[1 2; 3 4], I, 1};
%!  'Must Enter a Cell Block', '', 7, {struct('a', 1), I, 1};
%!  'Error!!', "The atoms in the dictionary dictionary Y are of length 3 and should be of length 2\n", 7, {B, eye(3), [1 2], [1 2]};
%!  'Error!!', "The atoms in the dictionary dictionary Y are of length 2 and should be of length 2\n", 7, {B, zeros(2, 0), 1};
%!  'Error!!', "The atoms in the dictionary dictionary Y are of length 0 and should be of length 2\n", 7, {B, [], 1};
%!  'Error!!', "The atoms in the dictionary dictionary X are of length 2 and should be of length 1\n", 7, {B, I, [1; 1], [1 2]};
%!  'Error!!', "The atoms in the dictionary dictionary X are of length 1 and should be of length 1\n", 7, {B, I, zeros(1, 0)};
%!  'One dictionary should have more than 1 atom and the other should have at least one!!', "Dictionary Y has 1 atoms and dictionary X has 1 atoms\n!", 7, {B, [1; 1], 1, [1 2]};
%!  'The tolerance should be a scalar', '', 7, {B, I, 1, [1 2], [1 2]};
%!  'The tolerance should be a scalar', '', 6, {B, I, 1, [1; 2]};
%!  'The maximum number of atoms should be a scalar', '', 6, {B, I, 1, 1, [1 2]};
%!  'Wrong number of output arguments!', '', 6, {B, I, 1};
%!  'Wrong number of output arguments!', '', 0, {B, I, 1};
%! };
%! for k = 1:rows (cases)
%!   [message, text] = rejection (cases{k, 3}, cases{k, 4}{:});
%!   assert (strcmp (message, ['TILEVISTA_Mex: ' cases{k, 1}]), sprintf ('case %d: message "%s"', k, message));
%!   assert (strcmp (text, cases{k, 2}), sprintf ('case %d: console "%s"', k, text));
%! end

%!test
%! % Rejections by the pursuit: its console line, then the early-exit error.
%! % Two 2 x 1 blocks with Dy = I, Dx = 1 hold cap * Q = 2 * 2 = 4 atoms.
%! B = {[1;2], [3;4]};
%! early = 'TILEVISTA_Mex: Error TILEVISTA exited early see message above!!';
%! [message, text] = rejection (7, B, eye (2), 1, 1, 5);
%! assert (message, early);
%! assert (text, "The minimum number of atoms 5 must be greater than 0 and less than 4!\n");
%! [message, text] = rejection (7, B, eye (2), 1, 1, -2);
%! assert (message, early);
%! assert (text, "The minimum number of atoms -2 must be greater than 0 and less than 4!\n");
%! [message, text] = rejection (7, B, eye (2), 1, -0.25);
%! assert (message, early);
%! assert (text, "Tol is -0.25 is should be positive!\n");
%! % The budget is checked before tol.
%! [message, text] = rejection (7, B, eye (2), 1, -1, 9);
%! assert (text, "The minimum number of atoms 9 must be greater than 0 and less than 4!\n");
%! % Exactly the capacity is accepted, and so are more than seven outputs.
%! [message, text] = rejection (7, B, eye (2), 1, 0, 4);
%! assert (message, '');
%! [message, text] = rejection (8, B, eye (2), 1);
%! assert (message, '');

%!test
%! % Blocks that are not real full double matrices of the size of the
%! % others are refused, naming the block's 1-based position (the size
%! % comes from block 2, or from the only block).
%! B = {[1;2], [3;4], [5;6]};
%! bad = {
%!   3, [1;2;3],        '2 x 1; it is 3 x 1';
%!   1, [1 2],          '2 x 1; it is 1 x 2';
%!   3, 'ab',           'it is a character array';
%!   3, sparse([1;2]), 'it is a sparse matrix';
%!   1, [1i;2],         'it is complex';
%!   3, single([1;2]), 'it is of class single';
%!   3, int8([1;2]),   'it is of class int8';
%!   3, [],             '2 x 1; it is 0 x 0';
%!   1, {[1;2]},        'it is a cell array';
%! };
%! for k = 1:rows (bad)
%!   blocks = B;
%!   blocks{bad{k, 1}} = bad{k, 2};
%!   message = rejection (7, blocks, eye (2), 1);
%!   expected = sprintf ('TILEVISTA_Mex: Block %d must be a real, full double matrix of 2 x 1; ', bad{k, 1});
%!   assert (strncmp (message, expected, numel (expected)), sprintf ('case %d: %s', k, message));
%!   assert (! isempty (strfind (message, bad{k, 3})), sprintf ('case %d: %s', k, message));
%! end

%!test
%! % Sizes that do not fit 32-bit signed counts are refused before anything
%! % is allocated: 65537 x 65537 atom pairs for 1 x 1 blocks.
%! message = rejection (7, {1, 2}, ones (1, 65537), ones (1, 65537));
%! assert (strncmp (message, 'TILEVISTA_Mex: The dictionaries are too large', 45), message);
%! message = rejection (7, {zeros(256)}, zeros (256), zeros (256));
%! assert (strncmp (message, 'TILEVISTA_Mex: The blocks are too large for their dictionaries', 62), message);

%!test
%! % A thread count the module cannot use ends the call, naming it.
%! saved = getenv ('TILEVISTA_THREADS');
%! unwind_protect
%!   setenv ('TILEVISTA_THREADS', 'many');
%!   message = rejection (7, {[1;2], [3;4]}, eye (2), 1);
%!   assert (strncmp (message, 'TILEVISTA_Mex: TILEVISTA_THREADS is ''many'': it must be', 54), message);
%! unwind_protect_cleanup
%!   setenv ('TILEVISTA_THREADS', saved);
%! end_unwind_protect

%!test
%! % The type check's message does not say which input it is; its identifier
%! % does.
%! args = {{[1;2], [3;4]}, eye(2), 1, 1, 0};
%! ids = {'TILEVISTA:dictionaryYType', 'TILEVISTA:dictionaryXType', 'TILEVISTA:tolType', ...
%!        'TILEVISTA:maxAtomsType'};
%! for k = 1:4
%!   bad = args;
%!   bad{k + 1} = single (bad{k + 1});
%!   out = cell (1, 7);
%!   try
%!     evalc ('[out{:}] = TILEVISTA_Mex (bad{:});');
%!     error ('accepted');
%!   catch err
%!     assert (err.identifier, ids{k});
%!   end
%! end
