% Memory of one call of the module from Octave on a whole image, as the
% operating system sees it: the resident set before the call (inputs made),
% its peak during the call, after it, and after the outputs are cleared.
%
%   octave-cli --no-gui --norc bench/octave_memory.m SIDE CHANNELS PSNR WHICH
%
% The image is the bundled camera picture tiled to SIDE x SIDE pixels; with
% 3 CHANNELS its other two channels are the picture flipped up-down and
% left-right. 8 x 8 blocks, redundant cosine dictionaries of 16 atoms, tol
% for PSNR dB (peak 255). WHICH: "oct" (TILEVISTA_Mex.oct of build/octave, all
% seven outputs), "mex" (TILEVISTA_Mex.mex of build/octave-mex) or "pursuit"
% (tilevista_pursuit of build/octave, without the duals and the orthonormal
% vectors). Prints one JSON line, sizes in MB (2^20 bytes).

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
root = fileparts (fileparts (mfilename ('fullpath')));
addpath (fullfile (root, 'octave'));
if strcmp (which_, 'mex')
  addpath (fullfile (root, 'build', 'octave-mex'));
else
  addpath (fullfile (root, 'build', 'octave'));
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
printf ('{"host": "octave %s", "side": %d, "channels": %d, "psnr": %g, "atoms": %d, "seconds": %.3f, "before": %.0f, "peak": %.0f, "after_call": %.0f, "after_clear": %.0f}\n', ...
        which_, side, channels, psnrTarget, atoms, seconds, before / 1024, peak / 1024, after / 1024, cleared / 1024);
