// The image codec: its range coder and models, its file format against damaged
// and hostile files, its rate control, and the same bytes for the same call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "block_code.h"
#include "file_format.h"
#include "range_coder.h"
#include "symbol_models.h"
#include "tilevista/codec.h"

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

}  // namespace
