% The Octave side of the Python package's comparison tests: runs in one Octave
% session the calls the tests also make from Python, and writes what Octave's
% module gave, for the tests to compare bit for bit.
%
%   octave-cli --no-gui --norc octave_calls.m ROOT WORKDIR
%
% ROOT is the project (toolbox in ROOT/octave, module in ROOT/build/octave).
% WORKDIR holds:
%   cases.txt        names of case files NAME.in (see read_case), one a line;
%                    each gives NAME.out and NAME.out.log (see write_results)
%   rejections.txt   calls of TILEVISTA_Mex, one a line; line k gives the
%                    error message in rejection_k.txt, its identifier in
%                    rejection_k.id and the console text before it in
%                    rejection_k.log, and the same call of tilevista_pursuit
%                    its error message in rejection_k.pursuit
%   camera.txt       an image path: the toolbox's blocks, dictionary and tol
%                    for it (8 x 8 blocks, 16 atoms, 45 dB) go to camera.in,
%                    the call's results to camera.out
%   demo.txt         image path, block side, target PSNR, output folder (one a
%                    line): tilevista_demo's atom count goes to demo_atoms.txt,
%                    its reached PSNR (as hex bits) to demo_psnr.txt
%   tol_rule.txt     "tol values peak" a line: whether tilevista_psnr_for_tol
%                    warns that the tol reads like a PSNR (1 or 0, a line) goes
%                    to tol_rule.out
%   dictionaries.txt "n description" a line: line k's tilevista_dictionary
%                    goes to dictionary_k.bin (D's values) and dictionary_k.txt
%                    (the normalised description, then "family|parameter|number"
%                    per kept atom, then "family|parameter|number|repeats" per
%                    dropped one); a refusal's identifier and message to
%                    dictionary_k.id and dictionary_k.msg
%   codec.txt        "image|psnr|bpp|block rows|block cols|dictionary|kind" a
%                    line: line k's tilevista_encode of the image (psnr or bpp
%                    0 when not set; the dictionary a description, or with kind
%                    "matrix" the matrix tilevista_dictionary builds of it for
%                    both directions) goes to codec_k.tvc, tilevista_decode of
%                    those bytes to codec_k.img (its uint8 samples, column-major)
% and gets blas.txt, the BLAS Octave runs (version -blas), with its kernel set.

1;

function [blocks, Dy, Dx, tol, maxAtoms] = read_case (file)
  % float64 values: Q rows cols Ky Kx tol maxAtoms, the Q blocks (each
  % column-major), Dy and Dx (column-major).
  fid = fopen (file, 'r');
  v = fread (fid, Inf, 'double');
  fclose (fid);
  Q = v(1); r = v(2); c = v(3); ky = v(4); kx = v(5); tol = v(6); maxAtoms = v(7);
  p = 8;
  blocks = cell (1, Q);
  for q = 1:Q
    blocks{q} = reshape (v(p:p+r*c-1), r, c);
    p += r * c;
  end
  Dy = reshape (v(p:p+r*ky-1), r, ky);
  p += r * ky;
  Dx = reshape (v(p:p+c*kx-1), c, kx);
end

function write_case (file, blocks, Dy, Dx, tol, maxAtoms)
  [r, c] = size (blocks{1});
  fid = fopen (file, 'w');
  fwrite (fid, [numel(blocks) r c columns(Dy) columns(Dx) tol maxAtoms], 'double');
  for q = 1:numel (blocks)
    fwrite (fid, blocks{q}, 'double');
  end
  fwrite (fid, Dy, 'double');
  fwrite (fid, Dx, 'double');
  fclose (fid);
end

function write_results (file, blocks, Dy, Dx, tol, maxAtoms)
  % Outputs 1 to 6 as: element count, then per element its size (2 values)
  % and its values; then output 7. The console text goes to FILE.log.
  out = cell (1, 7);
  console = evalc ('[out{1:7}] = TILEVISTA_Mex (blocks, Dy, Dx, tol, maxAtoms);');
  fid = fopen (file, 'w');
  for k = 1:6
    fwrite (fid, numel (out{k}), 'double');
    for i = 1:numel (out{k})
      fwrite (fid, size (out{k}{i}), 'double');
      fwrite (fid, out{k}{i}, 'double');
    end
  end
  fwrite (fid, out{7}, 'double');
  fclose (fid);
  fid = fopen ([file '.log'], 'w');
  fwrite (fid, console, 'char');
  fclose (fid);
end

function text = read_lines (file)
  text = {};
  if exist (file, 'file')
    text = strsplit (strtrim (fileread (file)), "\n");
    text = text(! cellfun (@isempty, text));
  end
end

args = argv ();
root = args{1};
work = args{2};
addpath (fullfile (root, 'octave'));
addpath (fullfile (root, 'build', 'octave'));
fid = fopen (fullfile (work, 'blas.txt'), 'w');
fwrite (fid, version ('-blas'), 'char');
fclose (fid);

for name = read_lines (fullfile (work, 'cases.txt'))
  [blocks, Dy, Dx, tol, maxAtoms] = read_case (fullfile (work, [name{1} '.in']));
  write_results (fullfile (work, [name{1} '.out']), blocks, Dy, Dx, tol, maxAtoms);
end

calls = read_lines (fullfile (work, 'rejections.txt'));
for k = 1:numel (calls)
  out = cell (1, 7);
  err = struct ('message', '', 'identifier', '');
  % The error caught inside evalc, so that the console text is kept.
  console = evalc (sprintf ('try\n [out{1:7}] = %s;\ncatch err\nend', calls{k}));
  pursuit = struct ('message', '');
  try
    eval (['s = ' strrep(calls{k}, 'TILEVISTA_Mex (', 'tilevista_pursuit (') ';']);
  catch pursuit
  end
  texts = {err.message, err.identifier, console, pursuit.message};
  suffixes = {'txt', 'id', 'log', 'pursuit'};
  for i = 1:4
    fid = fopen (fullfile (work, sprintf ('rejection_%d.%s', k, suffixes{i})), 'w');
    fwrite (fid, texts{i}, 'char');
    fclose (fid);
  end
end

camera = read_lines (fullfile (work, 'camera.txt'));
if ! isempty (camera)
  img = imread (camera{1});
  blocks = tilevista_blocks (img, 8, 8);
  D = tilevista_cosine_dictionary (8, 16);
  tol = tilevista_tol_for_psnr (img, 45, 255);
  write_case (fullfile (work, 'camera.in'), blocks(:)', D, D, tol, 0);
  write_results (fullfile (work, 'camera.out'), blocks, D, D, tol, 0);
end

demo = read_lines (fullfile (work, 'demo.txt'));
if ! isempty (demo)
  evalc ('r = tilevista_demo (demo{1}, str2double (demo{2}), str2double (demo{3}), demo{4});');
  fid = fopen (fullfile (work, 'demo_atoms.txt'), 'w');
  fprintf (fid, '%d\n', r.atoms);
  fclose (fid);
  fid = fopen (fullfile (work, 'demo_psnr.txt'), 'w');
  fprintf (fid, '%s\n', num2hex (r.reachedPsnr));
  fclose (fid);
end

rule = read_lines (fullfile (work, 'tol_rule.txt'));
if ! isempty (rule)
  warning ('error', 'TILEVISTA:tolLooksLikePsnr');
  fid = fopen (fullfile (work, 'tol_rule.out'), 'w');
  for k = 1:numel (rule)
    v = str2double (strsplit (rule{k}));
    told = false;
    try
      tilevista_psnr_for_tol (v(2), v(1), v(3));
    catch err
      told = strcmp (err.identifier, 'TILEVISTA:tolLooksLikePsnr');
    end
    fprintf (fid, '%d\n', told);
  end
  fclose (fid);
end

choices = read_lines (fullfile (work, 'dictionaries.txt'));
for k = 1:numel (choices)
  parts = regexp (choices{k}, '^(\d+) (.*)$', 'tokens', 'once');
  name = fullfile (work, sprintf ('dictionary_%d', k));
  try
    [D, info] = tilevista_dictionary (parts{2}, str2double (parts{1}));
  catch err
    fid = fopen ([name '.id'], 'w');
    fwrite (fid, err.identifier, 'char');
    fclose (fid);
    fid = fopen ([name '.msg'], 'w');
    fwrite (fid, err.message, 'char');
    fclose (fid);
    continue;
  end
  fid = fopen ([name '.bin'], 'w');
  fwrite (fid, D, 'double');
  fclose (fid);
  fid = fopen ([name '.txt'], 'w');
  fprintf (fid, '%s\n', info.description);
  for j = 1:info.atoms
    fprintf (fid, '%s|%s|%d\n', info.family{j}, info.parameter{j}, info.number(j));
  end
  d = info.dropped;
  for j = 1:numel (d.repeats)
    fprintf (fid, '%s|%s|%d|%d\n', d.family{j}, d.parameter{j}, d.number(j), d.repeats(j));
  end
  fclose (fid);
end

codec = read_lines (fullfile (work, 'codec.txt'));
for k = 1:numel (codec)
  f = strsplit (codec{k}, '|', 'CollapseDelimiters', false);
  options = {'block', [str2double(f{4}) str2double(f{5})]};
  targets = {'psnr', 'bpp'};
  for j = 1:2
    if str2double (f{1 + j}) > 0
      options = [options, {targets{j}, str2double(f{1 + j})}];
    end
  end
  if strcmp (f{7}, 'matrix')
    options = [options, {'dictionary', tilevista_dictionary(f{6}, str2double (f{4}))}];
  elseif ! isempty (f{6})
    options = [options, {'dictionary', f{6}}];
  end
  bytes = tilevista_encode (imread (f{1}), options{:});
  fid = fopen (fullfile (work, sprintf ('codec_%d.tvc', k)), 'w');
  fwrite (fid, bytes, 'uint8');
  fclose (fid);
  fid = fopen (fullfile (work, sprintf ('codec_%d.img', k)), 'w');
  fwrite (fid, tilevista_decode (bytes), 'uint8');
  fclose (fid);
end
