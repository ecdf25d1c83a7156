function image = tilevista_assemble(blocks, info, varargin)
%TILEVISTA_ASSEMBLE  Put blocks cut by TILEVISTA_BLOCKS together again.
%   IMAGE = TILEVISTA_ASSEMBLE(BLOCKS, INFO) joins the blocks of the cell
%   array BLOCKS, laid out as TILEVISTA_BLOCKS lays them out (d x (nc*C),
%   channel c in columns (c-1)*nc+1 to c*nc), and crops away the padding
%   recorded in INFO. IMAGE is a double array of the original size
%   INFO.imageSize (H x W, or H x W x C for C channels).
%
%   BLOCKS is typically the first output of TILEVISTA_Mex, the approximated
%   blocks, which has the layout of its input.
%
%   Example:
%     [blocks, info] = tilevista_blocks(img, 8);
%     approx = tilevista_assemble(blocks, info);
%
%   Errors (ERR.identifier; cause, then cure):
%     TILEVISTA:argumentCount  not exactly 2 inputs.
%     TILEVISTA:layout         INFO is not the struct TILEVISTA_BLOCKS
%                              returned: pass its second output.
%     TILEVISTA:blockGrid      BLOCKS is not a cell of the grid INFO
%                              records (d x nc*C): pass the blocks of that
%                              cut, e.g. the first output of TILEVISTA_Mex.
%     TILEVISTA:blockSize      a block has another size than INFO's blocks:
%                              the message names it; keep every block's size.
%
%   See also TILEVISTA_BLOCKS, TILEVISTA_MEX.

  argument_count ('tilevista_assemble', nargin, 2, 2);
  if ~isstruct (info) || ~all (isfield (info, {'imageSize', 'blockSize', 'grid'}))
    error ('TILEVISTA:layout', ...
           'tilevista_assemble: INFO must be the struct returned by tilevista_blocks');
  end
  br = info.blockSize(1);
  bc = info.blockSize(2);
  d = info.grid(1);
  nc = info.grid(2);
  C = info.imageSize(3);
  if ~iscell (blocks) || ~isequal (size (blocks), [d, nc*C])
    error ('TILEVISTA:blockGrid', 'tilevista_assemble: BLOCKS must be a %d x %d cell array', ...
           d, nc*C);
  end

  padded = zeros (d*br, nc*bc, C);
  for c = 1:C
    for j = 1:nc
      for i = 1:d
        block = blocks{i, (c-1)*nc + j};
        if ~isequal (size (block), [br bc])
          error ('TILEVISTA:blockSize', ...
                 'tilevista_assemble: block (%d,%d) is %d x %d, expected %d x %d', ...
                 i, (c-1)*nc + j, size (block, 1), size (block, 2), br, bc);
        end
        padded((i-1)*br+1 : i*br, (j-1)*bc+1 : j*bc, c) = block;
      end
    end
  end
  image = padded(1:info.imageSize(1), 1:info.imageSize(2), :);
end

%!test
%! % Cutting and assembling give back the image, for sizes that do and do
%! % not divide, grey and colour.
%! for sz = {[8 8], [7 10], [5 3 3], [1 1]}
%!   img = reshape (mod ((1:prod (sz{1})) * 37, 251), sz{1});
%!   for bs = [1 2; 3 2; 4 4]'
%!     [b, info] = tilevista_blocks (img, bs(1), bs(2));
%!     assert (tilevista_assemble (b, info), img);
%!   end
%! end

%!test
%! % The result is double even for integer input.
%! img = uint8 (magic (4));
%! [b, info] = tilevista_blocks (img, 3);
%! out = tilevista_assemble (b, info);
%! assert (class (out), 'double');
%! assert (out, double (img));

%!test
%! % Changes to a block appear at its place in the image.
%! [b, info] = tilevista_blocks (zeros (4, 4), 2);
%! b{2,1} = ones (2);
%! out = tilevista_assemble (b, info);
%! assert (out, [zeros(2,4); ones(2,2) zeros(2,2)]);

%!error <BLOCKS must be a 2 x 2 cell> tilevista_assemble (cell (2, 1), struct ('imageSize', [4 4 1], 'blockSize', [2 2], 'grid', [2 2]))
%!error <block \(1,2\) is 1 x 2> tilevista_assemble ({zeros(2), [1 2]}, struct ('imageSize', [2 4 1], 'blockSize', [2 2], 'grid', [1 2]))
%!error <INFO must be> tilevista_assemble ({1}, 1)
