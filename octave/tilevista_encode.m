function [bytes, report] = tilevista_encode(varargin)
%TILEVISTA_ENCODE  Code an image as a file of bytes (the toolbox's codec).
%   BYTES = TILEVISTA_ENCODE (IMG, 'psnr', P)
%   BYTES = TILEVISTA_ENCODE (IMG, 'bpp', R)
%   BYTES = TILEVISTA_ENCODE (..., 'block', B, 'dictionary', D, ...)
%   [BYTES, REPORT] = TILEVISTA_ENCODE (...)
%   TILEVISTA_ENCODE (..., 'file', F)
%
%   Codes IMG with one call of the block-wise pursuit: each block's atoms
%   and their coefficients in the block's orthonormal basis, quantized with
%   one step and coded with an adaptive range coder (docs/codec.md gives the
%   format and the rate control). TILEVISTA_DECODE makes the image again.
%   Python's tilevista.codec.encode writes the same bytes for the same call
%   on the same machine.
%
%   IMG is rows x cols (grey) or rows x cols x 3 (red, green, blue), of
%   class uint8 (8 bits a sample), uint16 (16 bits) or double. A double
%   image holds samples 0..255 (8 bits), not 0..1: imread's uint8 images and
%   double (imread (...)) alike; with 'bitdepth' N, samples 0..2^N-1. Samples
%   need not be integers; the decoded image has integers.
%
%   Options (name, value pairs):
%     'psnr', P        the smallest PSNR of the decoded image, in dB against
%                      the largest sample (255 for 8 bits)
%     'bpp', R         the largest file, in bits per pixel (rows x cols) over
%                      the whole file; exactly one of 'psnr' and 'bpp'
%     'block', B       block size: B (square) or [ROWS COLS], 1..64 each and
%                      at most 4096 pixels (default 8)
%     'dictionary', D  a description (tilevista_dictionary), the same for
%                      both directions, 'ROWS/COLUMNS', one matrix for both,
%                      or {DY, DX} of two descriptions or two matrices
%                      (default: the orthonormal cosine basis of each block
%                      side, the best measured)
%     'file', F        also writes the bytes to the file F (without an
%                      output asked for, none is returned)
%     'bitdepth', N    bits per sample, 1..8 for uint8 images, 1..16 else
%     'threads', T     threads (0: every processor); the bytes do not
%                      depend on it
%
%   BYTES is a 1 x n uint8 row vector, the whole file. REPORT is a struct
%   measured on the decoded image: psnr (dB; Inf when exact), bpp (8 x
%   bytes / (rows x cols)), bytes, atoms (coded), step (the quantizer's),
%   prefix (atoms of the pursuit's order the coded ones come from),
%   pursuit_atoms, pursuit_seconds and coding_seconds (the pursuit call's
%   time and the rest's). The PSNR reported is the decoded image's, exactly.
%
%   Examples:
%     img = imread ('camera.png');                % any uint8 image
%     [bytes, report] = tilevista_encode (img, 'psnr', 36);
%     printf ('%.3f bpp, %.2f dB\n', report.bpp, report.psnr);
%     tilevista_encode (img, 'bpp', 0.5, 'file', 'camera.tvc');
%     out = tilevista_decode ('camera.tvc');   % uint8, as imread gives
%     bytes = tilevista_encode (double (img), 'psnr', 40, 'block', 16, ...
%                               'dictionary', 'cosine:16+delta');
%
%   Errors (ERR.identifier):
%     TILEVISTA:codecOptions     no target, both, one not finite and above
%                                0, or a bit depth out of range
%     TILEVISTA:codecImage       IMG empty, too large, not rows x cols (x 3),
%                                of another class, or a sample outside the
%                                bit depth's range or not finite
%     TILEVISTA:codecBlockSize   a block side outside 1..64 or above 4096 pixels
%     TILEVISTA:codecDictionary  a description refused, matrices of the wrong
%                                rows, empty or not finite, too many atoms
%     TILEVISTA:dictionaryPair   D neither a text, a matrix nor a pair of two
%                                texts or two matrices
%     TILEVISTA:codecThreads     T outside 0..1024
%     TILEVISTA:codecTarget      no step reaches the PSNR, or no file is as
%                                small as the bits
%     TILEVISTA:option           an unknown option, or a value of the wrong kind
%     TILEVISTA:codecFile        F cannot be written
%     TILEVISTA:codecOutOfMemory memory ran out
%     TILEVISTA:moduleMissing    TILEVISTA_Mex.oct is not on the path (this
%                               help file answers in its place)
%
%   TILEVISTA_ENCODE is a function of the compiled function file
%   TILEVISTA_Mex.oct (Octave only); this file holds its help.
%
%   See also TILEVISTA_DECODE, TILEVISTA_DICTIONARY, TILEVISTA_PSNR.

  module_missing ('tilevista_encode');
end

%!test
%! % Round trips: grey uint8 and colour double images of sizes that are not
%! % multiples of the block; the decoded image is uint8, of the image's size,
%! % with the PSNR reported (at least the target), bit for bit; a target in
%! % bits per pixel gives a file no larger. The file option writes the same
%! % bytes, which decode from the file name as from the bytes; uint16 images
%! % decode to uint16.
%! [x, y] = meshgrid (linspace (0, 1, 45), linspace (0, 1, 37));
%! grey = uint8 (round (120 + 80 * sin (6 * x + 2 * y) + 25 * cos (23 * x .* y)));
%! colour = cat (3, double (grey), 255 - double (grey), round (200 * x));
%! for c = {{grey, 'psnr', 34}, {colour, 'psnr', 38, 'block', [4 8]}, ...
%!          {grey, 'bpp', 1.5, 'dictionary', 'cosine:16+delta/haar'}, ...
%!          {grey, 'psnr', 30, 'dictionary', {eye(8), eye(8)}}}
%!   [bytes, report] = tilevista_encode (c{1}{:});
%!   assert (class (bytes), 'uint8');
%!   assert (rows (bytes), 1);
%!   assert (report.bytes, numel (bytes));
%!   [out, info] = tilevista_decode (bytes);
%!   assert (class (out), 'uint8');
%!   assert (size (out), size (c{1}{1}));
%!   err = double (out) - double (c{1}{1});
%!   % The encoder's form: the samples' peak energy over the summed error
%!   % (exact for integer samples), not the peak over the mean error, which
%!   % may differ in the last place.
%!   assert (10 * log10 (numel (err) * 255^2 / sum (err(:) .^ 2)), report.psnr);
%!   if strcmp (c{1}{2}, 'psnr')
%!     assert (report.psnr >= c{1}{3});
%!   else
%!     assert (8 * numel (bytes) / (37 * 45) <= c{1}{3});
%!   end
%!   assert ([info.rows info.cols info.channels info.bytes], ...
%!           [37 45 size(c{1}{1}, 3) numel(bytes)]);
%! end
%! file = [tempname() '.tvc'];
%! unwind_protect
%!   tilevista_encode (grey, 'psnr', 34, 'file', file);
%!   fid = fopen (file, 'r');
%!   written = fread (fid, Inf, 'uint8=>uint8')';
%!   fclose (fid);
%!   assert (written, tilevista_encode (grey, 'psnr', 34, 'threads', 1));
%!   assert (tilevista_decode (file), tilevista_decode (written));
%! unwind_protect_cleanup
%!   unlink (file);
%! end_unwind_protect
%! deep = uint16 (double (grey) * 257);
%! [out, info] = tilevista_decode (tilevista_encode (deep, 'psnr', 70));
%! assert ([class(out) sprintf(' %d', info.bit_depth)], 'uint16 16');
%! % Errors carry their identifiers: the codec's, the options', the files'.
%! bytes = tilevista_encode (grey, 'psnr', 34);
%! hurt = bytes;
%! hurt(40) = bitxor (hurt(40), 4);
%! for e = {{'TILEVISTA:codecOptions', @() tilevista_encode (grey)}, ...
%!          {'TILEVISTA:codecOptions', @() tilevista_encode (grey, 'psnr', 30, 'bpp', 1)}, ...
%!          {'TILEVISTA:codecImage', @() tilevista_encode (300 * ones (37, 45), 'psnr', 30)}, ...
%!          {'TILEVISTA:codecImage', @() tilevista_encode (int8 (grey), 'psnr', 30)}, ...
%!          {'TILEVISTA:codecImage', @() tilevista_encode (ones (4, 4, 2), 'psnr', 30)}, ...
%!          {'TILEVISTA:codecBlockSize', @() tilevista_encode (grey, 'psnr', 30, 'block', 65)}, ...
%!          {'TILEVISTA:codecDictionary', @() tilevista_encode (grey, 'psnr', 30, 'dictionary', 'cosin:8')}, ...
%!          {'TILEVISTA:codecDictionary', @() tilevista_encode (grey, 'psnr', 30, 'dictionary', eye (4))}, ...
%!          {'TILEVISTA:dictionaryPair', @() tilevista_encode (grey, 'psnr', 30, 'dictionary', {'haar', eye(8)})}, ...
%!          {'TILEVISTA:dictionaryPair', @() tilevista_encode (grey, 'psnr', 30, 'dictionary', 'a/b/c')}, ...
%!          {'TILEVISTA:option', @() tilevista_encode (grey, 'psnr', 30, 'colour', 1)}, ...
%!          {'TILEVISTA:option', @() tilevista_encode (grey, 'psnr', [30 40])}, ...
%!          {'TILEVISTA:option', @() tilevista_encode (grey, 'psnr')}, ...
%!          {'TILEVISTA:codecFile', @() tilevista_encode (grey, 'psnr', 30, 'file', '/nonexistent/x.tvc')}, ...
%!          {'TILEVISTA:codecFile', @() tilevista_decode ('/nonexistent/x.tvc')}, ...
%!          {'TILEVISTA:codecInput', @() tilevista_decode (double (bytes))}, ...
%!          {'TILEVISTA:codecMagic', @() tilevista_decode (uint8 ('not a file of the codec'))}, ...
%!          {'TILEVISTA:codecTruncated', @() tilevista_decode (bytes(1:end-9))}, ...
%!          {'TILEVISTA:codecChecksum', @() tilevista_decode (hurt)}}
%!   try
%!     e{1}{2}();
%!     error ('no error raised, %s expected', e{1}{1});
%!   catch err
%!     assert (err.identifier, e{1}{1});
%!     assert (any (strncmp (err.message, {'tilevista_encode: ', 'tilevista_decode: '}, 18)));
%!   end
%! end
