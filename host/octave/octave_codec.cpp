// tilevista_encode and tilevista_decode over the codec (octave_codec.h). The
// image is handed over as doubles, rows x cols x channels in Octave's own
// column-major order, which is the codec's; the bytes come back as a uint8
// row vector, the image as uint8 or uint16.
#include "octave_codec.h"

#include <octave/oct.h>
#include <octave/file-ops.h>
#include <octave/ov-struct.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "call_checks.h"
#include "codec_request.h"
#include "octave_functions.h"
#include "octave_host.h"
#include "tilevista/codec.h"

namespace octave_codec {
namespace {

using codec_request::SampleClass;

const char* const kEncode = "tilevista_encode";
const char* const kDecode = "tilevista_decode";

// What tilevista_encode was asked for besides the image.
struct EncodeRequest {
  tilevista::EncodeOptions options;
  double bitDepth = 0.0;  // 0: the image class's own
  std::string file;
};

SampleClass classOf(const octave_value& v) {
  if (v.issparse() || v.iscomplex()) return SampleClass::kOther;
  if (v.is_uint8_type()) return SampleClass::kUint8;
  if (v.is_uint16_type()) return SampleClass::kUint16;
  if (v.is_double_type()) return SampleClass::kDouble;
  return SampleClass::kOther;
}

// A size as the codec takes it: anything beyond int32 becomes a size it
// refuses with its own message.
std::int32_t sizeOf(octave_idx_type n) {
  return static_cast<std::int32_t>(std::min<octave_idx_type>(n, 1 << 30));
}

double scalarOption(const std::string& name, const octave_value& value) {
  if (!value.isnumeric() || !value.is_real_scalar() || value.iscomplex()) {
    octave_host::raiseError(error_id::kOption, kEncode,
                            "option \"" + name + "\" takes a real number");
  }
  return value.double_value();
}

// A whole number within int32, else a value the codec refuses by range.
std::int32_t wholeOption(const std::string& name, double value) {
  if (value != std::trunc(value)) {
    octave_host::raiseError(error_id::kOption, kEncode,
                            "option \"" + name + "\" takes a whole number");
  }
  return std::fabs(value) > 1e9 ? -1 : static_cast<std::int32_t>(value);
}

void readBlock(const octave_value& value, tilevista::EncodeOptions* options) {
  const bool numeric = value.isnumeric() && value.isreal() && !value.issparse();
  const NDArray sides = numeric ? value.array_value() : NDArray();
  if (!numeric || (sides.numel() != 1 && sides.numel() != 2)) {
    octave_host::raiseError(error_id::kOption, kEncode,
                            "option \"block\" takes B (square blocks) or [ROWS COLS]");
  }
  options->blockRows = wholeOption("block", sides(0));
  options->blockCols = wholeOption("block", sides(sides.numel() - 1));
}

// A real double matrix's values, column-major, and its size.
bool matrixOf(const octave_value& value, std::vector<double>* values, std::int32_t* columns,
              octave_idx_type* rows) {
  if (!value.is_double_type() || value.iscomplex() || value.issparse() || value.ndims() != 2) {
    return false;
  }
  const Matrix m = value.matrix_value();
  values->assign(m.data(), m.data() + m.numel());
  *rows = m.rows();
  *columns = sizeOf(m.columns());
  return true;
}

[[noreturn]] void pairRefused(const std::string& seen) {
  octave_host::raiseError(codec_request::kDictionaryPair, kEncode,
                          codec_request::dictionaryPairMessage(seen));
}

// The dictionaries: a text, one matrix, or a cell of two texts or two
// matrices. The codec checks the matrices' rows against the block.
void readDictionary(const octave_value& value, tilevista::CodecDictionary* d) {
  octave_idx_type rowsY = 0, rowsX = 0;
  if (value.is_string()) {
    if (!codec_request::readDescriptionPair(value.string_value(), d)) {
      pairRefused("a text with more than one '/'");
    }
  } else if (value.iscell()) {
    const Cell pair = value.cell_value();
    if (pair.numel() != 2) pairRefused("a cell of " + std::to_string(pair.numel()));
    if (pair(0).is_string() && pair(1).is_string()) {
      d->description = pair(0).string_value();
      d->descriptionX = pair(1).string_value();
      if (d->descriptionX.empty()) pairRefused("a cell whose second description is empty");
    } else if (!matrixOf(pair(0), &d->Dy, &d->Ky, &rowsY) ||
               !matrixOf(pair(1), &d->Dx, &d->Kx, &rowsX)) {
      pairRefused("a cell holding other than two descriptions or two double matrices");
    }
  } else if (matrixOf(value, &d->Dy, &d->Ky, &rowsY)) {
    d->Dx = d->Dy;
    d->Kx = d->Ky;
  } else {
    pairRefused("of class " + value.class_name());
  }
}

EncodeRequest readOptions(const octave_value_list& args) {
  if (args.length() % 2 != 1) {
    octave_host::raiseError(error_id::kOption, kEncode,
                            "options come as name, value pairs after IMG");
  }
  EncodeRequest r;
  for (int k = 1; k < args.length(); k += 2) {
    const std::string name = args(k).is_string() ? args(k).string_value() : "";
    const octave_value& value = args(k + 1);
    if (name == "psnr") {
      r.options.psnr = scalarOption(name, value);
    } else if (name == "bpp") {
      r.options.bpp = scalarOption(name, value);
    } else if (name == "block") {
      readBlock(value, &r.options);
    } else if (name == "dictionary") {
      readDictionary(value, &r.options.dictionary);
    } else if (name == "bitdepth") {
      r.bitDepth = scalarOption(name, value);
    } else if (name == "threads") {
      r.options.threads = wholeOption(name, scalarOption(name, value));
    } else if (name == "file" && value.is_string()) {
      r.file = octave::sys::file_ops::tilde_expand(value.string_value());
    } else {
      octave_host::raiseError(
          error_id::kOption, kEncode,
          name == "file" ? std::string("option \"file\" takes a file name")
                         : "unknown option '" + name + "': the options are \"psnr\", \"bpp\", "
                           "\"block\", \"dictionary\", \"file\", \"bitdepth\" and \"threads\"");
    }
  }
  return r;
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  out.close();
  if (!out) octave_host::raiseError(codec_request::kFile, kEncode, "cannot write " + path);
}

octave_value_list encode(const octave_value_list& args, int nargout) {
  if (args.length() < 1) {
    octave_host::raiseError(error_id::kArgumentCount, kEncode,
                            "takes IMG and options (\"psnr\", P or \"bpp\", R, ...)");
  }
  EncodeRequest r = readOptions(args);
  const octave_value& img = args(0);
  std::string why;
  if (!codec_request::bitDepthFor(classOf(img), r.bitDepth, &r.options.bitDepth, &why)) {
    const bool classRefused = classOf(img) == SampleClass::kOther;
    octave_host::raiseError(classRefused ? tilevista::codec_error::kImage
                                         : tilevista::codec_error::kOptions,
                            kEncode, why + (classRefused ? "; it is " + img.class_name() : ""));
  }
  const dim_vector d = img.dims();
  if (d.ndims() > 3 || (d.ndims() == 3 && d(2) != 1 && d(2) != 3)) {
    octave_host::raiseError(tilevista::codec_error::kImage, kEncode,
                            "IMG must be rows x cols (grey) or rows x cols x 3 (colour); it is " +
                                d.str('x'));
  }
  const NDArray pixels = img.array_value();
  const tilevista::EncodedImage e =
      tilevista::encodeImage(pixels.data(), sizeOf(d(0)), sizeOf(d(1)),
                             d.ndims() == 3 ? sizeOf(d(2)) : 1, r.options);
  if (!r.file.empty()) writeFile(r.file, e.bytes);
  octave_value_list out;
  if (r.file.empty() || nargout > 0) {
    uint8NDArray bytes(dim_vector(1, static_cast<octave_idx_type>(e.bytes.size())));
    std::copy(e.bytes.begin(), e.bytes.end(), reinterpret_cast<std::uint8_t*>(bytes.fortran_vec()));
    out(0) = bytes;
  }
  if (nargout > 1) {
    octave_scalar_map report;
    for (const auto& field : codec_request::reportFields(e.report)) {
      report.assign(field.first, field.second);
    }
    out(1) = report;
  }
  return out;
}

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) octave_host::raiseError(codec_request::kFile, kDecode, "cannot open " + path);
  const std::streamoff size = in.tellg();
  if (size < 0 || static_cast<std::uint64_t>(size) > codec_request::kMaxFileBytes) {
    octave_host::raiseError(codec_request::kFile, kDecode,
                            path + " is larger than any file of this codec (4 GiB)");
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), size);
  if (!in) octave_host::raiseError(codec_request::kFile, kDecode, "cannot read " + path);
  return bytes;
}

template <typename Array>
octave_value samplesOf(const tilevista::DecodedImage& image) {
  const tilevista::DecodeInfo& i = image.info;
  Array img(i.channels == 1 ? dim_vector(i.rows, i.cols) : dim_vector(i.rows, i.cols, i.channels));
  auto* out = img.fortran_vec();
  for (std::size_t k = 0; k < image.pixels.size(); ++k) out[k] = image.pixels[k];
  return img;
}

octave_scalar_map infoOf(const tilevista::DecodeInfo& i, std::size_t bytes) {
  octave_scalar_map info;
  for (const auto& field : codec_request::infoFields(i)) info.assign(field.first, field.second);
  info.assign("dictionary_y", i.dictionaryY);
  info.assign("dictionary_x", i.dictionaryX);
  info.assign("bytes", static_cast<double>(bytes));
  info.assign("bpp", 8.0 * static_cast<double>(bytes) / (double(i.rows) * double(i.cols)));
  return info;
}

octave_value_list decode(const octave_value_list& args, int nargout) {
  if (args.length() != 1) {
    octave_host::raiseError(error_id::kArgumentCount, kDecode,
                            "takes one input, the bytes or a file name; it was given " +
                                std::to_string(args.length()));
  }
  std::vector<std::uint8_t> bytes;
  if (args(0).is_string() && args(0).rows() == 1) {
    bytes = readFile(octave::sys::file_ops::tilde_expand(args(0).string_value()));
  } else if (args(0).is_uint8_type() && (args(0).isempty() || args(0).dims().isvector())) {
    const uint8NDArray given = args(0).uint8_array_value();
    const auto* data = reinterpret_cast<const std::uint8_t*>(given.data());
    bytes.assign(data, data + given.numel());
  } else {
    octave_host::raiseError(codec_request::kInput, kDecode,
                            "DATA must be a file's bytes (a uint8 vector, as tilevista_encode "
                            "returns them) or a file name; it is " + args(0).class_name());
  }
  const tilevista::DecodedImage image = tilevista::decodeImage(bytes.data(), bytes.size());
  octave_value_list out;
  out(0) = codec_request::decodesToEightBits(image.info.bitDepth)
               ? samplesOf<uint8NDArray>(image)
               : samplesOf<uint16NDArray>(image);
  if (nargout > 1) out(1) = infoOf(image.info, bytes.size());
  return out;
}

// Runs a codec function: the codec's failures and memory running out become
// Octave errors with their identifiers.
octave_value_list guarded(octave_value_list (*body)(const octave_value_list&, int),
                          const char* name, const octave_value_list& args, int nargout) {
  octave_host::startCall();
  try {
    return body(args, nargout);
  } catch (const tilevista::CodecError& e) {
    octave_host::raiseError(e.identifier(), name, e.what());
  } catch (const std::bad_alloc&) {
    octave_host::raiseError(tilevista::codec_error::kOutOfMemory, name,
                            "out of memory: the image, its coding or its bytes need more "
                            "memory than the system gives");
  }
}

}  // namespace

octave_value_list tilevistaEncode(const octave_value_list& args, int nargout) {
  return guarded(encode, kEncode, args, nargout);
}

octave_value_list tilevistaDecode(const octave_value_list& args, int nargout) {
  return guarded(decode, kDecode, args, nargout);
}

}  // namespace octave_codec

extern "C" OCTAVE_EXPORT octave_function* Gtilevista_encode(
    const octave::dynamic_library& library, bool relative) {
  return octave_functions::installFunction(octave_codec::tilevistaEncode, library, relative,
                                           "tilevista_encode");
}

extern "C" OCTAVE_EXPORT octave_function* Gtilevista_decode(
    const octave::dynamic_library& library, bool relative) {
  return octave_functions::installFunction(octave_codec::tilevistaDecode, library, relative,
                                           "tilevista_decode");
}
