function [moduleFile, command, scoring] = tilevista_build(varargin)
%TILEVISTA_BUILD  Compile the TILEVISTA_Mex module with the host's mex command.
%   TILEVISTA_BUILD() compiles the module from the project's C++ sources
%   against the running host's own interface and links it to a BLAS. The
%   sources, include folders and compiler flags are those of the project's
%   file module.build, which every build of the module reads:
%
%     GNU Octave  mkoctfile, linked with -lopenblas when the compiler finds
%                 OpenBLAS, otherwise -lblas: the Octave function file
%                 build/octave/TILEVISTA_Mex.oct, whose functions
%                 (TILEVISTA_Mex, tilevista_pursuit, tilevista_dictionary,
%                 tilevista_encode, tilevista_decode)
%                 work on Octave's own values and return their outputs to
%                 Octave without copying them; only their installers are
%                 exported. With ('mex', true) instead the MEX file
%                 build/octave-mex/TILEVISTA_Mex.mex (mkoctfile --mex),
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
%   Blocks are scored with kernels generated at run time for the call's
%   sizes (libxsmm's code generator, linked into the module) where the
%   compiler finds its header and static archive (Debian: libxsmm-dev; looked
%   for by scripts/module-build, on Linux and macOS); otherwise, and
%   wherever the kernels cannot be had at run time, with the BLAS. The build
%   says which.
%
%   The help file TILEVISTA_Mex.m is copied next to the module, so that with
%   the module's folder on the path both a call and HELP TILEVISTA_Mex work;
%   beside the .oct also the help files of its other functions and the
%   PKG_ADD file by which Octave finds them in it.
%
%   TILEVISTA_BUILD('outdir', DIR) writes into DIR instead of the default
%   folder. TILEVISTA_BUILD('verbose', true) shows the compiler commands.
%   TILEVISTA_BUILD('mex', true) builds the MEX file under Octave too.
%   MODULEFILE = TILEVISTA_BUILD(...) returns the full name of the module.
%   [MODULEFILE, COMMAND, SCORING] = TILEVISTA_BUILD(...) also returns the
%   command (below) and how blocks are scored: 'generated kernels' or 'BLAS'.
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
%   Errors (ERR.identifier; cause, then cure):
%     TILEVISTA:buildOption       an option is unknown, not a name, value
%                                 pair, or host is neither 'octave' nor
%                                 'matlab': see the options above.
%     TILEVISTA:buildHost         the other host's build was asked for
%                                 without ('dryrun', true): run it there.
%     TILEVISTA:buildMex          ('mex', true) for MATLAB, which builds a
%                                 MEX file anyway: leave it out.
%     TILEVISTA:buildFolder       OUTDIR cannot be created: choose a folder
%                                 you may write.
%     TILEVISTA:buildHelpCopy     the help files cannot be copied beside the
%                                 module: the message gives the reason.
%     TILEVISTA:buildFailed       the compiler failed: its output follows;
%                                 Debian needs liboctave-dev and
%                                 libopenblas-dev (make octave installs them).
%     TILEVISTA:buildDescription  module.build lacks a setting or names no
%                                 file: the project tree is incomplete.
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
    error ('TILEVISTA:buildHost', ...
           'tilevista_build: this is %s; the %s build can only be shown (''dryrun'', true)', ...
           running, opts.host);
  end
  isOctave = strcmp (opts.host, 'octave');
  if opts.mex && ~isOctave
    error ('TILEVISTA:buildMex', ...
           'tilevista_build: ''mex'' chooses between the Octave builds; MATLAB builds a MEX file');
  end
  if isempty (opts.outdir)
    opts.outdir = fullfile (root, 'build', opts.host);
    if opts.mex
      opts.outdir = fullfile (root, 'build', 'octave-mex');
    end
  end
  native = isOctave && ~opts.mex;

  % One command builds every group of sources, so its include folders are
  % those of every group (the CMake build keeps them apart).
  shared = [paths(root, 'call_layer'), paths(root, 'core')];
  includes = {};
  for name = {'public_include', 'call_include', 'gateway_include', 'octave_include', ...
              'core_includes', 'dictionary_include', 'codec_include'}
    includes = [includes, strcat('-I', paths(root, name{1}))];
  end
  cxxflags = strjoin (setting (root, 'cxxflags'), ' ');
  optimize = strjoin (setting (root, 'optimize'), ' ');
  if isOctave
    cxx = strtrim (mkoctfile ('-p', 'CXX'));
  else
    cxx = 'c++';
  end
  % The kernels: the definition, the archive, the option that hides its
  % symbols; none where they are not found.
  kernels = probe (root, 'kernels', cxx);
  if isempty (kernels)
    scoring = 'BLAS';
  else
    scoring = 'generated kernels';
  end
  if isOctave
    octaveFlags = [strtrim(mkoctfile ('-p', 'CXXFLAGS')) ' ' cxxflags ' ' optimize];
    blas = probe (root, 'blas', cxx);
    if isempty (blas)
      blas = {'-lblas'};
    end
    if native
      % The function file: its functions over Octave's own values.
      moduleFile = fullfile (opts.outdir, 'TILEVISTA_Mex.oct');
      exports = paths (root, 'octave_exports');
      % Its dictionary function builds on the dictionary layer, its codec
      % functions on the codec, which links its own libraries (zlib).
      libraries = strcat ('-l', setting (root, 'codec_libraries'));
      args = [includes, paths(root, 'octave'), paths(root, 'dictionary'), paths(root, 'codec'), ...
              shared, kernels, blas, libraries, ...
              {['-Wl,--version-script=' exports{1}], '-o', moduleFile}];
    else
      moduleFile = fullfile (opts.outdir, 'TILEVISTA_Mex.mex');
      exports = paths (root, 'mex_exports');
      args = [{'--mex'}, includes, paths(root, 'gateway'), shared, kernels, blas, ...
              {['-Wl,--version-script=' exports{1}], '-o', moduleFile}];
    end
    command = [{'mkoctfile', ['CXXFLAGS=' octaveFlags]}, args];
  else
    moduleFile = fullfile (opts.outdir, ['TILEVISTA_Mex.' mexext]);
    % The 64-bit-integer configuration's flags: MATLAB's BLAS takes 64-bit
    % integers, and a mismatch crashes the session. mex takes link options
    % through LDFLAGS.
    linking = strncmp (kernels, '-Wl,', 4);
    kernels = [kernels(~linking), cellfun(@(option) ['LDFLAGS=$LDFLAGS ' option], ...
                                          kernels(linking), 'UniformOutput', false)];
    args = [{'-R2017b', '-DTILEVISTA_BLAS_INT64', ['CXXFLAGS=$CXXFLAGS ' cxxflags], ...
             ['CXXOPTIMFLAGS=' optimize ' -DNDEBUG']}, includes, paths(root, 'gateway'), shared, ...
            kernels, ...
            {'-lmwblas', '-lut', '-outdir', opts.outdir, '-output', 'TILEVISTA_Mex'}];
    command = [{'mex'}, args];
  end
  if opts.dryrun
    return;
  end

  if ~exist (opts.outdir, 'dir')
    [ok, msg] = mkdir (opts.outdir);
    if ~ok
      error ('TILEVISTA:buildFolder', 'tilevista_build: cannot create %s: %s', opts.outdir, msg);
    end
  end

  if isOctave
    buildOctave (octaveFlags, args, opts.verbose);
  else
    if opts.verbose
      args = [{'-v'}, args];
    end
    mex (args{:});
  end

  % Beside the module its help files and, beside the function file, the
  % PKG_ADD by which Octave finds its other functions.
  besides = fullfile (root, 'octave', 'TILEVISTA_Mex.m');
  if native
    besides = [paths(root, 'octave_help'), paths(root, 'octave_pkg_add')];
  end
  for f = cellstr (besides)
    [ok, msg] = copyfile (f{1}, opts.outdir);
    if ~ok
      error ('TILEVISTA:buildHelpCopy', 'tilevista_build: cannot copy %s: %s', f{1}, msg);
    end
  end
  if nargout == 0
    fprintf ('Built %s (block scoring: %s)\n', moduleFile, scoring);
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
    error ('TILEVISTA:buildFailed', 'tilevista_build: compilation failed:\n%s', output);
  end
  if verbose && ~isempty (output)
    disp (output);
  end
end

function words = setting (root, name)
  % The words of one setting of module.build.
  text = fileread (fullfile (root, 'module.build'));
  value = regexp (text, ['^' name ' *= *([^\r\n]*)'], 'tokens', 'once', 'lineanchors');
  if isempty (value)
    descriptionError ('has no setting ''%s''', name);
  end
  words = regexp (value{1}, '\S+', 'match');
end

function files = paths (root, name)
  % The files or folders a setting names, under the root, patterns expanded
  % (each pattern's files in sorted order).
  files = {};
  for pattern = setting (root, name)
    path = fullfile (root, pattern{1});
    if exist (path, 'dir')
      files{end+1} = path;
      continue;
    end
    listing = dir (path);
    if isempty (listing)
      descriptionError ('''%s'' names no file', pattern{1});
    end
    folder = fileparts (path);
    files = [files, cellfun(@(n) fullfile (folder, n), sort ({listing.name}), 'UniformOutput', false)];
  end
end

function words = probe (root, what, cxx)
  % The lines scripts/module-build prints for WHAT ('blas', 'kernels');
  % none where it cannot run (Windows has no bash).
  words = {};
  if ~isunix ()
    return;
  end
  script = fullfile (root, 'scripts', 'module-build');
  [status, output] = system (sprintf ('bash "%s" %s "%s"', script, what, cxx));
  if status == 0
    words = regexp (output, '[^\r\n]+', 'match');
  end
end

function descriptionError (varargin)
  error ('TILEVISTA:buildDescription', 'tilevista_build: module.build %s', sprintf (varargin{:}));
end

function optionError (varargin)
  error ('TILEVISTA:buildOption', 'tilevista_build: %s', sprintf (varargin{:}));
end

function opts = parseOptions (args)
  opts = struct ('outdir', '', 'verbose', false, 'host', '', 'dryrun', false, 'mex', false);
  if mod (numel (args), 2) ~= 0
    optionError ('options come in name, value pairs');
  end
  for k = 1:2:numel (args)
    name = args{k};
    if ~ischar (name)
      optionError ('option names must be strings');
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
          optionError ('host must be ''octave'' or ''matlab''');
        end
      otherwise
        optionError ('unknown option ''%s''', name);
    end
  end
end

%!error <unknown option 'speed'> tilevista_build ('speed', 3)
%!error <name, value pairs> tilevista_build ('outdir')
%!error <host must be 'octave' or 'matlab'> tilevista_build ('host', 'excel')
%!error <the matlab build can only be shown> tilevista_build ('host', 'matlab')
%!error <MATLAB builds a MEX file> tilevista_build ('host', 'matlab', 'mex', true, 'dryrun', true)
