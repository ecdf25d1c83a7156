function [blocks, info] = tilevista_blocks(image, blockRows, blockCols, varargin)
%TILEVISTA_BLOCKS  Cut an image into a cell array of equal blocks.
%   [BLOCKS, INFO] = TILEVISTA_BLOCKS(IMAGE, BLOCKROWS, BLOCKCOLS) cuts IMAGE
%   (H x W for a grey image, H x W x C for C channels) into blocks of
%   BLOCKROWS x BLOCKCOLS pixels, ready to be passed to TILEVISTA_Mex.
%   BLOCKCOLS defaults to BLOCKROWS.
%
%   When H or W is not a multiple of the block size, the image is padded at
%   the bottom and on the right by repeating its last row and last column, so
%   that every block is full. INFO records how to crop the result back.
%
%   BLOCKS is a d x (nc*C) cell array with d = ceil(H/BLOCKROWS) and
%   nc = ceil(W/BLOCKCOLS). BLOCKS{i,j} of channel c is stored at
%   BLOCKS{i, (c-1)*nc + j} and holds the padded image rows
%   (i-1)*BLOCKROWS+1 : i*BLOCKROWS and columns (j-1)*BLOCKCOLS+1 :
%   j*BLOCKCOLS of that channel. Its linear (column-major) order therefore
%   runs down the block columns of channel 1, then channel 2, and so on. All
%   channels go into one cell so that one call of the module chooses its
%   atoms across all channels at once.
%
%   Every block is a real double matrix. Values are converted to double
%   without rescaling: a uint8 image gives blocks with values 0 to 255.
%
%   INFO is a struct with the fields
%     imageSize   [H W C], the size of IMAGE (C = 1 for a grey image)
%     paddedSize  [H2 W2], the padded height and width
%     blockSize   [BLOCKROWS BLOCKCOLS]
%     grid        [d nc], blocks per column and per row of one channel
%     class       the class of IMAGE
%
%   Borders: the toolbox and the Python package (tilevista.image_blocks,
%   approximate_image and the survey) all pad this way, so every pixel of
%   the image is approximated and measured, and a PSNR is always that of
%   the image's own pixels (TILEVISTA_PSNR on the assembled result;
%   TILEVISTA_TOL_FOR_PSNR counts the image's pixels, not the padding's).
%
%   Example:
%     img = imread('camera.png');
%     [blocks, info] = tilevista_blocks(img, 8);
%     back = tilevista_assemble(blocks, info);   % equals double(img)
%
%   Errors (ERR.identifier; cause, then cure):
%     TILEVISTA:argumentCount  fewer than 2 or more than 3 inputs.
%     TILEVISTA:image          IMAGE is not a non-empty real numeric or
%                              logical H x W or H x W x C array (a cell, a
%                              complex or sparse array, 4-D data): pass the
%                              image's pixel values, e.g. imread's result.
%     TILEVISTA:blockRows      BLOCKROWS is not a positive whole number
%                              (0, 1.5, [8 8], NaN): give one side, e.g. 8.
%     TILEVISTA:blockCols      BLOCKCOLS likewise.
%
%   See also TILEVISTA_ASSEMBLE, TILEVISTA_MEX.

  argument_count ('tilevista_blocks', nargin, 2, 3);
  if nargin < 3
    blockCols = blockRows;
  end
  if ~(isnumeric (image) || islogical (image)) || ~isreal (image) || issparse (image) ...
      || isempty (image) || ndims (image) > 3
    error ('TILEVISTA:image', ...
           'tilevista_blocks: IMAGE must be a non-empty real H x W or H x W x C array');
  end
  checkSide (blockRows, 'BLOCKROWS', 'TILEVISTA:blockRows');
  checkSide (blockCols, 'BLOCKCOLS', 'TILEVISTA:blockCols');

  [H, W, C] = size (image);
  d = ceil (H / blockRows);
  nc = ceil (W / blockCols);
  % Replicate the last row and column into the padding.
  rowIndex = min (1:d*blockRows, H);
  colIndex = min (1:nc*blockCols, W);
  padded = double (image(rowIndex, colIndex, :));

  blocks = cell (d, nc * C);
  for c = 1:C
    for j = 1:nc
      cols = (j-1)*blockCols+1 : j*blockCols;
      for i = 1:d
        blocks{i, (c-1)*nc + j} = padded((i-1)*blockRows+1 : i*blockRows, cols, c);
      end
    end
  end

  info = struct ('imageSize', [H W C], 'paddedSize', [d*blockRows nc*blockCols], ...
                 'blockSize', [blockRows blockCols], 'grid', [d nc], ...
                 'class', class (image));
end

function checkSide (value, name, identifier)
  if ~isnumeric (value) || ~isscalar (value) || ~isreal (value) || value < 1 ...
      || value ~= fix (value) || ~isfinite (value)
    error (identifier, 'tilevista_blocks: %s must be a positive integer', name);
  end
end

%!test
%! % A 4 x 6 image in 2 x 3 blocks: a 2 x 2 grid, column-major like the image.
%! img = reshape (1:24, 4, 6);
%! [b, info] = tilevista_blocks (img, 2, 3);
%! assert (size (b), [2 2]);
%! assert (b{1,1}, img(1:2, 1:3));
%! assert (b{2,1}, img(3:4, 1:3));
%! assert (b{1,2}, img(1:2, 4:6));
%! assert (b{2,2}, img(3:4, 4:6));
%! assert (info.imageSize, [4 6 1]);
%! assert (info.paddedSize, [4 6]);
%! assert (info.grid, [2 2]);

%!test
%! % Sizes that are not multiples: the last row and column are repeated.
%! img = magic (5);
%! [b, info] = tilevista_blocks (img, 2);
%! assert (size (b), [3 3]);
%! assert (info.paddedSize, [6 6]);
%! assert (b{3,3}, [img(5,5) img(5,5); img(5,5) img(5,5)]);
%! assert (b{3,1}, [img(5,1:2); img(5,1:2)]);
%! assert (b{1,3}, [img(1:2,5) img(1:2,5)]);

%!test
%! % uint8 values are kept as they are, in doubles.
%! img = uint8 ([0 255; 17 3]);
%! b = tilevista_blocks (img, 1, 2);
%! assert (class (b{1}), 'double');
%! assert (b{1}, [0 255]);
%! assert (b{2}, [17 3]);

%!test
%! % Colour: channel c's blocks follow those of channel c-1 in one 2-D cell.
%! img = cat (3, ones (4, 4), 2 * ones (4, 4), 3 * ones (4, 4));
%! [b, info] = tilevista_blocks (img, 2, 4);
%! assert (size (b), [2 3]);
%! assert (info.imageSize, [4 4 3]);
%! assert (b{2,1}, ones (2, 4));
%! assert (b{1,2}, 2 * ones (2, 4));
%! assert (b{2,3}, 3 * ones (2, 4));

%!test
%! % A block larger than the image: one block, padded both ways.
%! b = tilevista_blocks ([1 2], 2, 3);
%! assert (b, {[1 2 2; 1 2 2]});

%!error <BLOCKROWS must be a positive integer> tilevista_blocks (ones (4), 0)
%!error <BLOCKCOLS must be a positive integer> tilevista_blocks (ones (4), 2, 1.5)
%!error <IMAGE must be> tilevista_blocks ([], 2)
%!error <IMAGE must be> tilevista_blocks ({1}, 2)
%!error <IMAGE must be> tilevista_blocks ([1i 2], 1)
%!error <takes 2 to 3 inputs; it was given 1> tilevista_blocks (ones (4))
