% Memory of one call of the module from Octave on a whole image, as the
% operating system sees it: the resident set before the call (inputs made),
% its peak during the call, after it, and after the outputs are cleared.
%
%   octave-cli --no-gui --norc bench/octave_memory.m SIDE CHANNELS PSNR WHICH [CALLS]
%
% The image is the bundled camera picture tiled to SIDE x SIDE pixels; with
% 3 CHANNELS its other two channels are the picture flipped up-down and
% left-right. 8 x 8 blocks, redundant cosine dictionaries of 16 atoms, tol
% for PSNR dB (peak 255). WHICH: "oct" (TILEVISTA_Mex.oct of build/octave, all
% seven outputs), "mex" (TILEVISTA_Mex.mex of build/octave-mex) or "pursuit"
% (tilevista_pursuit of build/octave, without the duals and the orthonormal
% vectors). Prints one JSON line, sizes in MB (2^20 bytes); after_release is
% the resident set once the outputs are cleared and tilevista_release_memory
% has run (the .oct only).
%
% With CALLS, the module is called CALLS times in a row instead (all seven
% outputs, each cleared before the next call: a call while the last one's
% outputs are still alive takes new memory for its own), and the line gives the minor page faults, seconds and output bytes of each
% call.

1;

function kb = status_kb (field)
  text = fileread ('/proc/self/status');
  kb = str2double (regexp (text, [field ':\s*(\d+)'], 'tokens', 'once'){1});
end

args = argv ();
side = str2double (args{1});
channels = str2double (args{2});
psnrTarget = str2double (args{3});
which_ = args{4};
calls = 0;
if numel (args) > 4
  calls = str2double (args{5});
end
root = fileparts (fileparts (mfilename ('fullpath')));
addpath (fullfile (root, 'octave'));
% TILEVISTA_BENCH_MODULE names the function file's folder (build/octave by
% default); the MEX file's is its sibling octave-mex.
moduleDir = getenv ('TILEVISTA_BENCH_MODULE');
if isempty (moduleDir)
  moduleDir = fullfile (root, 'build', 'octave');
end
if strcmp (which_, 'mex')
  addpath (fullfile (fileparts (moduleDir), 'octave-mex'));
else
  addpath (moduleDir);
end

camera = imread (fullfile (root, 'data', 'camera.png'));
planes = {camera, flipud(camera), fliplr(camera)};
img = zeros (side, side, channels, 'uint8');
for c = 1:channels
  tiled = repmat (planes{c}, ceil (side / rows (camera)), ceil (side / columns (camera)));
  img(:, :, c) = tiled(1:side, 1:side);
end
blocks = tilevista_blocks (img, 8);
D = tilevista_cosine_dictionary (8, 16);
tol = tilevista_tol_for_psnr (img, psnrTarget, 255);
clear camera planes tiled img;
evalc ('[~, ~, ~, ~, ~, ~, ~] = TILEVISTA_Mex (blocks(1:2), D, D);');  % loads the module

if calls > 0
  rows = {};
  out = cell (1, 7);
  for k = 1:calls
    out = cell (1, 7);
    faults = getrusage ().minflt;
    t0 = tic ();
    evalc ('[out{:}] = TILEVISTA_Mex (blocks, D, D, tol);');
    seconds = toc (t0);
    faults = getrusage ().minflt - faults;
    bytes = 8 * (1 + sum (cellfun (@(c) sum (cellfun (@numel, c(:))), out(1:6))));
    rows{end + 1} = sprintf ('{"seconds": %.4f, "faults": %d, "atoms": %d, "output_bytes": %d}', ...
                             seconds, faults, out{7}, bytes);
  end
  printf ('{"host": "octave %s", "side": %d, "psnr": %g, "calls": [%s]}\n', which_, side, ...
          psnrTarget, strjoin (rows, ', '));
  return;
end

before = status_kb ('VmRSS');
fid = fopen ('/proc/self/clear_refs', 'w');
fprintf (fid, '5');
fclose (fid);
t0 = tic ();
if strcmp (which_, 'pursuit')
  [~, s] = evalc ('tilevista_pursuit (blocks, D, D, tol)');
  atoms = s.totalAtoms;
else
  out = cell (1, 7);
  evalc ('[out{:}] = TILEVISTA_Mex (blocks, D, D, tol);');
  atoms = out{7};
end
seconds = toc (t0);
peak = status_kb ('VmHWM');
after = status_kb ('VmRSS');
clear s out;
cleared = status_kb ('VmRSS');
released = cleared;
if ! strcmp (which_, 'mex')
  tilevista_release_memory ();
  released = status_kb ('VmRSS');
end
printf ('{"host": "octave %s", "side": %d, "channels": %d, "psnr": %g, "atoms": %d, "seconds": %.3f, "before": %.0f, "peak": %.0f, "after_call": %.0f, "after_clear": %.0f, "after_release": %.0f}\n', ...
        which_, side, channels, psnrTarget, atoms, seconds, before / 1024, peak / 1024, after / 1024, cleared / 1024, released / 1024);
