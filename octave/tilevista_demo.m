function result = tilevista_demo(imagePath, blockSize, targetPsnr, outDir, dictionary, varargin)
%TILEVISTA_DEMO  Approximate an image to a target PSNR and write the pictures.
%   TILEVISTA_DEMO() approximates the bundled image camera.png in 8 x 8
%   blocks over redundant cosine dictionaries of 16 atoms per direction,
%   to a target PSNR of 45 dB, with one call of the module (in Octave
%   tilevista_pursuit, which shows its progress on the terminal while it
%   runs; else TILEVISTA_Mex). It prints a short report and writes three
%   PNG files into output/demo/ of the project
%   (with the installed package: into tilevista_demo/ of the current folder):
%     <name>_approx.png        the approximation, rounded to the image's range
%     <name>_side_by_side.png  original | approximation | error, the error
%                              magnified 10 times around mid-grey
%     <name>_atoms_per_block.png
%                              the atoms each block took, as a colour map of
%                              the block grid at the image's size (all
%                              channels of a block together), with a colour
%                              bar: where the global choice put the atoms
%
%   TILEVISTA_DEMO(IMAGEPATH, BLOCKSIZE, TARGETPSNR, OUTDIR) does the same
%   for another image file (any size, grey or colour: all channels go into
%   one call), block size (a scalar or [ROWS COLS]; the dictionaries then
%   have twice as many atoms as the block side), target PSNR in dB, and
%   output folder. Empty or missing arguments keep the defaults.
%
%   TILEVISTA_DEMO(IMAGEPATH, BLOCKSIZE, TARGETPSNR, OUTDIR, DICTIONARY)
%   approximates over other dictionaries: a description string such as
%   'cosine:16+legendre:8+haar+delta' (TILEVISTA_DICTIONARY, built for the
%   block rows along Dy and the block columns along Dx), 'ROWS/COLUMNS' (two
%   descriptions around a '/', one each), a matrix for both directions, or
%   a cell {DY, DX} of two, each a description or a matrix.
%
%   RESULT = TILEVISTA_DEMO(...) also returns the figures of the report in a
%   struct (fields image, imageSize, blockSize, dictionarySizes,
%   dictionaries (the two directions' descriptions or 'matrix N x K'), targetPsnr,
%   tol, reachedPsnr, atoms, atomsPerBlock, sparsityRatio, seconds, threads,
%   module, stop, files). atomsPerBlock is the grid of blocks (rows of blocks x
%   columns of blocks) holding the atoms of each, summed over the channels;
%   threads is the number of threads the call used (see TILEVISTA_THREADS);
%   module is the file of TILEVISTA_Mex that ran: in Octave the function file
%   TILEVISTA_Mex.oct or the MEX file TILEVISTA_Mex.mex, whichever the path
%   reaches first.
%
%   TILEVISTA_Mex must be on the path: pkg load tilevista, or in the
%   project tree build it with tilevista_build (not in the package) and add
%   its folder; from a shell, scripts/run-demo builds it and runs this
%   function.
%
%   Example:
%     tilevista_demo('my_photo.png', 16, 38)
%
%   Errors and warnings (ERR.identifier, or the warning's; cause, then cure):
%     TILEVISTA:argumentCount  more than 5 inputs.
%     TILEVISTA:moduleMissing  TILEVISTA_Mex is not on the path: pkg load
%                              tilevista, or build it with tilevista_build
%                              and add its folder.
%     TILEVISTA:blockSides     BLOCKSIZE is neither a scalar nor [ROWS COLS].
%     TILEVISTA:imageFile      IMAGEPATH cannot be read as an image: the
%                              message gives imread's reason.
%     TILEVISTA:outputFolder   OUTDIR cannot be created: choose a folder
%                              you may write.
%     TILEVISTA:peakExceeded   (warning) the image holds values above the
%                              largest of its class (a double image above 1):
%                              save it as 8 or 16 bits.
%     TILEVISTA:dictionaryPair DICTIONARY is a cell of other than two, or
%                              a string with more than one '/'.
%   and those of TILEVISTA_BLOCKS for the block sides, of
%   TILEVISTA_DICTIONARY for a description (TILEVISTA:dictionary) and of
%   TILEVISTA_TOL_FOR_PSNR for TARGETPSNR.
%
%   See also TILEVISTA_MEX, TILEVISTA_BLOCKS, TILEVISTA_TOL_FOR_PSNR.

  argument_count ('tilevista_demo', nargin, 0, 5);
  % The project keeps the sample image in data/; the package beside this file.
  here = fileparts (mfilename ('fullpath'));
  root = fileparts (here);
  packaged = exist (fullfile (here, 'data', 'camera.png'), 'file') == 2;
  if nargin < 1 || isempty (imagePath)
    if packaged
      imagePath = fullfile (here, 'data', 'camera.png');
    else
      imagePath = fullfile (root, 'data', 'camera.png');
    end
  end
  if nargin < 2 || isempty (blockSize)
    blockSize = 8;
  end
  if nargin < 3 || isempty (targetPsnr)
    targetPsnr = 45;
  end
  if nargin < 4 || isempty (outDir)
    if packaged
      outDir = fullfile (pwd (), 'tilevista_demo');
    else
      outDir = fullfile (root, 'output', 'demo');
    end
  end
  if isscalar (blockSize)
    blockSize = [blockSize blockSize];
  elseif numel (blockSize) ~= 2
    error ('TILEVISTA:blockSides', ...
           'tilevista_demo: BLOCKSIZE must be one side or [ROWS COLS]; it has %d elements', ...
           numel (blockSize));
  end
  if exist ('TILEVISTA_Mex') ~= 3
    module_missing ('tilevista_demo');
  end

  try
    [img, map] = imread (imagePath);
  catch err
    error ('TILEVISTA:imageFile', 'tilevista_demo: cannot read %s as an image: %s', ...
           imagePath, err.message);
  end
  if ~isempty (map)
    % An indexed (palette) image: its colours, not the indices, are the picture.
    img = uint8 (round (255 * ind2rgb (img, map)));
  end
  peak = peak_in_force ('tilevista_demo', img);
  [blocks, info] = tilevista_blocks (img, blockSize(1), blockSize(2));
  if nargin < 5 || isempty (dictionary)
    Dy = tilevista_cosine_dictionary (blockSize(1), 2 * blockSize(1));
    Dx = tilevista_cosine_dictionary (blockSize(2), 2 * blockSize(2));
    names = {sprintf('cosine:%d', 2 * blockSize(1)), sprintf('cosine:%d', 2 * blockSize(2))};
  else
    [Dy, Dx, names] = door_dictionaries ('tilevista_demo', dictionary, blockSize(1), ...
                                         blockSize(2));
  end
  tol = tilevista_tol_for_psnr (img, targetPsnr, peak);

  module = which ('TILEVISTA_Mex');
  [~, ~, extension] = fileparts (module);
  kind = 'MEX file';
  if strcmp (extension, '.oct')
    kind = 'Octave function file';
  end
  stops = struct ('tol', 'target reached (total squared error below tol)', ...
                  'tol2', 'no atom left that improves any block', ...
                  'budget', 'atom budget spent');
  started = tic ();
  if exist ('tilevista_pursuit') == 3
    % The module's own struct function: its progress on the terminal while
    % it runs, and the stop rule and threads from its result.
    [~, s] = evalc ('tilevista_pursuit (blocks, Dy, Dx, tol, [], "progress", true)');
    seconds = toc (started);
    out = {s.approximations, s.yIndices};
    atoms = s.totalAtoms;
    stop = stops.(s.stop);
    threads = s.threads;
  else
    out = cell (1, 7);
    console = evalc ('[out{1:7}] = TILEVISTA_Mex (blocks, Dy, Dx, tol);');
    seconds = toc (started);
    atoms = out{7};
    if ~isempty (strfind (console, 'We have have reached (tol)'))
      stop = stops.tol;
    elseif ~isempty (strfind (console, 'stopped, max('))
      stop = stops.tol2;
    else
      stop = stops.budget;
    end
    % The module never uses more threads than blocks.
    threads = min (tilevista_threads (), numel (blocks));
  end

  approx = tilevista_assemble (out{1}, info);
  reached = tilevista_psnr (img, approx, peak);
  ratio = tilevista_sparsity_ratio (numel (img), atoms);
  channels = size (img, 3);
  perBlock = sum (reshape (cellfun (@numel, out{2}), [info.grid, channels]), 3);

  if ~exist (outDir, 'dir')
    [ok, msg] = mkdir (outDir);
    if ~ok
      error ('TILEVISTA:outputFolder', 'tilevista_demo: cannot create %s: %s', outDir, msg);
    end
  end
  [~, name] = fileparts (imagePath);
  approxFile = fullfile (outDir, [name '_approx.png']);
  sideFile = fullfile (outDir, [name '_side_by_side.png']);
  atomsFile = fullfile (outDir, [name '_atoms_per_block.png']);
  gain = 10;
  toImage = @(x) uint8 (round (255 * min (max (x / peak, 0), 1)));
  original = double (img);
  errorPicture = peak / 2 + gain * (original - approx);
  gap = peak * ones (size (img, 1), 4, size (img, 3));
  imwrite (toImage (approx), approxFile);
  imwrite (toImage ([original, gap, approx, gap, errorPicture]), sideFile);
  imwrite (atomMap (perBlock, blockSize, [size(img, 1) size(img, 2)]), atomsFile);

  fprintf ('\nTILEVISTA demo\n');
  fprintf ('  image            %s\n', imagePath);
  fprintf ('  size             %d x %d, %d channel%s, %s\n', size (img, 1), size (img, 2), ...
           channels, plural (channels), class (img));
  fprintf ('  blocks           %d x %d, %d blocks in one call\n', blockSize(1), blockSize(2), ...
           numel (blocks));
  fprintf ('  dictionaries     Y %d x %d %s, X %d x %d %s\n', size (Dy), names{1}, size (Dx), ...
           names{2});
  fprintf ('  target PSNR      %.2f dB (tol %.6g)\n', targetPsnr, tol);
  fprintf ('  reached PSNR     %.2f dB, %s\n', reached, stop);
  fprintf ('  atoms            %d\n', atoms);
  fprintf ('  atoms per block  %d to %d, %.1f on average\n', min (perBlock(:)), ...
           max (perBlock(:)), mean (perBlock(:)));
  fprintf ('  sparsity ratio   %.2f pixels per atom\n', ratio);
  fprintf ('  module           %s (%s)\n', module, kind);
  fprintf ('  module call      %.3f s, %d thread%s\n', seconds, threads, plural (threads));
  fprintf ('  output folder    %s\n', outDir);
  fprintf ('    %s\n', [name '_approx.png']);
  fprintf ('    %s (original | approximation | error x%d)\n', [name '_side_by_side.png'], gain);
  fprintf ('    %s (atoms per block, colour bar from 0 to %d)\n', [name '_atoms_per_block.png'], ...
           max (perBlock(:)));

  if nargout > 0
    result = struct ('image', imagePath, 'imageSize', size (img), 'blockSize', blockSize, ...
                     'dictionarySizes', [size(Dy); size(Dx)], 'dictionaries', {names}, ...
                     'targetPsnr', targetPsnr, ...
                     'tol', tol, 'reachedPsnr', reached, 'atoms', atoms, ...
                     'atomsPerBlock', perBlock, 'sparsityRatio', ratio, 'seconds', seconds, ...
                     'threads', threads, 'module', module, 'stop', stop, ...
                     'files', {{approxFile, sideFile, atomsFile}});
  end
end

function picture = atomMap (perBlock, blockSize, imageSize)
  % The atoms of each block as a colour map at the image's size, then a
  % colour bar from 0 (bottom) to the largest count (top), labelled at both
  % ends and in the middle. Drawn pixel by pixel, so that no graphics
  % toolkit is needed.
  if exist ('viridis') == 2
    colours = viridis (256);  % Octave
  else
    colours = parula (256);   % MATLAB
  end
  top = max ([perBlock(:); 1]);
  level = @(v) 1 + round (255 * v / top);
  map = kron (level (perBlock), ones (blockSize));
  map = map(1:imageSize(1), 1:imageSize(2));

  H = imageSize(1);
  scale = max (1, floor (H / 128));     % of the 3 x 5 digits
  labels = unique ([top, round(top / 2), 0], 'stable');
  gapWidth = max (2, round (imageSize(2) / 64));
  barWidth = max (4, round (imageSize(2) / 24));
  textWidth = 2 * scale + numel (sprintf ('%d', top)) * 4 * scale;
  bar = repmat (level (linspace (top, 0, H)'), 1, barWidth);
  index = [map, zeros(H, gapWidth), bar, zeros(H, textWidth)];
  picture = uint8 (255 * ones (H, size (index, 2), 3));
  for c = 1:3
    channel = picture(:, :, c);
    painted = index > 0;
    channel(painted) = round (255 * colours(index(painted), c));
    picture(:, :, c) = channel;
  end

  % Labels in black, centred on their level of the bar, kept inside with a
  % white margin of a digit's stroke above and below, so that the end labels
  % do not run into the picture's edge.
  left = imageSize(2) + gapWidth + barWidth + 2 * scale;
  for value = labels
    glyphs = digitBitmap (sprintf ('%d', value), scale);
    row = round ((H - 1) * (1 - value / top)) + 1 - floor (size (glyphs, 1) / 2);
    row = min (max (row, 1 + scale), H - size (glyphs, 1) + 1 - scale);
    if row < 1 + scale
      continue;  % an image too short for the digits
    end
    rows = row : row + size (glyphs, 1) - 1;
    cols = left : left + size (glyphs, 2) - 1;
    for c = 1:3
      patch = picture(rows, cols, c);
      patch(glyphs) = 0;
      picture(rows, cols, c) = patch;
    end
  end
end

function bitmap = digitBitmap (digits, scale)
  % Logical mask of a decimal number in a 3 x 5 pixel font with one blank
  % column between digits, enlarged scale times.
  font = {'111101101101111', '010110010010111', '111001111100111', '111001111001111', ...
          '101101111001001', '111100111001111', '111100111101111', '111001001001001', ...
          '111101111101111', '111101111001111'};
  bitmap = false (5, 0);
  for d = digits
    glyph = reshape (font{d - '0' + 1} == '1', 3, 5)';
    bitmap = [bitmap, glyph, false(5, 1)];
  end
  bitmap = logical (kron (bitmap(:, 1:end-1), ones (scale)));
end

function s = plural (n)
  if n == 1
    s = '';
  else
    s = 's';
  end
end

%!test
%! % A small colour image of odd size, 4 x 4 blocks, into a scratch folder:
%! % the target is reached and both pictures are written with the expected
%! % sizes (side by side: three panels and two 4-pixel gaps).
%! outDir = tempname ();
%! imageFile = [tempname() '.png'];
%! unwind_protect
%!   [x, y] = meshgrid (1:13, 1:10);
%!   img = uint8 (cat (3, 10 * x, 20 * y, 5 * (x + y)));
%!   imwrite (img, imageFile);
%!   text = evalc ('r = tilevista_demo (imageFile, 4, 35, outDir);');
%!   assert (r.reachedPsnr >= 35);
%!   assert (r.dictionarySizes, [4 8; 4 8]);
%!   assert (r.atoms > 0);
%!   assert (! isempty (strfind (text, 'reached PSNR')));
%!   assert (! isempty (strfind (text, outDir)));
%!   a = imread (r.files{1});
%!   assert (size (a), [10 13 3]);
%!   s = imread (r.files{2});
%!   assert (size (s), [10 3*13+8 3]);
%!   % The file holds the approximation rounded to uint8: its PSNR can only
%!   % lose what rounding adds, at most 0.5 per pixel.
%!   assert (tilevista_psnr (img, a) > 30);
%!   % Atoms per block: a 3 x 4 grid of the three channels' atoms together,
%!   % drawn at the image's size, each block in the colour of its count on a
%!   % scale from 0 to the largest count, then the colour bar.
%!   assert (size (r.atomsPerBlock), [3 4]);
%!   assert (sum (r.atomsPerBlock(:)), r.atoms);
%!   m = imread (r.files{3});
%!   assert (size (m, 1), 10);
%!   assert (size (m, 2) > 13);
%!   % The labels right of the bar, black, keep white around them: none runs
%!   % into an edge of the picture.
%!   [inkRow, inkCol] = find (all (m(:, 14:end, :) == 0, 3));
%!   assert (! isempty (inkRow));
%!   assert (min (inkRow) > 1 && max (inkRow) < 10 && max (inkCol) < size (m, 2) - 13);
%!   colours = viridis (256);
%!   for i = 1:3
%!     for j = 1:4
%!       block = double (m((i-1)*4+1 : min (i*4, 10), (j-1)*4+1 : min (j*4, 13), :));
%!       expected = round (255 * colours(1 + round (255 * r.atomsPerBlock(i,j) / max (r.atomsPerBlock(:))), :));
%!       assert (reshape (block, [], 3), repmat (expected, numel (block) / 3, 1));
%!     end
%!   end
%!   assert (r.threads, min (tilevista_threads (), 36));
%!   % The module that ran is the one the path reaches, and the report says so.
%!   assert (r.module, which ('TILEVISTA_Mex'));
%!   assert (! isempty (regexp (text, ['module +' regexptranslate('escape', r.module) ...
%!                                     ' \((Octave function file|MEX file)\)'], 'once')));
%!   assert (! isempty (strfind (text, sprintf ('%d thread', r.threads))));
%! unwind_protect_cleanup
%!   confirm_recursive_rmdir (false, 'local');
%!   if exist (outDir, 'dir'), rmdir (outDir, 's'); end
%!   if exist (imageFile, 'file'), delete (imageFile); end
%! end_unwind_protect

%!test
%! % A palette image is approximated in its colours, not its indices; noise
%! % at an unreachable target fills every block, which ends the pursuit on
%! % the budget of all blocks' capacity, not on tol2 (whose name the banner
%! % also prints).
%! outDir = tempname ();
%! imageFile = [tempname() '.png'];
%! unwind_protect
%!   map = [0 0 0; 1 0 0; 0 0.5 1];
%!   indices = uint8 (repmat ([0 1 2 1], 4, 2));
%!   imwrite (indices, map, imageFile);
%!   evalc ('r = tilevista_demo (imageFile, 4, 200, outDir);');
%!   a = imread (r.files{1});
%!   assert (size (a), [4 8 3]);
%!   assert (max (abs (double (a(:)) - double (uint8 (255 * ind2rgb (indices, map))(:)))) <= 1);
%!   rand ('seed', 3);
%!   imwrite (uint8 (255 * rand (8, 8)), imageFile);
%!   evalc ('r = tilevista_demo (imageFile, 4, Inf, outDir);');
%!   assert (r.atoms, 4 * 16);
%!   assert (r.stop, 'atom budget spent');
%! unwind_protect_cleanup
%!   confirm_recursive_rmdir (false, 'local');
%!   if exist (outDir, 'dir'), rmdir (outDir, 's'); end
%!   if exist (imageFile, 'file'), delete (imageFile); end
%! end_unwind_protect
