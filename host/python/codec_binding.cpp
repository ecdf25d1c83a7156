// encode_image and decode_image: the codec over NumPy arrays, the same C++
// code and the same host rules (host/call/codec_request.h) as Octave's
// tilevista_encode and tilevista_decode, so that the same call writes the
// same bytes from both. The GIL is released while the codec works. A refusal
// comes back as the codec's identifier and message, for the package to raise
// as its own exception.
#include "codec_binding.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "codec_request.h"
#include "tilevista/codec.h"

namespace py = pybind11;

namespace tilevista_python {
namespace {

using FortranDoubles = py::array_t<double, py::array::f_style | py::array::forcecast>;

py::tuple refused(const char* identifier, const std::string& message) {
  return py::make_tuple(py::none(), identifier, message);
}

const char* const kMemoryMessage =
    "out of memory: the image, its coding or its bytes need more memory than the system gives";

// A dictionary matrix's values (column-major) and its columns; an empty
// object leaves them empty.
void readMatrix(const py::object& given, std::vector<double>* values, std::int32_t* columns) {
  if (given.is_none()) return;
  const FortranDoubles m = FortranDoubles::ensure(given);
  if (!m || m.ndim() != 2) throw py::value_error("a dictionary matrix must be 2-D");
  values->assign(m.data(), m.data() + m.size());
  *columns = static_cast<std::int32_t>(std::min<py::ssize_t>(m.shape(1), 1 << 30));
}

// See the binding's docstring.
py::tuple encodeImage(const FortranDoubles& pixels, double psnr, double bpp,
                      std::int32_t blockRows, std::int32_t blockCols,
                      const std::string& description, const std::string& descriptionX,
                      const py::object& Dy, const py::object& Dx, std::int32_t bitDepth,
                      std::int32_t threads) {
  if (pixels.ndim() != 2 && pixels.ndim() != 3) {
    throw py::value_error("the image must be rows x cols or rows x cols x channels");
  }
  tilevista::EncodeOptions o;
  o.psnr = psnr;
  o.bpp = bpp;
  o.blockRows = blockRows;
  o.blockCols = blockCols;
  o.dictionary.description = description;
  o.dictionary.descriptionX = descriptionX;
  readMatrix(Dy, &o.dictionary.Dy, &o.dictionary.Ky);
  readMatrix(Dx, &o.dictionary.Dx, &o.dictionary.Kx);
  o.bitDepth = bitDepth;
  o.threads = threads;
  const auto side = [&](int k) {
    return static_cast<std::int32_t>(std::min<py::ssize_t>(pixels.shape(k), 1 << 30));
  };
  const std::int32_t channels = pixels.ndim() == 3 ? side(2) : 1;
  tilevista::EncodedImage e;
  try {
    py::gil_scoped_release released;
    e = tilevista::encodeImage(pixels.data(), side(0), side(1), channels, o);
  } catch (const tilevista::CodecError& error) {
    return refused(error.identifier(), error.what());
  } catch (const std::bad_alloc&) {
    return refused(tilevista::codec_error::kOutOfMemory, kMemoryMessage);
  }
  py::dict report;
  for (const auto& field : codec_request::reportFields(e.report)) {
    report[field.first] = field.second;
  }
  return py::make_tuple(py::bytes(reinterpret_cast<const char*>(e.bytes.data()), e.bytes.size()),
                        report);
}

template <typename Sample>
py::array samplesOf(const tilevista::DecodedImage& image) {
  const tilevista::DecodeInfo& i = image.info;
  py::array_t<Sample, py::array::f_style> out({py::ssize_t(i.rows), py::ssize_t(i.cols),
                                                py::ssize_t(i.channels)});
  Sample* data = out.mutable_data();
  for (std::size_t k = 0; k < image.pixels.size(); ++k) {
    data[k] = static_cast<Sample>(image.pixels[k]);
  }
  return out;
}

// See the binding's docstring.
py::tuple decodeImage(const py::buffer& data) {
  const py::buffer_info view = data.request();
  if (view.itemsize != 1 || view.ndim > 1) {
    throw py::value_error("the file's bytes must be a bytes-like object of single bytes");
  }
  tilevista::DecodedImage image;
  try {
    // A copy: another thread may change a bytearray while the GIL is released.
    const auto* bytes = static_cast<const std::uint8_t*>(view.ptr);
    const std::vector<std::uint8_t> copy(bytes, bytes + view.size);
    py::gil_scoped_release released;
    image = tilevista::decodeImage(copy.data(), copy.size());
  } catch (const tilevista::CodecError& error) {
    return refused(error.identifier(), error.what());
  } catch (const std::bad_alloc&) {
    return refused(tilevista::codec_error::kOutOfMemory, kMemoryMessage);
  }
  py::dict info;
  for (const auto& field : codec_request::infoFields(image.info)) info[field.first] = field.second;
  info["dictionary_y"] = image.info.dictionaryY;
  info["dictionary_x"] = image.info.dictionaryX;
  py::array samples = codec_request::decodesToEightBits(image.info.bitDepth)
                          ? samplesOf<std::uint8_t>(image)
                          : samplesOf<std::uint16_t>(image);
  return py::make_tuple(samples, info);
}

// See the binding's docstring.
py::tuple sampleBitDepth(const std::string& kind, double asked) {
  const codec_request::SampleClass samples =
      kind == "uint8"     ? codec_request::SampleClass::kUint8
      : kind == "uint16"  ? codec_request::SampleClass::kUint16
      : kind == "float64" ? codec_request::SampleClass::kDouble
                          : codec_request::SampleClass::kOther;
  std::int32_t depth = 0;
  std::string message;
  if (!codec_request::bitDepthFor(samples, asked, &depth, &message)) {
    return refused(samples == codec_request::SampleClass::kOther
                       ? tilevista::codec_error::kImage
                       : tilevista::codec_error::kOptions,
                   message);
  }
  return py::make_tuple(depth);
}

}  // namespace

void bindCodec(py::module_& module) {
  namespace e = tilevista::codec_error;
  py::dict errors;
  for (const char* id : {e::kOptions, e::kImage, e::kBlockSize, e::kDictionary, e::kThreads,
                         e::kTarget, e::kOutOfMemory, e::kMagic, e::kVersion, e::kTruncated,
                         e::kLength, e::kChecksum, e::kImageSize, e::kQuantizer, e::kPayload,
                         e::kBasis, e::kLimits, codec_request::kDictionaryPair,
                         codec_request::kFile, codec_request::kInput}) {
    errors[py::str(std::string(id).substr(std::string("TILEVISTA:").size()))] = id;
  }
  module.attr("CODEC_ERRORS") = errors;
  module.attr("CODEC_MAX_FILE_BYTES") = codec_request::kMaxFileBytes;
  module.def("encode_image", &encodeImage, py::arg("pixels"), py::arg("psnr"), py::arg("bpp"),
             py::arg("block_rows"), py::arg("block_cols"), py::arg("description"),
             py::arg("description_x"), py::arg("Dy"), py::arg("Dx"), py::arg("bit_depth"),
             py::arg("threads"),
             R"doc(Encode an image (tilevista/codec.h's encodeImage).

pixels is rows x cols or rows x cols x channels float64 (taken in Fortran
order, the codec's); psnr or bpp the target (0: not set); the block size;
the dictionaries: descriptions ("" for the default), or the matrices Dy and
Dx (None when descriptions are used); bit_depth; threads (0: all).

Returns (bytes, report dict with the names every host gives its fields), or
(None, identifier, message) when the codec refuses.)doc");
  module.def("decode_image", &decodeImage, py::arg("data"),
             R"doc(Decode a file's bytes (tilevista/codec.h's decodeImage).

Returns (samples, info): samples rows x cols x channels uint8 (bit depths 1
to 8) or uint16, Fortran order; info a dict of the header's facts and the
dictionaries' descriptions. Or (None, identifier, message).)doc");
  module.def("sample_bit_depth", &sampleBitDepth, py::arg("kind"), py::arg("asked"),
             R"doc(The bit depth an image of NumPy dtype name `kind` ("uint8",
"uint16", "float64", else refused) is coded with, `asked` (0: none) taken
into account: (depth,), or (None, identifier, message).)doc");
}

}  // namespace tilevista_python
