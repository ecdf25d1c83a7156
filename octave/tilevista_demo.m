function result = tilevista_demo(imagePath, blockSize, targetPsnr, outDir)
%TILEVISTA_DEMO  Approximate an image to a target PSNR and write the pictures.
%   TILEVISTA_DEMO() approximates the bundled image data/camera.png in 8 x 8
%   blocks over redundant cosine dictionaries of 16 atoms per direction,
%   to a target PSNR of 45 dB, with one call of TILEVISTA_Mex. It prints a
%   short report and writes two PNG files into output/demo/ of the project:
%     <name>_approx.png        the approximation, rounded to the image's range
%     <name>_side_by_side.png  original | approximation | error, the error
%                              magnified 10 times around mid-grey
%
%   TILEVISTA_DEMO(IMAGEPATH, BLOCKSIZE, TARGETPSNR, OUTDIR) does the same
%   for another image file (any size, grey or colour: all channels go into
%   one call), block size (a scalar or [ROWS COLS]; the dictionaries then
%   have twice as many atoms as the block side), target PSNR in dB, and
%   output folder. Empty or missing arguments keep the defaults.
%
%   RESULT = TILEVISTA_DEMO(...) also returns the figures of the report in a
%   struct (fields image, imageSize, blockSize, dictionarySizes, targetPsnr,
%   tol, reachedPsnr, atoms, sparsityRatio, seconds, stop, files).
%
%   TILEVISTA_Mex must be on the path (see TILEVISTA_BUILD); from a shell,
%   scripts/run-demo builds it and runs this function.
%
%   Example:
%     tilevista_demo('my_photo.png', 16, 38)
%
%   See also TILEVISTA_MEX, TILEVISTA_BLOCKS, TILEVISTA_TOL_FOR_PSNR.

  root = fileparts (fileparts (mfilename ('fullpath')));
  if nargin < 1 || isempty (imagePath)
    imagePath = fullfile (root, 'data', 'camera.png');
  end
  if nargin < 2 || isempty (blockSize)
    blockSize = 8;
  end
  if nargin < 3 || isempty (targetPsnr)
    targetPsnr = 45;
  end
  if nargin < 4 || isempty (outDir)
    outDir = fullfile (root, 'output', 'demo');
  end
  if isscalar (blockSize)
    blockSize = [blockSize blockSize];
  end
  if exist ('TILEVISTA_Mex') ~= 3
    error ('tilevista_demo: the module TILEVISTA_Mex is not on the path; build it with tilevista_build and add its folder (build/octave)');
  end

  img = imread (imagePath);
  if isinteger (img)
    peak = double (intmax (class (img)));
  else
    peak = 1;
  end
  [blocks, info] = tilevista_blocks (img, blockSize(1), blockSize(2));
  Dy = tilevista_cosine_dictionary (blockSize(1), 2 * blockSize(1));
  Dx = tilevista_cosine_dictionary (blockSize(2), 2 * blockSize(2));
  tol = tilevista_tol_for_psnr (img, targetPsnr, peak);

  out = cell (1, 7);
  started = tic ();
  console = evalc ('[out{1:7}] = TILEVISTA_Mex (blocks, Dy, Dx, tol);');
  seconds = toc (started);
  if ~isempty (strfind (console, 'We have have reached (tol)'))
    stop = 'target reached (total squared error below tol)';
  elseif ~isempty (strfind (console, 'tol2'))
    stop = 'no atom left that improves any block';
  else
    stop = 'atom budget spent';
  end

  approx = tilevista_assemble (out{1}, info);
  reached = tilevista_psnr (img, approx, peak);
  atoms = out{7};
  ratio = tilevista_sparsity_ratio (numel (img), atoms);

  if ~exist (outDir, 'dir')
    [ok, msg] = mkdir (outDir);
    if ~ok
      error ('tilevista_demo: cannot create %s: %s', outDir, msg);
    end
  end
  [~, name] = fileparts (imagePath);
  approxFile = fullfile (outDir, [name '_approx.png']);
  sideFile = fullfile (outDir, [name '_side_by_side.png']);
  gain = 10;
  toImage = @(x) uint8 (round (255 * min (max (x / peak, 0), 1)));
  original = double (img);
  errorPicture = peak / 2 + gain * (original - approx);
  gap = peak * ones (size (img, 1), 4, size (img, 3));
  imwrite (toImage (approx), approxFile);
  imwrite (toImage ([original, gap, approx, gap, errorPicture]), sideFile);

  channels = size (img, 3);
  fprintf ('\nTILEVISTA demo\n');
  fprintf ('  image            %s\n', imagePath);
  fprintf ('  size             %d x %d, %d channel%s, %s\n', size (img, 1), size (img, 2), ...
           channels, plural (channels), class (img));
  fprintf ('  blocks           %d x %d, %d blocks in one call\n', blockSize(1), blockSize(2), ...
           numel (blocks));
  fprintf ('  dictionaries     Y %d x %d, X %d x %d, redundant cosine\n', size (Dy), size (Dx));
  fprintf ('  target PSNR      %.2f dB (tol %.6g)\n', targetPsnr, tol);
  fprintf ('  reached PSNR     %.2f dB, %s\n', reached, stop);
  fprintf ('  atoms            %d\n', atoms);
  fprintf ('  sparsity ratio   %.2f pixels per atom\n', ratio);
  fprintf ('  module call      %.3f s\n', seconds);
  fprintf ('  output folder    %s\n', outDir);
  fprintf ('    %s\n', [name '_approx.png']);
  fprintf ('    %s (original | approximation | error x%d)\n', [name '_side_by_side.png'], gain);

  if nargout > 0
    result = struct ('image', imagePath, 'imageSize', size (img), 'blockSize', blockSize, ...
                     'dictionarySizes', [size(Dy); size(Dx)], 'targetPsnr', targetPsnr, ...
                     'tol', tol, 'reachedPsnr', reached, 'atoms', atoms, ...
                     'sparsityRatio', ratio, 'seconds', seconds, 'stop', stop, ...
                     'files', {{approxFile, sideFile}});
  end
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
%! unwind_protect_cleanup
%!   confirm_recursive_rmdir (false, 'local');
%!   if exist (outDir, 'dir'), rmdir (outDir, 's'); end
%!   if exist (imageFile, 'file'), delete (imageFile); end
%! end_unwind_protect
