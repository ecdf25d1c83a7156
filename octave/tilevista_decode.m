function [img, info] = tilevista_decode(varargin)
%TILEVISTA_DECODE  The image of a file of the toolbox's codec.
%   IMG = TILEVISTA_DECODE (BYTES)
%   IMG = TILEVISTA_DECODE (F)
%   [IMG, INFO] = TILEVISTA_DECODE (...)
%
%   Decodes the bytes TILEVISTA_ENCODE (or Python's tilevista.codec.encode)
%   wrote: BYTES a uint8 vector, or F the name of a file. The decoder
%   rebuilds every block's orthonormal vectors from its atoms' indices, so
%   the file holds no basis (docs/codec.md gives the format). Files from
%   anywhere are safe: damaged or hostile bytes give an error with an
%   identifier, never a crash.
%
%   IMG is rows x cols (grey) or rows x cols x 3 (red, green, blue): uint8
%   for files of 1 to 8 bits a sample (what imread gives for the same
%   image), uint16 above; every sample rounded and clipped to the bit
%   depth's range.
%
%   INFO is a struct of what the file says: version, rows, cols, channels,
%   bit_depth, block_rows, block_cols, dictionary_y and dictionary_x (the
%   descriptions, normalised; '' when the file holds matrices), atoms_y and
%   atoms_x (the dictionaries' atoms), step (the quantizer's), vectors (0:
%   the blocks' vectors made by Gram-Schmidt, 1: the atoms themselves),
%   atoms (coded), bytes (of the file) and bpp (8 x bytes / (rows x cols)).
%
%   Example:
%     img = imread ('camera.png');
%     bytes = tilevista_encode (img, 'psnr', 36);
%     [out, info] = tilevista_decode (bytes);
%     printf ('%.3f bpp, %.2f dB\n', info.bpp, tilevista_psnr (img, out, 255));
%
%   Errors (ERR.identifier):
%     TILEVISTA:codecInput      the argument is neither uint8 bytes nor a file name
%     TILEVISTA:codecFile       the file cannot be read, or is above 4 GiB
%     TILEVISTA:codecMagic      not a file of this codec
%     TILEVISTA:codecVersion    a format version this decoder does not read
%     TILEVISTA:codecTruncated  the file ends too early
%     TILEVISTA:codecLength     bytes after the end the header gives
%     TILEVISTA:codecChecksum   the CRC-32 does not match: the file was changed
%     TILEVISTA:codecImageSize, TILEVISTA:codecBlockSize, TILEVISTA:codecDictionary,
%     TILEVISTA:codecQuantizer, TILEVISTA:codecPayload, TILEVISTA:codecBasis
%                               a header field or the payload out of range
%     TILEVISTA:codecOutOfMemory memory ran out
%     TILEVISTA:moduleMissing    TILEVISTA_Mex.oct is not on the path (this
%                               help file answers in its place)
%
%   TILEVISTA_DECODE is a function of the compiled function file
%   TILEVISTA_Mex.oct (Octave only); this file holds its help. Its tests are
%   tilevista_encode's.
%
%   See also TILEVISTA_ENCODE.

  module_missing ('tilevista_decode');
end
