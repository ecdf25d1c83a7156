// The image codec: its range coder and models, its file format against damaged
// and hostile files, its rate control, and the same bytes for the same call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "block_code.h"
#include "codec_version_one.h"
#include "codec_dictionary.h"
#include "edge_filter.h"
#include "file_format.h"
#include "image_planes.h"
#include "range_coder.h"
#include "reconstruction.h"
#include "scan_basis.h"
#include "symbol_models.h"
#include "tilevista/codec.h"
#include "tilevista/dictionary.h"

using namespace tilevista;

namespace {

// ---- The coder and its models ------------------------------------------------

// One coded symbol of the round-trip test: how it is coded and decoded.
struct Symbol {
  int kind;  // 0 adaptive bit, 1 raw bits, 2 integer
  std::uint32_t value;
  std::uint32_t parameter;  // model number, bit count or bound
};

// Codes the symbols with fresh models, decodes them with fresh models, and
// checks every value and that a valid stream is read to its end exactly.
void expectRoundTrip(const std::vector<Symbol>& symbols, std::size_t* bytes = nullptr) {
  std::vector<BitModel> bits(4);
  std::vector<IntegerModel> integers(2);
  auto decodeBits = bits;
  auto decodeIntegers = integers;
  RangeEncoder encoder;
  for (const Symbol& s : symbols) {
    if (s.kind == 0) encoder.encode(bits[s.parameter % 4], int(s.value));
    if (s.kind == 1) encoder.encodeRaw(s.value, int(s.parameter));
    if (s.kind == 2) integers[s.value & 1].encode(encoder, s.value, s.parameter);
  }
  const std::vector<std::uint8_t> coded = encoder.finish();
  if (bytes) *bytes = coded.size();
  RangeDecoder decoder(coded.data(), coded.size());
  for (std::size_t i = 0; i < symbols.size(); ++i) {
    const Symbol& s = symbols[i];
    std::uint32_t got = 0;
    if (s.kind == 0) got = std::uint32_t(decoder.decode(decodeBits[s.parameter % 4]));
    if (s.kind == 1) got = decoder.decodeRaw(int(s.parameter));
    if (s.kind == 2) got = decodeIntegers[s.value & 1].decode(decoder, s.parameter);
    ASSERT_EQ(got, s.value) << "symbol " << i << " of kind " << s.kind;
  }
  // A decoder reads exactly the bytes its encoder wrote.
  EXPECT_EQ(decoder.overrun(), 0u);
  EXPECT_TRUE(decoder.exhausted());
}

TEST(CodecCoder, RoundTripsSymbolsAtTheEdgesOfTheirRanges) {
  std::vector<Symbol> edges;
  for (int count = 1; count <= 24; ++count) {
    const std::uint32_t most = (1u << count) - 1u;
    edges.push_back({1, 0, std::uint32_t(count)});
    edges.push_back({1, most, std::uint32_t(count)});
  }
  for (std::uint32_t bound : {0u, 1u, 2u, 7u, 8u, 1000u, IntegerModel::kLargest}) {
    for (std::uint32_t v : {0u, bound / 2, bound - (bound > 0), bound}) edges.push_back({2, v, bound});
  }
  expectRoundTrip(edges);

  // Everything mixed at random, with models driven to both extremes.
  std::mt19937 random(7);
  std::vector<Symbol> mixed;
  for (int i = 0; i < 200000; ++i) {
    const int kind = int(random() % 3);
    if (kind == 0) {
      const std::uint32_t model = random() % 4;
      const bool skewed = model < 2;  // models 0, 1 almost always 0 and 1
      const std::uint32_t bit = skewed ? (random() % 1000 == 0) ^ model : random() & 1;
      mixed.push_back({0, bit, model});
    } else if (kind == 1) {
      const std::uint32_t count = 1 + random() % 24;
      mixed.push_back({1, std::uint32_t(random()) & ((1u << count) - 1u), count});
    } else {
      const std::uint32_t bound = std::uint32_t(random()) % IntegerModel::kLargest;
      const std::uint32_t v = std::uint32_t(random()) % (bound + 1u) >> (random() % 30);
      mixed.push_back({2, v, bound});
    }
  }
  expectRoundTrip(mixed);
}

TEST(CodecCoder, LongRunsOfAModelledBitCostAlmostNothing) {
  // A million equal bits through one adaptive model: the model saturates
  // where its update no longer moves it (the other value's probability about
  // 2^kBitModelShift / 65536, the rate's floor) or at its least probability,
  // whichever is larger, and the coder's 16-bit product loses a little more;
  // a coder that lost precision or carries would fail the round trip or take
  // several times more.
  const double least = std::max<double>(kLeastProbability, double(1 << kBitModelShift)) / 65536.0;
  const double expected = 1e6 * -std::log2(1.0 - least) / 8.0;
  for (std::uint32_t bit : {0u, 1u}) {
    std::vector<Symbol> run(1000000, Symbol{0, bit, 0});
    run.push_back({1, 0xABCDEF, 24});  // raw bits after the run still decode
    std::size_t bytes = 0;
    expectRoundTrip(run, &bytes);
    EXPECT_LT(double(bytes), 1.5 * expected + 16.0);
  }
  // A long run of carries: raw bits of all ones after a low end near the top.
  std::vector<Symbol> carries;
  for (int i = 0; i < 100000; ++i) carries.push_back({1, 0xFFFFFF, 24});
  carries.push_back({0, 1, 2});
  expectRoundTrip(carries);
}

TEST(CodecCoder, PricesAreTheBitsTheCoderSpends) {
  // The encoder's rate estimates: summed prices of symbols from one model
  // state to the next match the coded size to within a few bytes.
  std::mt19937 random(3);
  IntegerModel model, priced;
  RangeEncoder encoder;
  double bits = 0.0;
  std::geometric_distribution<std::uint32_t> geometric(0.2);
  for (int i = 0; i < 20000; ++i) {
    const std::uint32_t v = std::min(geometric(random), 4000u);
    bits += priced.cost(v, 4000);
    RangeEncoder scratch;
    priced.encode(scratch, v, 4000);  // the priced model learns as the coded one does
    model.encode(encoder, v, 4000);
  }
  const double coded = 8.0 * double(encoder.finish().size());
  EXPECT_NEAR(coded, bits, 0.002 * bits + 64.0);
}

// ---- Images to code -----------------------------------------------------------

// A deterministic test image of rows x cols x channels 8-bit samples: a
// gradient, a bright disc with a sharp edge, a patch of fine stripes and a
// little noise, so that blocks need from none to many atoms.
std::vector<double> testImage(std::int32_t rows, std::int32_t cols, std::int32_t channels,
                              std::uint32_t seed = 1) {
  std::vector<double> image(std::size_t(rows) * std::size_t(cols) * std::size_t(channels));
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, 3.0);
  for (std::int32_t ch = 0; ch < channels; ++ch) {
    for (std::int32_t c = 0; c < cols; ++c) {
      for (std::int32_t r = 0; r < rows; ++r) {
        double v = 40.0 + 120.0 * r / rows + 30.0 * ch;
        const double dr = r - 0.6 * rows, dc = c - 0.3 * cols;
        if (dr * dr + dc * dc < 0.04 * rows * cols) v += 80.0;
        if (c > cols / 2 && r < rows / 2) v += 40.0 * std::sin(1.9 * c + 0.7 * r);
        v += noise(random);
        image[(std::size_t(ch) * std::size_t(cols) + std::size_t(c)) * std::size_t(rows) + std::size_t(r)] =
            std::round(std::clamp(v, 0.0, 255.0));
      }
    }
  }
  return image;
}

EncodeOptions psnrTarget(double psnr, const char* dictionary = "cosine:8+delta") {
  EncodeOptions o;
  o.psnr = psnr;
  o.dictionary.description = dictionary;
  o.threads = 1;
  return o;
}

// The identifier a decoding throws, or "" when it decodes.
std::string decodeFailure(const std::vector<std::uint8_t>& bytes, std::size_t size) {
  try {
    decodeImage(bytes.data(), size);
  } catch (const CodecError& e) {
    return e.identifier();
  }
  return "";
}
std::string decodeFailure(const std::vector<std::uint8_t>& bytes) {
  return decodeFailure(bytes, bytes.size());
}

// ---- The file format ------------------------------------------------------------

// A small valid file and its parts.
struct SmallFile {
  std::vector<std::uint8_t> bytes;
  FileHeader header;
  std::vector<std::uint8_t> payload;
};

SmallFile smallFile() {
  const std::vector<double> image = testImage(21, 13, 1);
  SmallFile f;
  f.bytes = encodeImage(image.data(), 21, 13, 1, psnrTarget(32.0)).bytes;
  const ParsedFile parsed = parseFile(f.bytes.data(), f.bytes.size());
  f.header = parsed.header;
  f.payload.assign(parsed.payload, parsed.payload + parsed.payloadSize);
  return f;
}

TEST(CodecFormat, EveryHeaderFieldIsRejectedWhenWrong) {
  const SmallFile f = smallFile();
  ASSERT_EQ(decodeFailure(f.bytes), "");
  ASSERT_EQ(writeFile(f.header, f.payload), f.bytes) << "the format writes what it parses";
  const DecodeInfo info = inspectImage(f.bytes.data(), f.bytes.size());
  EXPECT_EQ(info.rows, 21);
  EXPECT_EQ(info.cols, 13);
  EXPECT_EQ(info.dictionaryY, "cosine:8+delta");
  EXPECT_EQ(info.step, f.header.step);
  EXPECT_EQ(info.version, 2);
  EXPECT_EQ(info.vectors, 0) << "16 atoms for 8 samples: Gram-Schmidt's vectors";
  // One wrong field at a time, in a file with a valid length and CRC-32.
  const std::vector<std::pair<std::function<void(FileHeader&)>, const char*>> wrongs = {
      {[](FileHeader& h) { h.version = 0; }, codec_error::kVersion},
      {[](FileHeader& h) { h.version = 3; }, codec_error::kVersion},
      {[](FileHeader& h) { h.channels = 2; }, codec_error::kImageSize},
      {[](FileHeader& h) { h.colour = ColourTransform::kOrthonormal; }, codec_error::kImageSize},
      {[](FileHeader& h) { h.bitDepth = 0; }, codec_error::kImageSize},
      {[](FileHeader& h) { h.bitDepth = 17; }, codec_error::kImageSize},
      {[](FileHeader& h) { h.rows = 0; }, codec_error::kImageSize},
      {[](FileHeader& h) { h.cols = 65536; }, codec_error::kImageSize},
      {[](FileHeader& h) { h.rows = h.cols = 65535; }, codec_error::kImageSize},  // 2^32 samples
      {[](FileHeader& h) { h.blockRows = 0; }, codec_error::kBlockSize},
      {[](FileHeader& h) { h.blockCols = 65; }, codec_error::kBlockSize},
      {[](FileHeader& h) { h.storage = DictionaryStorage(3); }, codec_error::kDictionary},
      {[](FileHeader& h) { h.descriptionY = ""; }, codec_error::kDictionary},
      {[](FileHeader& h) { h.descriptionX = "cosine:8 +delta"; }, codec_error::kDictionary},
      {[](FileHeader& h) { h.descriptionY = "nonsense:3"; }, codec_error::kDictionary},
      {[](FileHeader& h) { h.descriptionX = "cosine:0"; }, codec_error::kDictionary},
      {[](FileHeader& h) { h.descriptionY = h.descriptionX = "cosine:300"; }, codec_error::kDictionary},  // 90000 pairs
      {[](FileHeader& h) { h.vectors = BlockVectors(2); }, codec_error::kDictionary},
      {[](FileHeader& h) { h.vectors = BlockVectors(255); }, codec_error::kDictionary},
      // The atoms as vectors where they are not orthonormal: a redundant pair,
      // then a square one that is not orthogonal.
      {[](FileHeader& h) { h.vectors = BlockVectors::kAtoms; }, codec_error::kDictionary},
      {[](FileHeader& h) {
         h.vectors = BlockVectors::kAtoms;
         h.descriptionY = h.descriptionX = "chebyshev:8";
       }, codec_error::kDictionary},
      {[](FileHeader& h) { h.step = std::nan(""); }, codec_error::kQuantizer},
      {[](FileHeader& h) { h.step = 0.0; }, codec_error::kQuantizer},
      {[](FileHeader& h) { h.step = 1e9; }, codec_error::kQuantizer},
      {[](FileHeader& h) { h.offsetOne = 32769; }, codec_error::kQuantizer},
      {[](FileHeader& h) { h.offsetMore = 65535; }, codec_error::kQuantizer},
      {[](FileHeader& h) { h.edgeFilter = 5; }, codec_error::kQuantizer},
  };
  for (std::size_t i = 0; i < wrongs.size(); ++i) {
    FileHeader h = f.header;
    wrongs[i].first(h);
    EXPECT_EQ(decodeFailure(writeFile(h, f.payload)), wrongs[i].second) << "wrong field " << i;
  }
  // Dictionaries as matrices: no atoms, too many, a value that is not finite,
  // one matrix for a block that is not square.
  FileHeader matrices = f.header;
  matrices.storage = DictionaryStorage::kMatrices;
  matrices.Ky = 0;
  matrices.Kx = 1;
  matrices.Dx.assign(13, 1.0);
  EXPECT_EQ(decodeFailure(writeFile(matrices, f.payload)), codec_error::kDictionary);
  matrices.Ky = 4097;
  matrices.Dy.assign(8 * 4097, 1.0);
  EXPECT_EQ(decodeFailure(writeFile(matrices, f.payload)), codec_error::kDictionary);
  matrices.Ky = 1;
  matrices.Dy.assign(8, 1.0);
  matrices.Dx.assign(8, 1.0);
  matrices.Dx[3] = HUGE_VAL;
  EXPECT_EQ(decodeFailure(writeFile(matrices, f.payload)), codec_error::kDictionary);
  matrices.storage = DictionaryStorage::kOneMatrix;
  matrices.blockCols = 4;
  EXPECT_EQ(decodeFailure(writeFile(matrices, f.payload)), codec_error::kDictionary);
}

TEST(CodecFormat, DamagedFilesAreRefusedByWhatIsWrong) {
  const SmallFile f = smallFile();
  // Truncated at every length: the header's length says more.
  for (std::size_t size = 0; size < f.bytes.size(); ++size) {
    EXPECT_EQ(decodeFailure(f.bytes, size), codec_error::kTruncated) << size << " bytes";
  }
  std::vector<std::uint8_t> longer = f.bytes;
  longer.push_back(0);
  EXPECT_EQ(decodeFailure(longer), codec_error::kLength);
  // Every bit flipped: the magic, the version, the length, else the CRC-32.
  for (std::size_t i = 0; i < f.bytes.size(); ++i) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<std::uint8_t> flipped = f.bytes;
      flipped[i] ^= std::uint8_t(1u << bit);
      const std::string failure = decodeFailure(flipped);
      if (i < 8) {
        EXPECT_EQ(failure, codec_error::kMagic) << "byte " << i;
      } else if (i == 8) {
        EXPECT_EQ(failure, codec_error::kVersion);
      } else if (i < 13) {
        EXPECT_TRUE(failure == codec_error::kTruncated || failure == codec_error::kLength) << i;
      } else {
        EXPECT_EQ(failure, codec_error::kChecksum) << "byte " << i << " bit " << bit;
      }
    }
  }
}

TEST(CodecFormat, VersionOneFilesDecodeAsTheyDid) {
  const std::vector<double> image = testImage(40, 24, 3, 4);
  for (const char* dictionary : {"cosine:8+delta", "cosine:16+haar"}) {
    const std::vector<std::uint8_t> now =
        encodeImage(image.data(), 40, 24, 3, psnrTarget(35.0, dictionary)).bytes;
    const std::vector<std::uint8_t> old = versionOneOf(now);
    ASSERT_EQ(old.size() + 1, now.size());
    const DecodedImage a = decodeImage(now.data(), now.size());
    const DecodedImage b = decodeImage(old.data(), old.size());
    EXPECT_EQ(b.pixels, a.pixels) << dictionary;
    EXPECT_EQ(b.info.version, 1);
    EXPECT_EQ(b.info.vectors, 0);
    EXPECT_EQ(b.info.step, a.info.step);
    EXPECT_EQ(b.info.atoms, a.info.atoms);
    // Its frame one byte shorter: cut anywhere, it is still a truncation.
    for (std::size_t size : {old.size() - 1, std::size_t(40)}) {
      EXPECT_EQ(decodeFailure(old, size), codec_error::kTruncated) << size;
    }
  }
}

// Decodes a header with a payload of random bytes (and a valid CRC): any
// outcome but a crash, an image out of range or one that is not finite.
TEST(CodecFormat, HostilePayloadsGiveAnErrorOrAnImageInRange) {
  const SmallFile f = smallFile();
  std::mt19937 random(11);
  int decoded = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    std::vector<std::uint8_t> payload(random() % (2 * f.payload.size() + 8));
    for (std::uint8_t& b : payload) b = std::uint8_t(random());
    // Half of them keep the real payload's start, so they get further.
    if (trial % 2 == 0) {
      std::copy_n(f.payload.begin(), std::min(payload.size(), f.payload.size() / 2), payload.begin());
    }
    const std::vector<std::uint8_t> bytes = writeFile(f.header, payload);
    try {
      const DecodedImage image = decodeImage(bytes.data(), bytes.size());
      ++decoded;
      ASSERT_EQ(image.pixels.size(), 21u * 13u);
      for (double v : image.pixels) ASSERT_TRUE(v >= 0.0 && v <= 255.0 && v == std::round(v));
    } catch (const CodecError& e) {
      const std::string id = e.identifier();
      ASSERT_TRUE(id == codec_error::kPayload || id == codec_error::kTruncated ||
                  id == codec_error::kBasis)
          << id;
    }
  }
  EXPECT_GT(decoded, 0) << "some random payloads are valid codes";
}

TEST(CodecFormat, DependentAtomsAndCountsPastTheCapacityAreRefused) {
  // A Y dictionary whose two atoms are the same vector: a block holding both
  // leaves its second with no direction of its own.
  FileHeader h;
  h.rows = 8;
  h.cols = 8;
  h.blockRows = 8;
  h.blockCols = 8;
  h.storage = DictionaryStorage::kMatrices;
  h.Ky = 2;
  h.Kx = 1;
  h.Dy.assign(16, 1.0 / std::sqrt(8.0));
  h.Dx.assign(8, 1.0 / std::sqrt(8.0));
  h.step = 1.0;
  const CodeShape shape = codeShapeFor(1, 1, 1, 2, 1, 64);
  BlockCode code;
  code.first = {0, 2};
  code.yIndex = {0, 1};
  code.xIndex = {0, 0};
  code.level = {3, 4};
  PayloadModels models(shape);
  const std::vector<std::uint8_t> payload = encodePayload(shape, code, models);
  EXPECT_EQ(decodeFailure(writeFile(h, payload)), codec_error::kBasis);
  // The same payload read against a dictionary of one pair: a count of 2
  // where a block holds 1.
  h.Ky = 1;
  h.Dy.resize(8);
  EXPECT_EQ(decodeFailure(writeFile(h, payload)), codec_error::kPayload);
}

// ---- Rate control and the encoder's contract --------------------------------------

// Encodes, decodes, and checks what every file must hold: the decoded image
// has the PSNR the encoder reported, bit for bit, and the size reported.
DecodedImage roundTrip(const std::vector<double>& image, std::int32_t rows, std::int32_t cols,
                       std::int32_t channels, const EncodeOptions& o, EncodeReport* report) {
  const EncodedImage encoded = encodeImage(image.data(), rows, cols, channels, o);
  DecodedImage decoded = decodeImage(encoded.bytes.data(), encoded.bytes.size());
  const double peak = std::ldexp(1.0, o.bitDepth) - 1.0;
  const double psnr = imagePsnr(decoded.pixels.data(), image.data(), image.size(), peak);
  EXPECT_EQ(psnr, encoded.report.psnr) << "the decoded image has the PSNR reported";
  EXPECT_EQ(encoded.report.bytes, encoded.bytes.size());
  EXPECT_EQ(encoded.report.bpp, 8.0 * double(encoded.bytes.size()) / (double(rows) * cols));
  EXPECT_EQ(decoded.info.atoms, encoded.report.atoms);
  // The prefix of the pursuit's order holds every coded atom, within the call's.
  EXPECT_GE(encoded.report.prefix, encoded.report.atoms);
  EXPECT_LE(encoded.report.prefix, encoded.report.pursuitAtoms);
  *report = encoded.report;
  return decoded;
}

TEST(CodecRateControl, EveryTargetIsMetByTheDecodedImage) {
  const std::int32_t rows = 64, cols = 56;
  const std::vector<double> image = testImage(rows, cols, 1);
  double lastBpp = 0.0;
  // Past 48 dB a target allows less than a unit of squared error a sample,
  // where rounding the reconstruction makes most of its error exact samples.
  for (double target : {24.0, 28.0, 31.0, 34.0, 37.0, 40.0, 44.0, 50.0, 56.0, 62.0, 70.0}) {
    EncodeReport r;
    roundTrip(image, rows, cols, 1, psnrTarget(target), &r);
    EXPECT_GE(r.psnr, target);
    EXPECT_LT(r.psnr, target + 0.5) << "the step comes close to the target " << target;
    EXPECT_GT(r.bpp, lastBpp) << "a higher PSNR takes more bits";
    lastBpp = r.bpp;
  }
  for (double target : {0.2, 0.5, 1.0, 2.0, 3.5}) {
    EncodeOptions o = psnrTarget(0.0);
    o.bpp = target;
    EncodeReport r;
    roundTrip(image, rows, cols, 1, o, &r);
    EXPECT_LE(r.bpp, target);
    EXPECT_GT(r.bpp, 0.9 * target) << "the step comes close to the target";
  }
  // Colour, through the luma/chroma transform: PSNR over all three channels,
  // whose samples are rounded after the transform (a grey image in three
  // channels has its error in luma alone, shared by the three).
  const std::vector<double> colour = testImage(40, 48, 3), plane = testImage(40, 48, 1);
  std::vector<double> grey;
  for (std::int32_t ch = 0; ch < 3; ++ch) grey.insert(grey.end(), plane.begin(), plane.end());
  for (const auto& [image, target] :
       {std::pair{&colour, 33.0}, {&colour, 58.0}, {&colour, 64.0}, {&grey, 62.0}, {&grey, 68.0}}) {
    EncodeReport r;
    roundTrip(*image, 40, 48, 3, psnrTarget(target, "cosine:16+delta"), &r);
    EXPECT_GE(r.psnr, target);
    EXPECT_LT(r.psnr, target + 0.5) << "the step comes close to the target " << target;
  }
}

TEST(CodecRateControl, OddSizesBlocksAndDepthsRoundTrip) {
  struct Case {
    std::int32_t rows, cols, channels, blockRows, blockCols, bitDepth;
    const char* dictionary;
  };
  for (const Case& c : {Case{1, 1, 1, 8, 8, 8, "cosine:8"}, Case{37, 53, 1, 8, 8, 8, "cosine:16+delta"},
                        Case{19, 7, 3, 5, 3, 8, "delta"}, Case{30, 30, 1, 16, 16, 8, "cosine:16"},
                        Case{24, 40, 1, 8, 4, 1, "haar+delta"}, Case{16, 16, 1, 8, 8, 12, "cosine:8"},
                        Case{33, 18, 3, 8, 4, 8, ""}}) {  // "": cosine:8 along rows, cosine:4 along columns
    std::vector<double> image = testImage(c.rows, c.cols, c.channels, 5);
    const double peak = std::ldexp(1.0, c.bitDepth) - 1.0;
    for (double& v : image) v = std::round(v / 255.0 * peak);
    EncodeOptions o = psnrTarget(35.0, c.dictionary);
    o.blockRows = c.blockRows;
    o.blockCols = c.blockCols;
    o.bitDepth = c.bitDepth;
    EncodeReport r;
    const DecodedImage d = roundTrip(image, c.rows, c.cols, c.channels, o, &r);
    EXPECT_EQ(d.info.rows, c.rows);
    EXPECT_EQ(d.info.cols, c.cols);
    EXPECT_EQ(d.info.channels, c.channels);
    if (*c.dictionary == '\0') {  // the default: the orthonormal cosines of each side
      EXPECT_EQ(d.info.dictionaryY, "cosine:" + std::to_string(c.blockRows));
      EXPECT_EQ(d.info.dictionaryX, "cosine:" + std::to_string(c.blockCols));
    }
    // PSNR against the depth's own peak.
    EXPECT_GE(imagePsnr(d.pixels.data(), image.data(), image.size(), peak), 35.0)
        << c.rows << " x " << c.cols << " x " << c.channels << ", blocks " << c.blockRows << " x "
        << c.blockCols << ", " << c.bitDepth << " bits";
  }
  // Images mostly padding (3 of a block's 8 rows), whose aim jumps by a dB
  // from one step to the next: every target a complete dictionary can reach
  // is met, not refused as out of reach.
  struct Small {
    std::int32_t rows, cols;
    const char* dictionary;
  };
  for (const Small& c : {Small{3, 25, ""}, Small{9, 10, ""}, Small{23, 4, ""}, Small{1, 25, ""},
                         Small{3, 7, "cosine:8+delta"}}) {
    const std::vector<double> image = testImage(c.rows, c.cols, 1, 5);
    for (double target : {30.0, 36.0, 42.0}) {
      EncodeReport r;
      roundTrip(image, c.rows, c.cols, 1, psnrTarget(target, c.dictionary), &r);
      EXPECT_GE(r.psnr, target) << c.rows << " x " << c.cols << " '" << c.dictionary << "'";
    }
  }
  // A flat image meets a PSNR target with no atom, at the largest step a file
  // may hold, and a bits target it cannot fill at the least: at every depth
  // the file holds a step its decoder accepts (the ends of the steps' range,
  // taken through their logarithms, may round past it).
  for (std::int32_t depth = 1; depth <= 16; ++depth) {
    const double peak = std::ldexp(1.0, depth) - 1.0;
    for (double value : {0.0, std::floor(peak / 2.0), peak}) {
      const std::vector<double> flat(5 * 9, value);
      EncodeOptions o = psnrTarget(30.0, "");
      o.bitDepth = depth;
      EncodeReport r;
      roundTrip(flat, 5, 9, 1, o, &r);
      EXPECT_LE(r.step, mostStep(depth)) << depth << " bits";
      o.psnr = 0.0;
      o.bpp = 40.0;
      roundTrip(flat, 5, 9, 1, o, &r);
      EXPECT_GE(r.step, leastStep(depth)) << depth << " bits";
    }
  }
}

TEST(CodecRateControl, RequestsAreCheckedAndTargetsOutOfReachNamed) {
  const std::vector<double> image = testImage(24, 24, 1);
  const auto failure = [&](EncodeOptions o, std::int32_t channels = 1, double sample = -1.0) {
    std::vector<double> pixels = image;
    if (sample >= 0.0 || std::isnan(sample)) pixels[7] = sample;
    if (channels == 3) pixels.resize(3 * pixels.size(), 10.0);
    try {
      encodeImage(pixels.data(), 24, 24, channels, o);
    } catch (const CodecError& e) {
      return std::string(e.identifier());
    }
    return std::string();
  };
  EncodeOptions o = psnrTarget(30.0);
  EXPECT_EQ(failure(o), "");
  o.bpp = 1.0;
  EXPECT_EQ(failure(o), codec_error::kOptions);  // both targets
  o.psnr = 0.0;
  o.bpp = std::nan("");
  EXPECT_EQ(failure(o), codec_error::kOptions);
  o = psnrTarget(30.0);
  o.bitDepth = 17;
  EXPECT_EQ(failure(o), codec_error::kOptions);
  o = psnrTarget(30.0);
  o.threads = -1;
  EXPECT_EQ(failure(o), codec_error::kThreads);
  o = psnrTarget(30.0);
  o.blockCols = 65;
  EXPECT_EQ(failure(o), codec_error::kBlockSize);
  EXPECT_EQ(failure(psnrTarget(30.0), 2), codec_error::kImage);
  EXPECT_EQ(failure(psnrTarget(30.0), 1, 256.0), codec_error::kImage);
  EXPECT_EQ(failure(psnrTarget(30.0), 1, std::nan("")), codec_error::kImage);
  EXPECT_EQ(failure(psnrTarget(30.0, "cosine:8+bogus")), codec_error::kDictionary);
  o = psnrTarget(30.0, "");
  o.dictionary.Ky = o.dictionary.Kx = 2;
  o.dictionary.Dy.assign(16, 0.5);
  o.dictionary.Dx.assign(15, 0.5);  // one value short
  EXPECT_EQ(failure(o), codec_error::kDictionary);
  // One constant atom cannot reach 45 dB on this image; no file is 0.01 bpp.
  EXPECT_EQ(failure(psnrTarget(45.0, "cosine:1")), codec_error::kTarget);
  // Complete cosines reach any PSNR, but past about 95 dB at 16 bits the
  // finest step a file may hold does not, and the refusal says so.
  std::vector<double> deep = image;
  for (double& v : deep) v *= 257.0;
  for (const auto& [dictionary, depth, target] : {std::tuple{"cosine:1", 8, 45.0}, {"", 16, 100.0}}) {
    o = psnrTarget(target, dictionary);
    o.bitDepth = depth;
    try {
      encodeImage((depth == 8 ? image : deep).data(), 24, 24, 1, o);
      ADD_FAILURE() << target << " dB at " << depth << " bits is out of reach";
    } catch (const CodecError& e) {
      EXPECT_EQ(std::string(e.identifier()), codec_error::kTarget);
      EXPECT_EQ(std::string(e.what()).find("finest step") != std::string::npos, depth == 16) << e.what();
    }
  }
  o = psnrTarget(0.0);
  o.bpp = 0.01;
  EXPECT_EQ(failure(o), codec_error::kTarget);
}

// With orthonormal dictionaries (the default cosine bases) the blocks' vectors
// are the atoms themselves: every target still met by the decoded image bit
// for bit, and the same file decoded with Gram-Schmidt's vectors the same
// image to rounding. Other dictionaries keep Gram-Schmidt's.
TEST(CodecRateControl, OrthonormalDictionariesTakeTheAtomsAsVectors) {
  const std::int32_t rows = 64, cols = 56;
  const std::vector<double> image = testImage(rows, cols, 1);
  EncodeReport r;
  for (double target : {30.0, 38.0}) {
    EXPECT_EQ(roundTrip(image, rows, cols, 1, psnrTarget(target, "cosine:8"), &r).info.vectors, 1);
    EXPECT_GE(r.psnr, target);
  }
  EncodeOptions byRate = psnrTarget(0.0, "");
  byRate.bpp = 1.0;
  EXPECT_EQ(roundTrip(image, rows, cols, 1, byRate, &r).info.vectors, 1);
  EXPECT_LE(r.bpp, 1.0);
  const std::vector<double> colour = testImage(40, 48, 3);
  EncodeOptions wide = psnrTarget(33.0, "");
  wide.blockCols = 4;
  EXPECT_EQ(roundTrip(colour, 40, 48, 3, wide, &r).info.vectors, 1) << "8 x 4 blocks";
  EXPECT_GE(r.psnr, 33.0);

  // The file's vectors byte turned to Gram-Schmidt's: the same image to rounding.
  const std::vector<std::uint8_t> bytes = encodeImage(image.data(), rows, cols, 1, psnrTarget(36.0, "cosine:8")).bytes;
  const ParsedFile parsed = parseFile(bytes.data(), bytes.size());
  ASSERT_EQ(parsed.header.vectors, BlockVectors::kAtoms);
  FileHeader gramSchmidt = parsed.header;
  gramSchmidt.vectors = BlockVectors::kGramSchmidt;
  const std::vector<std::uint8_t> rebuilt =
      writeFile(gramSchmidt, std::vector<std::uint8_t>(parsed.payload, parsed.payload + parsed.payloadSize));
  const DecodedImage atoms = decodeImage(bytes.data(), bytes.size());
  const DecodedImage swept = decodeImage(rebuilt.data(), rebuilt.size());
  EXPECT_EQ(swept.info.vectors, 0);
  double most = 0.0;
  for (std::size_t i = 0; i < image.size(); ++i) most = std::max(most, std::fabs(atoms.pixels[i] - swept.pixels[i]));
  EXPECT_LE(most, 1.0);
  EXPECT_NEAR(imagePsnr(atoms.pixels.data(), image.data(), image.size(), 255.0),
              imagePsnr(swept.pixels.data(), image.data(), image.size(), 255.0), 0.01);

  // Redundant, not square, not orthogonal, or orthonormal but for 1e-9: Gram-Schmidt's.
  const std::vector<double> small = testImage(24, 16, 1);
  for (const char* dictionary : {"cosine:8+delta", "cosine:16", "chebyshev:8", "cdf97"}) {
    EXPECT_EQ(roundTrip(small, 24, 16, 1, psnrTarget(34.0, dictionary), &r).info.vectors, 0) << dictionary;
  }
  Dictionary cosine;
  DictionaryError error;
  ASSERT_TRUE(buildDictionary("cosine:8", 8, &cosine, &error));
  EncodeOptions matrices = psnrTarget(34.0, "");
  matrices.dictionary.Ky = matrices.dictionary.Kx = 8;
  matrices.dictionary.Dy = matrices.dictionary.Dx = cosine.matrix;
  EXPECT_EQ(roundTrip(small, 24, 16, 1, matrices, &r).info.vectors, 1) << "the matrices themselves";
  matrices.dictionary.Dx[10] += 1e-9;
  EXPECT_EQ(roundTrip(small, 24, 16, 1, matrices, &r).info.vectors, 0);
}

// A block's vectors in scan order: the atoms themselves are Gram-Schmidt's
// vectors for orthonormal atoms to rounding, each sample one product; a
// repeated atom, one out of range or one past the capacity is refused.
TEST(CodecRateControl, ScanBasisAtomsAreGramSchmidtsToRounding) {
  const DictionaryPair atomsPair = encoderDictionary(CodecDictionary(), 8, 4);
  ASSERT_EQ(atomsPair.vectors, BlockVectors::kAtoms);
  DictionaryPair sweptPair = atomsPair;
  sweptPair.vectors = BlockVectors::kGramSchmidt;
  ScanBasis atoms(atomsPair, 8, 4, 32), swept(sweptPair, 8, 4, 32);
  const std::vector<std::pair<int, int>> chosen = {{0, 0}, {1, 0}, {0, 1}, {3, 0}, {2, 2}, {0, 3}, {7, 1}, {6, 3}, {7, 3}};
  for (int round = 0; round < 2; ++round) {  // the second after clear(): the same vectors again
    atoms.clear();
    swept.clear();
    for (const auto& a : chosen) {
      ASSERT_TRUE(atoms.add(a.first, a.second));
      ASSERT_TRUE(swept.add(a.first, a.second));
    }
    EXPECT_FALSE(atoms.add(2, 2)) << "a repeated atom";
    EXPECT_FALSE(atoms.add(8, 0));
    EXPECT_FALSE(atoms.add(0, 4));
    EXPECT_FALSE(swept.add(2, 2));
    ASSERT_EQ(atoms.size(), std::int32_t(chosen.size()));
    for (std::size_t k = 0; k < chosen.size(); ++k) {
      const double* u = atoms.vector(std::int32_t(k));
      EXPECT_EQ(u, atoms.vector(0) + 32 * k) << "one after the other";
      for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < 8; ++i) {
          EXPECT_EQ(u[i + 8 * j], atomsPair.Dy[std::size_t(i + 8 * chosen[k].first)] *
                                      atomsPair.Dx[std::size_t(j + 4 * chosen[k].second)]);
          EXPECT_NEAR(u[i + 8 * j], swept.vector(std::int32_t(k))[i + 8 * j], 1e-14) << k;
        }
      }
    }
  }
  // The encoder places such blocks and takes their edges from the atoms
  // alone: the same bits as from the vectors the decoder makes.
  const PlaneGeometry g = planeGeometry(8, 4, 1, 8, 4, 8);
  std::vector<std::uint16_t> ys, xs;
  std::vector<double> coefficients;
  for (const auto& a : chosen) {
    ys.push_back(std::uint16_t(a.first));
    xs.push_back(std::uint16_t(a.second));
    coefficients.push_back(37.1 / double(ys.size()) - 9.3);
  }
  const std::int32_t m = std::int32_t(chosen.size());
  std::vector<double> fromVectors(g.planeSize()), fromAtoms(g.planeSize()), block(32);
  placeBlock(g, fromVectors, 0, atoms.vector(0), coefficients.data(), m, block.data());
  placeAtoms(g, fromAtoms, 0, atomsPair.Dy.data(), atomsPair.Dx.data(), ys.data(), xs.data(),
             coefficients.data(), m, block.data());
  EXPECT_EQ(fromAtoms, fromVectors);
  // The edge samples alone, from the atoms and from the vectors' edges.
  const std::vector<std::int32_t> y32(ys.begin(), ys.end()), x32(xs.begin(), xs.end());
  std::vector<double> edgesOfAtoms(g.planeSize(), -1.0), edgesOfVectors(g.planeSize(), -1.0);
  std::vector<double> edges(std::size_t(edgeLength(g)) * chosen.size());
  vectorEdges(g, atoms.vector(0), m, edges.data());
  placeBlockEdges(g, edgesOfVectors, 0, edges.data(), coefficients.data(), m);
  placeAtomEdges(g, edgesOfAtoms, 0, atomsPair.Dy.data(), atomsPair.Dx.data(), y32.data(), x32.data(),
                 coefficients.data(), m);
  EXPECT_EQ(edgesOfAtoms, edgesOfVectors);
  for (std::size_t i = 0; i < g.planeSize(); ++i) {
    const bool edge = i % 8 == 7 || i / 8 == 3;  // the last row or column of the 8 x 4 block
    EXPECT_EQ(edgesOfAtoms[i], edge ? fromAtoms[i] : -1.0) << i;
  }

  ScanBasis full(atomsPair, 8, 4, 2);
  EXPECT_TRUE(full.add(0, 0) && full.add(1, 1));
  EXPECT_FALSE(full.add(2, 2)) << "past the capacity";
}

// The same call gives the same bytes, on one thread or two, and with the
// dictionaries given as matrices instead of a description (apart from the
// header's dictionary field). Run under every kernel set by CTest.
TEST(CodecDeterminism, SameBytesForTheSameCallOnOneOrTwoThreads) {
  const std::vector<double> image = testImage(96, 80, 3, 9);
  // Gram-Schmidt's vectors, and the atoms as the vectors (the default).
  for (const char* dictionary : {"cosine:16+delta", ""}) {
    EncodeOptions o = psnrTarget(34.0, dictionary);
    const std::vector<std::uint8_t> once = encodeImage(image.data(), 96, 80, 3, o).bytes;
    EXPECT_EQ(encodeImage(image.data(), 96, 80, 3, o).bytes, once) << dictionary;
    o.threads = 2;
    EXPECT_EQ(encodeImage(image.data(), 96, 80, 3, o).bytes, once) << dictionary;
    o.bpp = 0.8;
    o.psnr = 0.0;
    const std::vector<std::uint8_t> byRate = encodeImage(image.data(), 96, 80, 3, o).bytes;
    o.threads = 1;
    EXPECT_EQ(encodeImage(image.data(), 96, 80, 3, o).bytes, byRate) << dictionary;
  }
}

// Random codes at the edges of what a payload holds (full blocks, the last
// pair's rank, levels at their bound, first levels of 0) decode to
// themselves, and a decoder reads exactly the payload's bytes.
TEST(CodecCoder, PayloadsRoundTripRandomCodesAtTheirBounds) {
  std::mt19937 random(5);
  for (int trial = 0; trial < 40; ++trial) {
    const std::int32_t Ky = 1 + std::int32_t(random() % 12), Kx = 1 + std::int32_t(random() % 12);
    const std::int32_t N = 1 + std::int32_t(random() % 64);
    const std::int32_t channels = trial % 3 == 0 ? 3 : 1;
    const CodeShape shape = codeShapeFor(1 + std::int32_t(random() % 5), 1 + std::int32_t(random() % 5),
                                         channels, Ky, Kx, N);
    BlockCode code;
    code.first.push_back(0);
    for (std::int64_t q = 0; q < shape.blocks(); ++q) {
      const std::uint32_t pick = random() % 4;
      const std::int32_t m = pick == 0 ? 0 : pick == 1 ? shape.capacity : std::int32_t(random() % (shape.capacity + 1));
      // m distinct pairs in scan order: the last m ranks, or m at random.
      std::vector<std::uint32_t> ranks(shape.pairs());
      std::iota(ranks.begin(), ranks.end(), 0u);
      if (pick != 1) std::shuffle(ranks.begin(), ranks.end(), random);
      else std::reverse(ranks.begin(), ranks.end());
      ranks.resize(std::size_t(m));
      std::sort(ranks.begin(), ranks.end());
      for (std::int32_t k = 0; k < m; ++k) {
        const std::uint32_t pair = shape.pairAt[ranks[std::size_t(k)]];
        code.yIndex.push_back(std::uint16_t(pair % std::uint32_t(Ky)));
        code.xIndex.push_back(std::uint16_t(pair / std::uint32_t(Ky)));
        const std::uint32_t kind = random() % 4;
        std::int32_t magnitude = kind == 0 ? std::int32_t(shape.levelBound) : 1 + std::int32_t(random() % 20);
        if (k == 0 && kind == 1) magnitude = 0;
        code.level.push_back(random() % 2 ? magnitude : -magnitude);
      }
      code.first.push_back(code.first.back() + std::uint64_t(m));
    }
    PayloadModels models(shape);
    const std::vector<std::uint8_t> payload = encodePayload(shape, code, models);
    const BlockCode decoded = decodePayload(shape, payload.data(), payload.size(), code.first.back());
    ASSERT_EQ(decoded.first, code.first) << "trial " << trial;
    ASSERT_EQ(decoded.yIndex, code.yIndex);
    ASSERT_EQ(decoded.xIndex, code.xIndex);
    ASSERT_EQ(decoded.level, code.level);
    if (code.first.back() > 0) {
      EXPECT_THROW(decodePayload(shape, payload.data(), payload.size(), code.first.back() - 1), CodecError);
    }
  }
}

// The coded planes of an image of integers, decoded without loss, are the
// image again: the shift and the colour transform are undone exactly to
// rounding, and the padding is cropped.
TEST(CodecRateControl, CodedPlanesTurnBackIntoTheImage) {
  for (std::int32_t channels : {1, 3}) {
    const std::vector<double> image = testImage(29, 19, channels, 4);
    const PlaneGeometry g = planeGeometry(29, 19, channels, 8, 4, 8);
    const std::vector<double> planes = codedPlanes(g, image.data());
    ASSERT_EQ(planes.size(), std::size_t(32 * 20 * channels));
    EXPECT_EQ(imageOfPlanes(g, planes), image);
    // The transform keeps squared distances: one unit of error in every
    // sample of the image is one unit of squared error per sample in the
    // planes' own samples.
    std::vector<double> brighter = image;
    for (double& v : brighter) v = std::min(v + 1.0, 255.0);
    const std::vector<double> moved = codedPlanes(g, brighter.data());
    double planeError = 0.0;
    for (std::int32_t ch = 0; ch < channels; ++ch) {
      for (std::int32_t c = 0; c < 19; ++c) {
        for (std::int32_t r = 0; r < 29; ++r) {
          const std::size_t i = std::size_t(ch) * g.planeSize() + std::size_t(c) * 32 + std::size_t(r);
          planeError += (moved[i] - planes[i]) * (moved[i] - planes[i]);
        }
      }
    }
    EXPECT_NEAR(planeError, squaredError(brighter.data(), image.data(), image.size()), 1e-9);
    // The encoder's measure of decoded planes (off the samples' grid, some
    // past the range) is the error of the decoder's image, bit for bit.
    std::vector<double> noisy = planes;
    std::uint32_t state = 12345u;
    for (double& v : noisy) {
      state = state * 1664525u + 1013904223u;
      v += (double(state >> 8) / double(1u << 24) - 0.5) * 90.0;
    }
    const std::vector<double> decoded = imageOfPlanes(g, noisy);
    const double error = squaredError(decoded.data(), image.data(), image.size());
    EXPECT_GT(error, 0.0);
    EXPECT_EQ(decodedError(g, noisy, image.data()), error);
    // An image of integers: its errors sum to the same in lanes.
    ASSERT_TRUE(errorsSumInAnyOrder(image.data(), image.size(), 255.0));
    EXPECT_EQ(decodedError(g, noisy, image.data(), true), error);
    std::vector<double> fractional = image;
    fractional[7] += 0.5;
    EXPECT_FALSE(errorsSumInAnyOrder(fractional.data(), fractional.size(), 255.0));
    EXPECT_FALSE(errorsSumInAnyOrder(image.data(), std::size_t(1) << 38, 65535.0)) << "past 2^53";
  }
}

// The edge filter as its rule reads, line by line with branches, against
// the filter the encoder and the decoder share: the same samples, bit for
// bit, with lines filtered and left alone side by side, at every strength.
TEST(CodecRateControl, TheEdgeFilterIsItsRuleBitForBit) {
  const auto byRule = [](const PlaneGeometry& g, std::vector<double>& plane, double step, std::int32_t strength) {
    const double alpha = 0.5 * strength * step;
    const std::int64_t height = g.paddedRows(), width = g.paddedCols();
    const auto line = [&](double& p1, double& p0, double& q0, double& q1) {
      const double d = q0 - p0;
      if (std::fabs(d) < alpha && std::fabs(p1 - p0) < 0.5 * alpha && std::fabs(q1 - q0) < 0.5 * alpha) {
        p0 += 0.25 * d;
        q0 -= 0.25 * d;
        p1 += 0.125 * d;
        q1 -= 0.125 * d;
      }
    };
    const auto at = [&](std::int64_t r, std::int64_t c) -> double& { return plane[std::size_t(c * height + r)]; };
    if (g.blockCols >= 4) {
      for (std::int64_t c = g.blockCols; c < width; c += g.blockCols) {
        for (std::int64_t r = 0; r < height; ++r) line(at(r, c - 2), at(r, c - 1), at(r, c), at(r, c + 1));
      }
    }
    if (g.blockRows >= 4) {
      for (std::int64_t c = 0; c < width; ++c) {
        for (std::int64_t r = g.blockRows; r < height; r += g.blockRows) line(at(r - 2, c), at(r - 1, c), at(r, c), at(r + 1, c));
      }
    }
  };
  std::mt19937 random(7);
  std::uniform_real_distribution<double> jitter(-6.0, 6.0);
  for (const auto& [blockRows, blockCols] : {std::pair{8, 8}, std::pair{8, 4}, std::pair{3, 5}, std::pair{16, 4}}) {
    const PlaneGeometry g = planeGeometry(45, 37, 1, blockRows, blockCols, 8);
    std::vector<double> plane(g.planeSize());
    for (std::size_t i = 0; i < plane.size(); ++i) plane[i] = 40.0 * std::sin(0.05 * double(i)) + jitter(random);
    for (std::int32_t strength = 0; strength <= kMostEdgeFilter; ++strength) {
      std::vector<double> expected = plane, filtered = plane;
      byRule(g, expected, 9.0, strength);
      filterBlockEdges(g, filtered, 9.0, strength);
      EXPECT_EQ(0, std::memcmp(expected.data(), filtered.data(), plane.size() * sizeof(double)))
          << blockRows << " x " << blockCols << " blocks, strength " << strength;
      if (strength == 2 && blockRows == 8 && blockCols == 8) {
        EXPECT_NE(filtered, plane) << "lines were filtered";
      }
    }
  }
}

}  // namespace
