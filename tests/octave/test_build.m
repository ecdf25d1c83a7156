% The Octave builds of the module: what the path resolves to (the function
% file TILEVISTA_Mex.oct of build/octave), help, the exported symbols of it
% and of the MEX file in build/octave-mex, the kernel generator linked in
% where it is found, unloading and loading the module again, and
% tilevista_build run under Octave into a fresh folder.

%!function [status, output] = child_octave (code)
%!  % Runs code in a separate octave-cli, so that path and loaded modules of
%!  % this session stay as they are.
%!  command = sprintf ('"%s" --no-gui --norc --eval "%s" 2>&1', ...
%!                     fullfile (OCTAVE_HOME (), 'bin', 'octave-cli'), code);
%!  [status, output] = system (command);
%!endfunction

%!test
%! % With the module's folder first on the path a call runs the module and
%! % help shows the help file that the build put beside it, which the .oct
%! % takes as its own help text.
%! assert (regexp (which ('TILEVISTA_Mex'), '\.oct$', 'once') > 0);
%! text = evalc ('help TILEVISTA_Mex');
%! assert (! isempty (strfind (text, 'TILEVISTA_MEX  Block-wise greedy approximation')));
%! assert (! isempty (strfind (text, 'Input must be double, real, full,and nonstring')));
%! % Its first lines say how to call it, and so does the README.
%! top = regexprep (strjoin (strsplit (text, "\n")(1:12), ' '), '\s+', ' ');
%! assert (! isempty (strfind (top, 'Request all seven outputs, or use tilevista_pursuit')), top);
%! toolbox = fileparts (which ('tilevista_blocks'));
%! readme = regexprep (fileread (fullfile (fileparts (toolbox), 'README.md')), '\s+', ' ');
%! assert (! isempty (strfind (readme, 'Request all seven outputs, or use `tilevista_pursuit`')));
%! % The See also of every function the package ships names only functions
%! % the package holds (package/INDEX): tilevista_build is the project's.
%! index = fileread (fullfile (fileparts (toolbox), 'package', 'INDEX'));
%! shipped = lower (regexp (index, '^ (\w+)', 'tokens', 'lineanchors'));
%! files = dir (fullfile (toolbox, '*.m'));
%! for f = {files(! strcmp ({files.name}, 'tilevista_build.m')).name}
%!   seeAlso = regexp (fileread (fullfile (toolbox, f{1})), 'See also ([^\n]*(\n%   [^\n]+)*)', 'tokens', 'once');
%!   for name = lower (regexp (seeAlso{1}, '\w+', 'match'))
%!     assert (any (strcmp ([shipped{:}], name{1})), '%s: See also %s, which the package lacks', f{1}, name{1});
%!   end
%! end

%!test
%! % Each build exports what Octave looks up and nothing else: the .oct the
%! % installers of its functions, the .mex its entry point.
%! octFile = which ('TILEVISTA_Mex');
%! mexFile = fullfile (fileparts (fileparts (octFile)), 'octave-mex', 'TILEVISTA_Mex.mex');
%! for build = {{octFile, {'GTILEVISTA_Mex', 'Gtilevista_decode', 'Gtilevista_dictionary', 'Gtilevista_encode', 'Gtilevista_pursuit', 'Gtilevista_release_memory'}}, {mexFile, {'mexFunction'}}}
%!   [status, symbols] = system (['nm -D --defined-only "' build{1}{1} '"']);
%!   assert (status, 0, symbols);
%!   names = regexp (strtrim (symbols), '\S+$', 'match', 'lineanchors');
%!   assert (names, build{1}{2});
%! end

%!function kernels = kernels_found ()
%!  % True where scripts/module-build finds the kernel generator for Octave's
%!  % compiler: the builds must then link it.
%!  root = fileparts (fileparts (which ('tilevista_blocks')));
%!  [status, found] = system (sprintf ('bash "%s" kernels "%s"', ...
%!                                     fullfile (root, 'scripts', 'module-build'), ...
%!                                     strtrim (mkoctfile ('-p', 'CXX'))));
%!  assert (status, 0);
%!  kernels = ! isempty (strtrim (found));
%!endfunction

%!function generator = holds_generator (moduleFile)
%!  % True when the module holds libxsmm's kernel generator (a local symbol).
%!  [status, symbols] = system (['nm "' moduleFile '"']);
%!  assert (status, 0);
%!  generator = ! isempty (strfind (symbols, 'libxsmm_generator_gemm_kernel'));
%!endfunction

%!test
%! % The module holds the kernel generator exactly where it is found.
%! assert (holds_generator (which ('TILEVISTA_Mex')), kernels_found ());

%!test
%! % The module unloaded (clear functions, clear -f) and loaded again between
%! % calls, in a separate session that then exits: every call gives the worked
%! % call's atoms, the module is really unmapped after each clear, standard
%! % input is still open after the unloads (the session reads a line from it),
%! % and the session exits with status 0.
%! [moduleDir, name, extension] = fileparts (which ('TILEVISTA_Mex'));
%! file = [name extension];
%! code = ['addpath(''' moduleDir '''); o = cell(1,7); ' ...
%!         'mapped = @() ! isempty (strfind (fileread (''/proc/self/maps''), ''' file ''')); ' ...
%!         'for how = {''clear functions'', ''clear -f TILEVISTA_Mex'', ''clear all''}; ' ...
%!         '  evalc (''[o{1:7}] = TILEVISTA_Mex ({[3;4], [0;1]}, eye (2), 1);''); ' ...
%!         '  printf (''call %d %d;'', o{7}, mapped ()); ' ...
%!         '  eval (how{1}); ' ...
%!         '  mapped = @() ! isempty (strfind (fileread (''/proc/self/maps''), ''' file ''')); ' ...
%!         '  printf (''cleared %d;'', mapped ()); ' ...
%!         'end; ' ...
%!         'evalc (''[o{1:7}] = TILEVISTA_Mex ({[3;4], [0;1]}, eye (2), 1);''); ' ...
%!         'printf (''again %d; stdin %s;'', o{7}, fgetl (stdin)); exit (0);'];
%! [status, output] = system (sprintf ('echo open | "%s" --no-gui --norc --eval "%s" 2>&1', ...
%!                                     fullfile (OCTAVE_HOME (), 'bin', 'octave-cli'), code));
%! assert (status, 0, output);
%! expected = ['call 2 1;cleared 0;call 2 1;cleared 0;call 2 1;cleared 0;' ...
%!             'again 2; stdin open;'];
%! assert (! isempty (strfind (output, expected)), output);

%!test
%! % tilevista_build under Octave: the function file and its help files land
%! % in the folder asked for, the module scores as the build says (the
%! % generator in it where found), and a fresh session with that folder on the
%! % path runs the worked call (two atoms), finds the help and reaches
%! % tilevista_pursuit, tilevista_dictionary (built from the dictionary
%! % layer's sources) and the codec's functions (the codec's, with zlib).
%! % The MEX file's build is the same command with --mex, Octave's mex.h
%! % and exports.map.
%! outdir = tempname ();
%! unwind_protect
%!   [moduleFile, ~, scoring] = tilevista_build ('outdir', outdir);
%!   assert (moduleFile, fullfile (outdir, 'TILEVISTA_Mex.oct'));
%!   if kernels_found ()
%!     assert (scoring, 'generated kernels');
%!   else
%!     assert (scoring, 'BLAS');
%!   end
%!   assert (holds_generator (moduleFile), kernels_found ());
%!   assert (exist (fullfile (outdir, 'TILEVISTA_Mex.m'), 'file') == 2);
%!   assert (exist (fullfile (outdir, 'tilevista_pursuit.m'), 'file') == 2);
%!   [status, output] = child_octave (sprintf (['addpath(''%s''); ' ...
%!     'o = cell(1,7); evalc(''[o{1:7}] = TILEVISTA_Mex({[3;4],[0;1]}, eye(2), 1);''); ' ...
%!     'printf(''total=%%d Y=%%s\\n'', o{7}, mat2str(o{2}{1})); help TILEVISTA_Mex; ' ...
%!     'evalc(''s = tilevista_pursuit({[3;4],[0;1]}, eye(2), 1);''); printf(''pursuit=%%d\\n'', s.totalAtoms); ' ...
%!     'printf(''dictionary=%%s\\n'', mat2str(size(tilevista_dictionary(''cosine:16+haar'', 8)))); ' ...
%!     'printf(''decoded=%%s\\n'', mat2str(tilevista_decode(tilevista_encode(uint8(magic(8)), ''psnr'', 80))))'], outdir));
%!   assert (status, 0, output);
%!   assert (! isempty (strfind (output, 'total=2 Y=[2;1]')), output);
%!   assert (! isempty (strfind (output, 'TILEVISTA_MEX  Block-wise')), output);
%!   assert (! isempty (strfind (output, 'pursuit=2')), output);
%!   assert (! isempty (strfind (output, 'dictionary=[8 23]')), output);
%!   assert (! isempty (strfind (output, ['decoded=' mat2str(uint8(magic(8)))])), output);
%!   [mexFile, command] = tilevista_build ('mex', true, 'dryrun', true);
%!   root = fileparts (fileparts (which ('tilevista_build')));
%!   assert (mexFile, fullfile (root, 'build', 'octave-mex', 'TILEVISTA_Mex.mex'));
%!   assert (command([1 3 end]), {'mkoctfile', '--mex', mexFile});
%!   assert (! any (strncmp (command, '-iquote', 7)));
%!   % The MEX file is the gateway's, with nothing of the function file's host.
%!   assert (any (cellfun (@(a) ! isempty (strfind (a, fullfile ('host', 'mex', 'TILEVISTA_Mex.cpp'))), command)));
%!   assert (! any (cellfun (@(a) ! isempty (strfind (a, fullfile ('host', 'octave', 'octave_'))), command)));
%! unwind_protect_cleanup
%!   confirm_recursive_rmdir (false, 'local');
%!   if exist (outdir, 'dir')
%!     rmdir (outdir, 's');
%!   end
%! end_unwind_protect

%!test
%! % Without the module, a call reaches the help file, which says so.
%! toolbox = fileparts (which ('tilevista_blocks'));
%! [status, output] = child_octave (sprintf ('addpath(''%s''); TILEVISTA_Mex(1, 2, 3)', toolbox));
%! assert (status != 0);
%! assert (! isempty (strfind (output, 'the compiled module was not found; build it with tilevista_build')), output);
%! assert (! isempty (strfind (output, 'pkg load tilevista')), output);
