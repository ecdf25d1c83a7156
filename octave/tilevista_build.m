function [moduleFile, command] = tilevista_build(varargin)
%TILEVISTA_BUILD  Compile the TILEVISTA_Mex module with the host's mex command.
%   TILEVISTA_BUILD() compiles the module from the project's C++ sources
%   (host/TILEVISTA_Mex.cpp, host/call/*.cpp, pursuit/*.cpp, basis/*.cpp)
%   against the running host's own MEX interface and links it to a BLAS:
%
%     GNU Octave  mkoctfile, C++17, linked with -lopenblas when the
%                 compiler finds OpenBLAS, otherwise -lblas: the Octave
%                 function file build/octave/TILEVISTA_Mex.oct, the gateway
%                 over Octave's own arrays (host/octave_native), which returns
%                 its outputs to Octave without copying them; only its
%                 installer is exported. With ('mex', true) instead the MEX
%                 file build/octave-mex/TILEVISTA_Mex.mex (mkoctfile --mex),
%                 exporting mexFunction alone. Octave prefers a .oct to a
%                 .mex in the same folder.
%     MATLAB      mex -R2017b (64-bit array sizes), linked with MATLAB's own
%                 BLAS (-lmwblas), which takes 64-bit integers, and with its
%                 libut for the interrupt check (Ctrl-C). The compiler flags
%                 are those of the project's 64-bit-integer configuration
%                 (-DTILEVISTA_BLAS_INT64, C++17, -O3 -DNDEBUG), whose test
%                 suites run against an ILP64 BLAS in make test, and which
%                 make test checks against this list. The module goes to
%                 build/matlab/TILEVISTA_Mex.<mexext>. MATLAB itself is not
%                 available to the project's tests.
%
%   The help file TILEVISTA_Mex.m is copied next to the module, so that with
%   the module's folder on the path both a call and HELP TILEVISTA_Mex work.
%
%   TILEVISTA_BUILD('outdir', DIR) writes into DIR instead of the default
%   folder. TILEVISTA_BUILD('verbose', true) shows the compiler commands.
%   TILEVISTA_BUILD('mex', true) builds the MEX file under Octave too.
%   MODULEFILE = TILEVISTA_BUILD(...) returns the full name of the module.
%
%   [MODULEFILE, COMMAND] = TILEVISTA_BUILD('dryrun', true) compiles
%   nothing and returns the command that would run, a cell array of strings
%   (the command name, then its arguments; for Octave the compiler flags
%   first, as 'CXXFLAGS=...'). TILEVISTA_BUILD('host', 'matlab') or
%   ('host', 'octave') chooses the branch instead of the running host; only
%   a dry run may name the other one.
%
%   Example (from any folder):
%     run('/path/to/project/octave/tilevista_build.m')   % or, with octave/
%     tilevista_build();                                   % on the path
%     addpath('/path/to/project/build/octave');            % before octave/
%
%   See also TILEVISTA_MEX.

  opts = parseOptions (varargin);
  root = fileparts (fileparts (mfilename ('fullpath')));
  running = 'matlab';
  if exist ('OCTAVE_VERSION', 'builtin') ~= 0
    running = 'octave';
  end
  if isempty (opts.host)
    opts.host = running;
  elseif ~strcmp (opts.host, running) && ~opts.dryrun
    error ('tilevista_build: this is %s; the %s build can only be shown (''dryrun'', true)', ...
           running, opts.host);
  end
  isOctave = strcmp (opts.host, 'octave');
  if opts.mex && ~isOctave
    error ('tilevista_build: ''mex'' chooses between the Octave builds; MATLAB builds a MEX file');
  end
  if isempty (opts.outdir)
    opts.outdir = fullfile (root, 'build', opts.host);
    if opts.mex
      opts.outdir = fullfile (root, 'build', 'octave-mex');
    end
  end

  sources = [{fullfile(root, 'host', 'TILEVISTA_Mex.cpp')}, ...
             listSources(fullfile (root, 'host', 'call')), ...
             listSources(fullfile (root, 'pursuit')), listSources(fullfile (root, 'basis'))];
  includes = {['-I' fullfile(root, 'blas')], ['-I' fullfile(root, 'pursuit')], ...
              ['-I' fullfile(root, 'basis')], ['-I' fullfile(root, 'host', 'call')]};
  if isOctave && ~opts.mex
    % The function file: "mex.h" is the native host's, found before Octave's
    % own (which mkoctfile's -I puts first) through -iquote.
    native = fullfile (root, 'host', 'octave_native');
    moduleFile = fullfile (opts.outdir, 'TILEVISTA_Mex.oct');
    cxxflags = [strtrim(mkoctfile ('-p', 'CXXFLAGS')) ' -std=c++17 -Wall -Wextra -O3'];
    args = [{'-iquote', native}, includes, listSources(native), sources, {blasLibrary(), ...
            ['-Wl,--version-script=' fullfile(native, 'exports.map')], '-o', moduleFile}];
    command = [{'mkoctfile', ['CXXFLAGS=' cxxflags]}, args];
  elseif isOctave
    moduleFile = fullfile (opts.outdir, 'TILEVISTA_Mex.mex');
    cxxflags = [strtrim(mkoctfile ('-p', 'CXXFLAGS')) ' -std=c++17 -Wall -Wextra -O3'];
    args = [{'--mex'}, includes, sources, {blasLibrary(), ...
            ['-Wl,--version-script=' fullfile(root, 'host', 'exports.map')], '-o', moduleFile}];
    command = [{'mkoctfile', ['CXXFLAGS=' cxxflags]}, args];
  else
    moduleFile = fullfile (opts.outdir, ['TILEVISTA_Mex.' mexext]);
    % The 64-bit-integer configuration's flags: MATLAB's BLAS takes 64-bit
    % integers, and a mismatch crashes the session.
    args = [{'-R2017b', '-DTILEVISTA_BLAS_INT64', 'CXXFLAGS=$CXXFLAGS -std=c++17 -Wall -Wextra', ...
             'CXXOPTIMFLAGS=-O3 -DNDEBUG'}, includes, sources, ...
            {'-lmwblas', '-lut', '-outdir', opts.outdir, '-output', 'TILEVISTA_Mex'}];
    command = [{'mex'}, args];
  end
  if opts.dryrun
    return;
  end

  if ~exist (opts.outdir, 'dir')
    [ok, msg] = mkdir (opts.outdir);
    if ~ok
      error ('tilevista_build: cannot create %s: %s', opts.outdir, msg);
    end
  end

  if isOctave
    buildOctave (cxxflags, args, opts.verbose);
  else
    if opts.verbose
      args = [{'-v'}, args];
    end
    mex (args{:});
  end

  [ok, msg] = copyfile (fullfile (root, 'octave', 'TILEVISTA_Mex.m'), opts.outdir);
  if ~ok
    error ('tilevista_build: cannot copy the help file: %s', msg);
  end
  if nargout == 0
    fprintf ('Built %s\n', moduleFile);
    clear moduleFile;
  end
end

function buildOctave (cxxflags, args, verbose)
  % mkoctfile honours CXXFLAGS from the environment: its own defaults plus the
  % language level and the warnings, for this build only, and -O3 after its
  % -O2 so that the kernels' loops are vectorised. Its object files go to the
  % temporary folder and are removed by mkoctfile.
  oldFlags = getenv ('CXXFLAGS');
  setenv ('CXXFLAGS', cxxflags);
  restore = onCleanup (@() setenv ('CXXFLAGS', oldFlags));
  if verbose
    args = [{'-v'}, args];
  end
  [output, status] = mkoctfile (args{:});
  if status ~= 0
    error ('tilevista_build: compilation failed:\n%s', output);
  end
  if verbose && ~isempty (output)
    disp (output);
  end
end

function flag = blasLibrary ()
  % The compiler prints a bare name when it does not find the library.
  [status, found] = system ([strtrim(mkoctfile ('-p', 'CXX')) ' -print-file-name=libopenblas.so']);
  found = strtrim (found);
  if status == 0 && ~isempty (found) && found(1) == '/' && exist (found, 'file')
    flag = '-lopenblas';
  else
    flag = '-lblas';
  end
end

function files = listSources (folder)
  listing = dir (fullfile (folder, '*.cpp'));
  files = cellfun (@(name) fullfile (folder, name), sort ({listing.name}), 'UniformOutput', false);
end

function opts = parseOptions (args)
  opts = struct ('outdir', '', 'verbose', false, 'host', '', 'dryrun', false, 'mex', false);
  if mod (numel (args), 2) ~= 0
    error ('tilevista_build: options come in name, value pairs');
  end
  for k = 1:2:numel (args)
    name = args{k};
    if ~ischar (name)
      error ('tilevista_build: option names must be strings');
    end
    switch lower (name)
      case 'outdir'
        opts.outdir = args{k+1};
      case 'verbose'
        opts.verbose = logical (args{k+1});
      case 'dryrun'
        opts.dryrun = logical (args{k+1});
      case 'mex'
        opts.mex = logical (args{k+1});
      case 'host'
        opts.host = lower (args{k+1});
        if ~any (strcmp (opts.host, {'octave', 'matlab'}))
          error ('tilevista_build: host must be ''octave'' or ''matlab''');
        end
      otherwise
        error ('tilevista_build: unknown option ''%s''', name);
    end
  end
end

%!error <unknown option 'speed'> tilevista_build ('speed', 3)
%!error <name, value pairs> tilevista_build ('outdir')
%!error <host must be 'octave' or 'matlab'> tilevista_build ('host', 'excel')
%!error <the matlab build can only be shown> tilevista_build ('host', 'matlab')
%!error <MATLAB builds a MEX file> tilevista_build ('host', 'matlab', 'mex', true, 'dryrun', true)
