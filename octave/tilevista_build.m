function moduleFile = tilevista_build(varargin)
%TILEVISTA_BUILD  Compile the TILEVISTA_Mex module with the host's mex command.
%   TILEVISTA_BUILD() compiles the module from the project's C++ sources
%   (host/TILEVISTA_Mex.cpp, pursuit/*.cpp, basis/*.cpp) against the running
%   host's own MEX interface and links it to a BLAS:
%
%     GNU Octave  mex (mkoctfile --mex), C++17, linked with -lopenblas when
%                 the compiler finds OpenBLAS, otherwise -lblas; only the
%                 entry point mexFunction is exported. The module goes to
%                 build/octave/TILEVISTA_Mex.mex.
%     MATLAB      mex -R2017b (64-bit array sizes), linked with MATLAB's own
%                 BLAS (-lmwblas), which takes 64-bit integers, so the
%                 sources are compiled with -DTILEVISTA_BLAS_INT64. The
%                 module goes to build/matlab/TILEVISTA_Mex.<mexext>. This
%                 path is not exercised by the project's tests.
%
%   The help file TILEVISTA_Mex.m is copied next to the module, so that with
%   the module's folder on the path both a call and HELP TILEVISTA_Mex work.
%
%   TILEVISTA_BUILD('outdir', DIR) writes into DIR instead of the default
%   folder. TILEVISTA_BUILD('verbose', true) shows the compiler commands.
%   MODULEFILE = TILEVISTA_BUILD(...) returns the full name of the module.
%
%   Example (from any folder):
%     run('/path/to/project/octave/tilevista_build.m')   % or, with octave/
%     tilevista_build();                                   % on the path
%     addpath('/path/to/project/build/octave');            % before octave/
%
%   See also TILEVISTA_MEX.

  opts = parseOptions (varargin);
  root = fileparts (fileparts (mfilename ('fullpath')));
  isOctave = exist ('OCTAVE_VERSION', 'builtin') ~= 0;
  if isempty (opts.outdir)
    if isOctave
      opts.outdir = fullfile (root, 'build', 'octave');
    else
      opts.outdir = fullfile (root, 'build', 'matlab');
    end
  end
  if ~exist (opts.outdir, 'dir')
    [ok, msg] = mkdir (opts.outdir);
    if ~ok
      error ('tilevista_build: cannot create %s: %s', opts.outdir, msg);
    end
  end

  sources = [{fullfile(root, 'host', 'TILEVISTA_Mex.cpp')}, ...
             listSources(fullfile (root, 'pursuit')), listSources(fullfile (root, 'basis'))];
  includes = {['-I' fullfile(root, 'blas')], ['-I' fullfile(root, 'pursuit')], ...
              ['-I' fullfile(root, 'basis')]};

  if isOctave
    moduleFile = fullfile (opts.outdir, 'TILEVISTA_Mex.mex');
    buildOctave (root, sources, includes, moduleFile, opts.verbose);
  else
    moduleFile = fullfile (opts.outdir, ['TILEVISTA_Mex.' mexext]);
    args = [{'-R2017b', '-DTILEVISTA_BLAS_INT64', 'CXXFLAGS=$CXXFLAGS -std=c++17'}, ...
            includes, sources, {'-lmwblas', '-outdir', opts.outdir, '-output', 'TILEVISTA_Mex'}];
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

function buildOctave (root, sources, includes, moduleFile, verbose)
  % mkoctfile honours CXXFLAGS from the environment; add the language level
  % and the warnings to its own defaults for this build only, and -O3 after
  % its -O2 so that the kernels' loops are vectorised. Its object files go to
  % the temporary folder and are removed by mkoctfile.
  oldFlags = getenv ('CXXFLAGS');
  setenv ('CXXFLAGS', [strtrim(mkoctfile ('-p', 'CXXFLAGS')) ' -std=c++17 -Wall -Wextra -O3']);
  restore = onCleanup (@() setenv ('CXXFLAGS', oldFlags));
  args = [{'--mex'}, includes, sources, {blasLibrary(), ...
          ['-Wl,--version-script=' fullfile(root, 'host', 'exports.map')], '-o', moduleFile}];
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
  opts = struct ('outdir', '', 'verbose', false);
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
      otherwise
        error ('tilevista_build: unknown option ''%s''', name);
    end
  end
end

%!error <unknown option 'speed'> tilevista_build ('speed', 3)
%!error <name, value pairs> tilevista_build ('outdir')
