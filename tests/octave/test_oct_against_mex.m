% The two Octave builds of the module side by side in one session: the
% function file TILEVISTA_Mex.oct (build/octave, the one on the path) and the
% MEX file TILEVISTA_Mex.mex (build/octave-mex). The same calls, well-formed
% and hostile, must give the same outputs bit for bit (classes and sizes
% included), the same console text and the same error message and identifier.

%!function dirs = module_dirs ()
%!  % The folders of the two builds, from the module on the path (the .oct).
%!  octFile = which ('TILEVISTA_Mex');
%!  assert (regexp (octFile, '\.oct$', 'once') > 0, octFile);
%!  dirs.oct = fileparts (octFile);
%!  dirs.mex = fullfile (fileparts (dirs.oct), 'octave-mex');
%!  assert (isfile (fullfile (dirs.mex, 'TILEVISTA_Mex.mex')), ...
%!          ['no TILEVISTA_Mex.mex in ' dirs.mex ' (make octave builds it)']);
%!endfunction

%!function use_module (dir, extension)
%!  % Puts dir first on the path and checks that TILEVISTA_Mex now resolves
%!  % to the file of that extension there. Octave checks where a loaded
%!  % function comes from only between prompts, so it is cleared first, with
%!  % the other functions of the .oct, which keep the file loaded.
%!  addpath (dir);
%!  clear -f TILEVISTA_Mex tilevista_pursuit tilevista_release_memory tilevista_dictionary tilevista_encode tilevista_decode
%!  assert (which ('TILEVISTA_Mex'), fullfile (dir, ['TILEVISTA_Mex' extension]));
%!endfunction

%!function r = run_call (nout, args)
%!  % One call with nout outputs: the outputs, the console text, the error.
%!  out = cell (1, nout);
%!  message = '';
%!  identifier = '';
%!  if nout == 0
%!    text = evalc ('try, TILEVISTA_Mex (args{:}); catch err, message = err.message; identifier = err.identifier; end');
%!  else
%!    text = evalc ('try, [out{1:nout}] = TILEVISTA_Mex (args{:}); catch err, message = err.message; identifier = err.identifier; end');
%!  end
%!  r = struct ('out', {out}, 'text', text, 'message', message, 'identifier', identifier);
%!endfunction

%!function same = identical (a, b)
%!  % Same class, size, storage and bits, cells element by element; an output
%!  % slot the module left empty is undefined in both.
%!  if ! exist ('a', 'var') || ! exist ('b', 'var')
%!    same = ! exist ('a', 'var') && ! exist ('b', 'var');
%!    return;
%!  end
%!  same = strcmp (class (a), class (b)) && isequal (size (a), size (b)) ...
%!         && issparse (a) == issparse (b) && iscomplex (a) == iscomplex (b);
%!  if ! same
%!    return;
%!  elseif iscell (a)
%!    same = all (cellfun (@identical, a(:), b(:)));
%!  elseif isa (a, 'double') && ! issparse (a) && isreal (a)
%!    same = isequal (typecast (a(:), 'uint64'), typecast (b(:), 'uint64'));
%!  else
%!    same = isequaln (a, b);
%!  end
%!endfunction

%!function compare_calls (calls)
%!  % Runs every call {nout, args} through the .mex and then the .oct and
%!  % compares them; the .oct is first on the path again afterwards.
%!  dirs = module_dirs ();
%!  results = cell (numel (calls), 2);
%!  unwind_protect
%!    use_module (dirs.mex, '.mex');
%!    for k = 1:numel (calls)
%!      results{k, 1} = run_call (calls{k}{:});
%!    end
%!  unwind_protect_cleanup
%!    use_module (dirs.oct, '.oct');
%!  end_unwind_protect
%!  for k = 1:numel (calls)
%!    results{k, 2} = run_call (calls{k}{:});
%!  end
%!  for k = 1:numel (calls)
%!    assert_same_call (results{k, :}, sprintf ('call %d (%d outputs, %d inputs)', ...
%!                                               k, calls{k}{1}, numel (calls{k}{2})));
%!  end
%!endfunction

%!function assert_same_call (m, o, where)
%!  % One call's result through the .mex (m) and through the .oct (o) agree in
%!  % everything a caller sees.
%!  assert (o.message, m.message, [where ': message']);
%!  assert (o.identifier, m.identifier, [where ': identifier']);
%!  assert (o.text, m.text, [where ': console']);
%!  for i = 1:numel (m.out)
%!    assert (identical (o.out{i}, m.out{i}), sprintf ('%s: output %d', where, i));
%!  end
%!endfunction

%!test
%! % Switching the path switches the module that runs: the library loaded in
%! % the process is the one the path names.
%! dirs = module_dirs ();
%! loaded = @(file) ! isempty (strfind (fileread ('/proc/self/maps'), file));
%! unwind_protect
%!   for k = 1:2
%!     use_module (dirs.mex, '.mex');
%!     r = run_call (7, {{[3;4], [0;1]}, eye(2), 1});
%!     assert (r.out{7}, 2);
%!     assert (loaded (fullfile (dirs.mex, 'TILEVISTA_Mex.mex')));
%!     assert (! loaded (fullfile (dirs.oct, 'TILEVISTA_Mex.oct')));
%!     use_module (dirs.oct, '.oct');
%!     r = run_call (7, {{[3;4], [0;1]}, eye(2), 1});
%!     assert (r.out{7}, 2);
%!     assert (loaded (fullfile (dirs.oct, 'TILEVISTA_Mex.oct')));
%!     assert (! loaded (fullfile (dirs.mex, 'TILEVISTA_Mex.mex')));
%!   end
%! unwind_protect_cleanup
%!   use_module (dirs.oct, '.oct');
%! end_unwind_protect

%!test
%! % Counts of inputs and outputs, every rejection of the gateway and of the
%! % pursuit, wrong types at every position, malformed blocks.
%! B = {[3;4], [0;1]};
%! I = eye (2);
%! calls = {{7, {}}, {7, {B}}, {7, {B, I}}, {7, {B, I, 1, 6.5, 0, 0}}, {0, {B}}, ...
%!          {8, {B, I, 1}}, {1, {B}}};
%! for nout = 0:8
%!   calls{end+1} = {nout, {B, I, 1}};
%! end
%! bad = {single(I), int8(I), uint16(I), int32(I), int64(I), logical(I), 'ab', ...
%!        I * 1i, complex(I), sparse(I), {I}, struct('a', I), @sin, '', true, ...
%!        sparse(true(2)), uint8(3), 1:2};
%! for k = 1:numel (bad)
%!   calls(end+1:end+5) = {{7, {B, bad{k}, 1}}, {7, {B, I, bad{k}}}, {7, {B, I, 1, bad{k}}}, ...
%!                         {7, {B, I, 1, 6.5, bad{k}}}, {7, {bad{k}, I, 1}}};
%!   calls(end+1:end+2) = {{7, {{bad{k}, [0;1]}, I, 1}}, {7, {{[3;4], [0;1]; [1;1], bad{k}}, I, 1}}};
%! end
%! for blocks = {[], {}, cell(0, 3), zeros(0, 2), struct([]), cell(2, 0), {[]}, {[], []}, ...
%!               {[3;4], {[0;1]}}, {{}}, {[3;4], [1;2;3]}, {[3 4], [0;1]}, {ones(2, 1, 2), [0;1]}, ...
%!               {[3;4], [0;1], 5}, {NaN, 1}}
%!   calls{end+1} = {7, {blocks{1}, I, 1}};
%! end
%! calls(end+1:end+11) = {{7, {B, eye(3), 1}}, {7, {B, zeros(2, 0), 1}}, {7, {B, [], 1}}, ...
%!   {7, {B, I, [1; 1]}}, {7, {B, I, zeros(1, 0)}}, {7, {B, [1; 0], 1}}, {7, {B, I, 1, [1 2]}}, ...
%!   {6, {B, I, 1, [1; 2]}}, {7, {B, I, 1, 1, [1 2]}}, {7, {B, eye(2), 1, 1, 5}}, ...
%!   {7, {B, eye(2), 1, -0.25}}};
%! calls(end+1:end+2) = {{7, {{1, 1}, zeros(1, 65536), zeros(1, 65536)}}, ...
%!   {7, {{zeros(46341, 1)}, zeros(46341, 1), zeros(1, 46341)}}};
%! compare_calls (calls);

%!test
%! % Values: non-finite and extreme blocks, dictionaries, tols and budgets;
%! % degenerate dictionaries; one-pixel blocks; 5000 blocks.
%! B = {[3;4], [0;1]};
%! I = eye (2);
%! calls = {{7, {{[NaN; 1], [0; 1]}, I, 1, 0}}, {7, {{[Inf; 1], [0; 1]}, I, 1, 0}}, ...
%!   {7, {{[-Inf; Inf], [0; 1]}, I, 1, 0}}, {7, {B, [NaN 0; 0 1], 1, 0}}, {7, {B, NaN(2), 1, 0}}, ...
%!   {7, {{realmin / 1024 * [1; 1], [0; 1e-320]}, I, 1, 0}}, {7, {{[realmax; realmax], [0; 1]}, I, 1, 0}}, ...
%!   {7, {{[1e300; -1e300], [1e300; 1]}, I, 1, 0}}, {7, {B, 1e100 * I, 1e-100, 0}}, ...
%!   {7, {B, [1 0; 0 1], 1}}, {7, {B, ones(2, 2, 2) / 2, 1}}, {7, {{5}, [1 2], 1}}, ...
%!   {7, {{1, -2; 0, 0.5}, 1, [1 -1], 0}}, {7, {num2cell(1:5000), [1 2], 1, 0}}};
%! for tol = [NaN, Inf, -0, realmin, realmax, -Inf, -realmin, 0, 1e-300]
%!   calls{end+1} = {7, {B, I, 1, tol}};
%! end
%! for budget = [1, 2, 3.9, 4, -0.5, 0, NaN, Inf, -Inf, 2^32, 2^32 + 1, -2^63, 2^63, 1e30, ...
%!               2^53 + 2, 5, 2^31 - 1, 2^31, -1, -2^31, 2^33 + 5]
%!   calls{end+1} = {7, {B, I, 1, 0, budget}};
%! end
%! rand ('seed', 7);
%! F = {rand(4, 3), rand(4, 3); rand(4, 3), zeros(4, 3)};
%! Dx = orth (rand (3, 3));
%! Dy = orth (rand (4, 4));
%! for Dyk = {zeros(4, 4), [Dy(:, 1:2) zeros(4, 1) Dy(:, 3:4)], [Dy Dy], repmat(Dy(:, 1), 1, 5), ...
%!            Dy(:, 1) * [1 2 3], [Dy(:, 1) Dy(:, 1) + 1e-9 * Dy(:, 2) Dy(:, 3:4)], rand(4, 40)}
%!   calls{end+1} = {7, {F, Dyk{1}, Dx, 0}};
%! end
%! compare_calls (calls);

%!test
%! % Random images of several block and dictionary sizes, and the bundled
%! % image in 8 x 8 blocks to 40 dB, with tol, budget and their defaults.
%! randn ('seed', 5);
%! calls = {};
%! for shape = {[4 4 8 8], [3 5 6 4], [8 8 16 16], [2 6 3 9]}
%!   s = shape{1};
%!   blocks = arrayfun (@(k) 10 * randn (s(1), s(2)) + 3, zeros (3, 4), 'UniformOutput', false);
%!   Dy = tilevista_cosine_dictionary (s(1), s(3));
%!   Dx = tilevista_cosine_dictionary (s(2), s(4));
%!   calls(end+1:end+3) = {{7, {blocks, Dy, Dx}}, {7, {blocks, Dy, Dx, 100, 25}}, ...
%!                         {7, {blocks, Dy, Dx, 0, []}}};
%! end
%! img = double (imread (fullfile (fileparts (which ('tilevista_demo')), '..', 'data', 'camera.png')));
%! blocks = tilevista_blocks (img, 8, 8);
%! D = tilevista_cosine_dictionary (8, 16);
%! calls{end+1} = {7, {blocks, D, D, tilevista_tol_for_psnr(img, 40, 255)}};
%! compare_calls (calls);

%!test
%! % Out of memory: a call whose score table needs 16 GiB in an Octave whose
%! % address space is capped at 4 GB, then the worked call in the same
%! % process; the same text from both builds.
%! dirs = module_dirs ();
%! octave = fullfile (OCTAVE_HOME, 'bin', 'octave-cli');
%! outputs = {};
%! for dir = {dirs.mex, dirs.oct}
%!   script = sprintf (['addpath (''%s''); disp (which (''TILEVISTA_Mex'')); ' ...
%!     'try, [a, b, c, d, e, f, g] = TILEVISTA_Mex ({1, 1}, zeros (1, 46340), zeros (1, 46340)); ' ...
%!     'catch err, disp (err.message); end; ' ...
%!     '[a, b, c, d, e, f, g] = TILEVISTA_Mex ({[3;4], [0;1]}, eye (2), 1); printf (''atoms %%d\\n'', g);'], dir{1});
%!   [status, output] = system (sprintf ('ulimit -v 4000000; "%s" --no-gui --norc --eval "%s" 2>&1', octave, script));
%!   assert (status, 0, output);
%!   outputs{end+1} = strsplit (output, "\n");
%! end
%! assert (regexp (outputs{1}{1}, '\.mex$', 'once') > 0, outputs{1}{1});
%! assert (regexp (outputs{2}{1}, '\.oct$', 'once') > 0, outputs{2}{1});
%! assert (strncmp (outputs{1}{2}, 'TILEVISTA_Mex: Not enough memory for this call:', 47), outputs{1}{2});
%! assert (outputs{2}(2:end), outputs{1}(2:end));

%!test
%! % Out of memory where the gateway's check cannot see it: an address space
%! % 128 MB above what the process uses, and calls whose outputs and working
%! % storage need some 400 MB. Whichever allocation fails, the module's or
%! % the host's, the call ends with a message and the next call works. The
%! % messages are printed after that call: printed at once, with the address
%! % space still nearly spent, Octave's own output may be cut short.
%! dirs = module_dirs ();
%! octave = fullfile (OCTAVE_HOME, 'bin', 'octave-cli');
%! toolbox = fileparts (which ('tilevista_blocks'));
%! setup = ['img = double (imread (fullfile (''' toolbox ''', ''..'', ''data'', ''camera.png''))); ' ...
%!          'b = tilevista_blocks (img, 8, 8); D = tilevista_cosine_dictionary (8, 32); ' ...
%!          'o = cell (1, 7); evalc (''[o{1:7}] = TILEVISTA_Mex (b(1:2), D, D, 0);''); '];
%! known = ['^(TILEVISTA_Mex: Not enough memory for this call: .*|' ...
%!          'TILEVISTA_Mex: failed to allocate \d+ bytes of memory|' ...
%!          'out of memory or dimension too large for Octave''s index type)$'];
%! for dir = {dirs.mex, dirs.oct}
%!   paths = sprintf ('addpath (''%s''); addpath (''%s''); ', toolbox, dir{1});
%!   vmSize = 'printf (''%d\n'', str2double (regexp (fileread (''/proc/self/status''), ''VmSize:\s*(\d+)'', ''tokens'', ''once''){1}));';
%!   [status, output] = system (sprintf ('"%s" --no-gui --norc --eval "%s" 2>&1', octave, [paths setup vmSize]));
%!   assert (status, 0, output);
%!   limit = str2double (regexp (output, '^(\d+)$', 'tokens', 'once', 'lineanchors'){1}) + 131072;
%!   script = [paths setup 'm = {''no error'', ''no error'', ''no error''}; ' ...
%!             'for k = 1:3, try, evalc (''[o{1:7}] = TILEVISTA_Mex (b, D, D, 0);''); ' ...
%!             'catch err, m{k} = err.message; end, end; clear o; ' ...
%!             'o = cell (1, 7); evalc (''[o{1:7}] = TILEVISTA_Mex ({[3;4], [0;1]}, eye (2), 1);''); ' ...
%!             'printf (''%s\n'', m{:}); printf (''atoms %d\n'', o{7});'];
%!   [status, output] = system (sprintf ('ulimit -v %d; "%s" --no-gui --norc --eval "%s" 2>&1', ...
%!                                       limit, octave, script));
%!   lines = strsplit (strtrim (output), "\n");
%!   lines = lines(! strcmp (lines, 'error: ignoring const execution_exception& while preparing to exit'));
%!   assert (status, 0, output);
%!   assert (numel (lines), 4, output);
%!   assert (lines{4}, 'atoms 2', output);
%!   assert (all (cellfun (@(l) ! isempty (regexp (l, known, 'once')), lines(1:3))), output);
%! end

