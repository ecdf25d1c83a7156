// tilevista_encode and tilevista_decode, the codec's functions of
// TILEVISTA_Mex.oct: thin adapters over include/tilevista/codec.h, with the
// rules every host of the codec shares (host/call/codec_request.h).
#ifndef TILEVISTA_OCTAVE_CODEC_H
#define TILEVISTA_OCTAVE_CODEC_H

#include <octave/oct.h>

namespace octave_codec {

/// [bytes, report] = tilevista_encode (img, name, value, ...): the image
/// coded as a file. img is rows x cols (grey) or rows x cols x 3 (red,
/// green, blue) of class uint8 (8 bits), uint16 (16 bits) or double (8 bits:
/// samples 0..255; any depth with "bitdepth"). Options: "psnr" P (dB) or
/// "bpp" R (bits per pixel, the whole file), exactly one; "block" B or
/// [BR BC] (default 8); "dictionary" D (a description, "ROWS/COLUMNS", one
/// matrix, or {DY, DX} of two descriptions or two matrices); "file" F (the
/// bytes also written to F; no output asked for: none returned);
/// "bitdepth" N; "threads" T (0: every processor). bytes is a 1 x n uint8
/// row vector; report a struct of the fields codec_request::reportFields
/// names. Errors: the codec's identifiers (TILEVISTA:codec...), TILEVISTA:option
/// for an unknown option or a value of the wrong kind, TILEVISTA:dictionaryPair,
/// TILEVISTA:codecFile for a file that cannot be written,
/// TILEVISTA:codecOutOfMemory.
octave_value_list tilevistaEncode(const octave_value_list& args, int nargout);

/// [img, info] = tilevista_decode (bytes) or tilevista_decode (F): a file's
/// image, from its bytes (a uint8 vector) or from the file named F. img is
/// rows x cols or rows x cols x 3, uint8 for files of 1 to 8 bits, uint16
/// above; info a struct of the header's facts (codec_request::infoFields),
/// the dictionaries' descriptions (dictionary_y, dictionary_x; "" for
/// matrices), the file's bytes and its bits per pixel. Errors: the codec's
/// decoding identifiers, TILEVISTA:codecInput for an argument of another
/// kind, TILEVISTA:codecFile for a file that cannot be read.
octave_value_list tilevistaDecode(const octave_value_list& args, int nargout);

}  // namespace octave_codec

#endif  // TILEVISTA_OCTAVE_CODEC_H
