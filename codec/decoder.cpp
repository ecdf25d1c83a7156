// decodeImage and inspectImage: the file checked, its payload parsed, every
// block's vectors made from its indices as the header says (scan_basis.h), the
// blocks placed in turn (each first coefficient predicted from the blocks
// before), the planes turned back into the image.
#include <algorithm>
#include <new>
#include <string>

#include "block_code.h"
#include "codec_dictionary.h"
#include "edge_filter.h"
#include "file_format.h"
#include "image_planes.h"
#include "reconstruction.h"
#include "scan_basis.h"
#include "tilevista/codec.h"

namespace tilevista {

namespace {

DecodeInfo infoOf(const FileHeader& h) {
  DecodeInfo info;
  info.version = h.version;
  info.rows = h.rows;
  info.cols = h.cols;
  info.channels = h.channels;
  info.bitDepth = h.bitDepth;
  info.blockRows = h.blockRows;
  info.blockCols = h.blockCols;
  info.dictionaryY = h.descriptionY;
  info.dictionaryX = h.descriptionX;
  info.Ky = h.Ky;
  info.Kx = h.Kx;
  info.step = h.step;
  info.vectors = static_cast<std::int32_t>(h.vectors);
  return info;
}

// The decoded planes of a parsed code.
std::vector<double> decodePlanes(const PlaneGeometry& g, const DictionaryPair& d,
                                 const BlockCode& code, const Dequantizer& dq, std::int32_t capacity) {
  const std::int32_t N = g.blockPixels();
  std::vector<double> planes(g.planeSize() * std::size_t(g.channels), 0.0);
  ScanBasis basis(d, g.blockRows, g.blockCols, capacity);
  std::vector<double> coefficients(static_cast<std::size_t>(capacity));
  std::vector<double> block(static_cast<std::size_t>(N));
  for (std::int64_t q = 0; q < g.blocks(); ++q) {
    const std::int32_t m = code.count(q);
    if (m == 0) continue;  // the planes hold zeros there already
    const std::size_t first = std::size_t(code.first[std::size_t(q)]);
    basis.clear();
    for (std::int32_t k = 0; k < m; ++k) {
      if (!basis.add(code.yIndex[first + std::size_t(k)], code.xIndex[first + std::size_t(k)])) {
        throw CodecError(codec_error::kBasis,
                         "Block " + std::to_string(q + 1) + "'s atom " + std::to_string(k + 1) +
                             " adds no direction to the block's earlier atoms (a repeated or "
                             "dependent atom): no decoder can place it.");
      }
    }
    const double prediction = firstPrediction(g, planes, q, vectorSum(basis.vector(0), N));
    blockCoefficients(dq, code.level.data() + first, m, prediction, coefficients.data());
    placeBlock(g, planes, q, basis.vector(0), coefficients.data(), m, block.data());
  }
  return planes;
}

DecodedImage decodeChecked(const std::uint8_t* data, std::size_t size, const DecodeLimits& limits) {
  const ParsedFile file = parseFile(data, size);
  const FileHeader& h = file.header;
  const std::uint64_t samples = std::uint64_t(h.rows) * std::uint64_t(h.cols) * std::uint64_t(h.channels);
  if (samples > limits.maxSamples) {
    throw CodecError(codec_error::kLimits, "The file's image has " + std::to_string(samples) +
                                               " samples, more than the decoder's limits allow (" +
                                               std::to_string(limits.maxSamples) + ").");
  }
  const DictionaryPair dictionary = fileDictionary(h);
  const PlaneGeometry g = planeGeometry(h.rows, h.cols, h.channels, h.blockRows, h.blockCols, h.bitDepth);
  const CodeShape shape = codeShapeFor(g.gridRows, g.gridCols, h.channels, dictionary.Ky,
                                       dictionary.Kx, g.blockPixels());
  const BlockCode code = decodePayload(shape, file.payload, file.payloadSize, limits.maxAtoms);
  Dequantizer dq;
  dq.step = h.step;
  dq.offsetOne = double(h.offsetOne) / kOffsetUnit;
  dq.offsetMore = double(h.offsetMore) / kOffsetUnit;
  std::vector<double> planes = decodePlanes(g, dictionary, code, dq, shape.capacity);
  filterBlockEdges(g, planes, h.step, h.edgeFilter);
  DecodedImage image;
  image.pixels = imageOfPlanes(g, planes);
  image.info = infoOf(h);
  image.info.Ky = dictionary.Ky;
  image.info.Kx = dictionary.Kx;
  image.info.atoms = code.first.back();
  return image;
}

}  // namespace

DecodedImage decodeImage(const std::uint8_t* data, std::size_t size, const DecodeLimits& limits) {
  try {
    return decodeChecked(data, size, limits);
  } catch (const std::bad_alloc&) {
    throw CodecError(codec_error::kOutOfMemory, "Not enough memory to decode this file.");
  }
}

DecodeInfo inspectImage(const std::uint8_t* data, std::size_t size) {
  return infoOf(parseFile(data, size).header);
}

}  // namespace tilevista
