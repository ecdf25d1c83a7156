% Runs the Octave test suite: the %!test and %!error blocks of the toolbox
% (octave/*.m) and of the test files here (tests/octave/*.m), against the
% module in build/octave (build it first with scripts/build-octave).
%
%   octave-cli --no-gui --norc tests/octave/run_tests.m
%
% Prints the failures, one line per file, and as its last line
% "N passed, N failed"; exits with status 1 when a test failed or none ran.

1;  % a script file, not a function file

function [passed, failed] = run_file (file)
  % Counts the %! blocks of one file; a file with none counts nothing. The
  % details of the failures are shown, the rest of test's log is not.
  logName = [tempname() '.log'];
  log = fopen (logName, 'w');
  unwind_protect
    [passed, total] = test (file, 'quiet', log);
  unwind_protect_cleanup
    fclose (log);
  end_unwind_protect
  failed = total - passed;
  if failed > 0
    printf ('%s', fileread (logName));
  end
  delete (logName);
end

here = fileparts (mfilename ('fullpath'));
root = fileparts (fileparts (here));
toolbox = fullfile (root, 'octave');
moduleDir = fullfile (root, 'build', 'octave');
% The module's folder goes first: a call then runs the module and help finds
% the help file beside it, not the toolbox's copy.
addpath (here);
addpath (toolbox);
addpath (moduleDir);
if ! isfile (fullfile (moduleDir, 'TILEVISTA_Mex.oct'))
  printf ('The module %s is missing: build it with scripts/build-octave\n', ...
          fullfile (moduleDir, 'TILEVISTA_Mex.oct'));
end

files = [cellfun(@(f) fullfile (toolbox, f), {dir(fullfile (toolbox, '*.m')).name}, 'UniformOutput', false), ...
         cellfun(@(f) fullfile (here, f), {dir(fullfile (here, '*.m')).name}, 'UniformOutput', false)];
files = files(! strcmp (files, [mfilename('fullpath') '.m']));

passed = 0;
failed = 0;
for k = 1:numel (files)
  [p, f] = run_file (files{k});
  if p + f > 0
    printf ('%-56s %3d of %3d\n', strrep (files{k}, [root filesep], ''), p, p + f);
  end
  passed += p;
  failed += f;
end
printf ('%d passed, %d failed\n', passed, failed);
exit (double (failed > 0 || passed == 0));
