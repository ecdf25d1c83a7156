// The dictionary layer: its bases are orthonormal, its filter banks have their
// known sums and reconstruct perfectly, every atom has unit norm, repeats of
// earlier terms are left out (checked against a comparison of every pair),
// bad descriptions are refused with the families listed, cosine:K gives the
// toolbox's bits and random:K:seed the same bits for the same seed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "random_atoms.h"
#include "tilevista/dictionary.h"
#include "wavelet_atoms.h"
#include "wavelet_filters.h"

using tilevista::Dictionary;
using tilevista::DictionaryError;

namespace {

Dictionary build(const std::string& description, std::int32_t n) {
  Dictionary d;
  DictionaryError error;
  EXPECT_TRUE(tilevista::buildDictionary(description, n, &d, &error))
      << description << " n " << n << ": " << error.message;
  return d;
}

double dot(const double* a, const double* b, std::int32_t n) {
  double sum = 0.0;
  for (std::int32_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

const double* column(const std::vector<double>& m, std::int32_t n, std::int32_t k) {
  return m.data() + std::size_t(k) * std::size_t(n);
}

// max |A' B - I| for n x K matrices A and B.
double distanceFromIdentity(const std::vector<double>& A, const std::vector<double>& B,
                            std::int32_t n, std::int32_t K) {
  double worst = 0.0;
  for (std::int32_t j = 0; j < K; ++j) {
    for (std::int32_t k = 0; k < K; ++k) {
      const double value = dot(column(A, n, j), column(B, n, k), n);
      worst = std::fmax(worst, std::fabs(value - (j == k ? 1.0 : 0.0)));
    }
  }
  return worst;
}

// The digest tests/support/cosine-bits records for the toolboxes' matrices.
std::uint64_t digest(const std::vector<double>& values) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::uint64_t z = 0;
    std::memcpy(&z, &values[i], sizeof z);
    z += (i + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    sum += z ^ (z >> 31);
  }
  return sum;
}

TEST(Dictionaries, BasesAreOrthonormal) {
  // Odd lengths (no wavelet level), lengths with an odd coarsest part (12,
  // 24, 48), and levels shorter than the longest filter (8 taps on 2 and 4).
  for (std::int32_t n : {1, 2, 3, 4, 5, 6, 8, 12, 16, 24, 31, 32, 48, 64, 256}) {
    const std::string N = std::to_string(n);
    const std::vector<std::string> bases = {"haar",         "daubechies:1", "daubechies:2",
                                            "daubechies:3", "daubechies:4", "delta",
                                            "legendre:" + N, "cosine:" + N, "sine:" + N};
    for (const std::string& description : bases) {
      const Dictionary d = build(description, n);
      ASSERT_EQ(d.atoms, n) << description;
      EXPECT_LE(distanceFromIdentity(d.matrix, d.matrix, n, n), 1e-12) << description << " n " << n;
    }
    EXPECT_EQ(build("haar", n).matrix, build("daubechies:1", n).matrix);
  }
  // n = 12 stops at the odd length 3: the coarsest Haar atoms are the three
  // blocks of four samples.
  const Dictionary haar = build("haar", 12);
  for (std::int32_t k = 0; k < 3; ++k) {
    for (std::int32_t i = 0; i < 12; ++i) {
      EXPECT_NEAR(haar.matrix[k * 12 + i], i / 4 == k ? 0.5 : 0.0, 1e-15) << k << " " << i;
    }
  }
}

TEST(Dictionaries, WaveletFiltersHaveTheirKnownSums) {
  // sum t^p f[t] over a filter, t counted from the filter's start.
  const auto moment = [](const tilevista::WaveletChannel& f, int p) {
    double sum = 0.0;
    for (std::size_t t = 0; t < f.taps.size(); ++t) sum += std::pow(double(t), p) * f.taps[t];
    return sum;
  };
  for (std::int32_t P = 1; P <= tilevista::kMaxDaubechiesMoments; ++P) {
    const tilevista::WaveletBank bank = tilevista::daubechiesBank(P);
    const std::vector<double>& h = bank.synthesisLow.taps;
    ASSERT_EQ(h.size(), std::size_t(2 * P));
    EXPECT_NEAR(moment(bank.synthesisLow, 0), std::sqrt(2.0), 1e-15) << P;
    for (std::size_t shift = 0; shift < h.size(); shift += 2) {
      double sum = 0.0;  // sum h[t] h[t + shift]: 1 for no shift, 0 for even shifts
      for (std::size_t t = 0; t + shift < h.size(); ++t) sum += h[t] * h[t + shift];
      EXPECT_NEAR(sum, shift == 0 ? 1.0 : 0.0, 1e-15) << P << " shift " << shift;
    }
    // P vanishing moments of the high-pass.
    for (int p = 0; p < P; ++p) EXPECT_NEAR(moment(bank.synthesisHigh, p), 0.0, 1e-13) << P;
    EXPECT_GT(std::fabs(moment(bank.synthesisHigh, P)), 1e-3) << P;
  }
  // The published CDF 9/7 taps are rounded from irrational values: their sums
  // are off by some 1e-15.
  const tilevista::WaveletBank cdf = tilevista::cdf97Bank();
  EXPECT_NEAR(moment(cdf.analysisLow, 0), 1.0, 2e-14);
  EXPECT_NEAR(moment(cdf.synthesisLow, 0), 2.0, 2e-14);
  // Both high-pass filters have four vanishing moments.
  for (int p = 0; p < 4; ++p) {
    EXPECT_NEAR(moment(cdf.analysisHigh, p), 0.0, 1e-12) << p;
    EXPECT_NEAR(moment(cdf.synthesisHigh, p), 0.0, 1e-12) << p;
  }
}

TEST(Dictionaries, Cdf97ReconstructsPerfectly) {
  const tilevista::WaveletBank bank = tilevista::cdf97Bank();
  for (std::int32_t n : {2, 4, 6, 8, 10, 12, 16, 24, 32, 40, 64, 96}) {
    std::vector<double> synthesis(std::size_t(n) * n), analysis(std::size_t(n) * n);
    tilevista::waveletBasis(bank, tilevista::WaveletSide::synthesis, n, synthesis.data());
    tilevista::waveletBasis(bank, tilevista::WaveletSide::analysis, n, analysis.data());
    EXPECT_LE(distanceFromIdentity(analysis, synthesis, n, n), 1e-12) << n;
    // The family's atoms: the synthesis vectors with unit norm, not orthogonal.
    const Dictionary d = build("cdf97", n);
    ASSERT_EQ(d.atoms, n);
    double offDiagonal = 0.0;
    for (std::int32_t k = 0; k < n; ++k) {
      EXPECT_NEAR(dot(column(d.matrix, n, k), column(d.matrix, n, k), n), 1.0, 1e-14);
      EXPECT_NEAR(std::fabs(dot(column(d.matrix, n, k), column(synthesis, n, k), n)),
                  std::sqrt(dot(column(synthesis, n, k), column(synthesis, n, k), n)), 1e-13);
      for (std::int32_t j = 0; j < k; ++j) {
        offDiagonal = std::fmax(offDiagonal, std::fabs(dot(column(d.matrix, n, k),
                                                           column(d.matrix, n, j), n)));
      }
    }
    if (n >= 8) {
      EXPECT_GT(offDiagonal, 1e-3) << n;
    }
  }
}

TEST(Dictionaries, EveryFamilyGivesUnitAtomsItsTermNames) {
  for (std::int32_t n : {1, 2, 3, 5, 8, 13, 16, 32}) {
    const std::string N = std::to_string(n);
    const std::string redundant = std::to_string(3 * n + 1);
    struct Case {
      std::string description, family, parameter;
      std::int32_t atoms;
    };
    for (const Case& c : std::vector<Case>{{"cosine:" + redundant, "cosine", redundant, 3 * n + 1},
                                           {"cosine:1", "cosine", "1", 1},
                                           {"sine:" + redundant, "sine", redundant, 3 * n + 1},
                                           {"legendre:" + N, "legendre", N, n},
                                           {"chebyshev:" + N, "chebyshev", N, n},
                                           {"haar", "haar", "", n},
                                           {"daubechies:3", "daubechies", "3", n},
                                           {"cdf97", "cdf97", "", n},
                                           {"delta", "delta", "", n},
                                           {"random:40:9", "random", "40:9", 40}}) {
      const Dictionary d = build(c.description, n);
      EXPECT_EQ(d.description, c.description);
      ASSERT_EQ(d.length, n);
      ASSERT_EQ(d.atoms, c.atoms) << c.description;
      ASSERT_EQ(d.matrix.size(), std::size_t(n) * std::size_t(c.atoms));
      ASSERT_EQ(d.kept.size(), std::size_t(c.atoms));
      EXPECT_TRUE(d.dropped.empty() && d.repeats.empty()) << c.description;
      for (std::int32_t k = 0; k < d.atoms; ++k) {
        EXPECT_EQ(d.kept[k].family, c.family);
        EXPECT_EQ(d.kept[k].parameter, c.parameter);
        EXPECT_EQ(d.kept[k].number, k);
        const double* atom = column(d.matrix, n, k);
        for (std::int32_t i = 0; i < n; ++i) ASSERT_TRUE(std::isfinite(atom[i]));
        EXPECT_NEAR(dot(atom, atom, n), 1.0, 1e-14) << c.description << " atom " << k;
      }
    }
  }
}

TEST(Dictionaries, PolynomialFamiliesSpanThePolynomialsOfTheirDegrees) {
  for (std::int32_t n : {3, 5, 8, 16, 33}) {
    for (std::int32_t K : {1, 2, (n + 1) / 2, n}) {
      const std::string k = std::to_string(K);
      const Dictionary L = build("legendre:" + k, n), C = build("chebyshev:" + k, n);
      for (std::int32_t j = 0; j < K; ++j) {
        // T_j lies in the span of legendre's degrees 0..j and is orthogonal
        // to its degrees above j.
        double inside = 0.0;
        for (std::int32_t i = 0; i < K; ++i) {
          const double c = dot(column(L.matrix, n, i), column(C.matrix, n, j), n);
          if (i <= j) {
            inside += c * c;
          } else {
            EXPECT_NEAR(c, 0.0, 1e-12) << "n " << n << " T_" << j << " legendre " << i;
          }
        }
        EXPECT_NEAR(inside, 1.0, 1e-12) << "n " << n << " T_" << j;
        EXPECT_GT(L.matrix[std::size_t(j) * n + n - 1], 0.0);
      }
    }
  }
}

// Every dropped atom repeats the column named, and no kept atom of a later
// term repeats a kept atom of an earlier one: the index against every pair.
void expectRepeatsAsEveryPairSays(const Dictionary& d) {
  const std::int32_t n = d.length;
  ASSERT_EQ(d.dropped.size(), d.repeats.size());
  for (std::size_t i = 0; i < d.repeats.size(); ++i) {
    ASSERT_GE(d.repeats[i], 0);
    ASSERT_LT(d.repeats[i], d.atoms);
  }
  for (std::int32_t k = 0; k < d.atoms; ++k) {
    for (std::int32_t j = 0; j < k; ++j) {
      const bool earlierTerm = d.kept[j].family != d.kept[k].family ||
                               d.kept[j].parameter != d.kept[k].parameter;
      if (!earlierTerm) continue;
      EXPECT_LE(std::fabs(dot(column(d.matrix, n, j), column(d.matrix, n, k), n)),
                1.0 - tilevista::kRepeatTolerance)
          << d.description << ": column " << k << " repeats column " << j;
    }
  }
}

TEST(Dictionaries, RepeatsOfEarlierTermsAreLeftOut) {
  // The constant vector of cosines, polynomials and Haar, once.
  const Dictionary mix = build(" cosine : 16 +legendre:8+\thaar+delta ", 8);
  EXPECT_EQ(mix.description, "cosine:16+legendre:8+haar+delta");
  ASSERT_EQ(mix.atoms, 16 + 7 + 7 + 8);
  ASSERT_EQ(mix.dropped.size(), 2u);
  EXPECT_EQ(mix.dropped[0].family + ":" + std::to_string(mix.dropped[0].number), "legendre:0");
  EXPECT_EQ(mix.dropped[1].family + ":" + std::to_string(mix.dropped[1].number), "haar:0");
  EXPECT_EQ(mix.repeats, (std::vector<std::int32_t>{0, 0}));
  // The kept atoms are the terms' own, bit for bit, in order.
  const Dictionary legendre = build("legendre:8", 8);
  EXPECT_EQ(std::vector<double>(mix.matrix.begin(), mix.matrix.begin() + 8 * 16),
            build("cosine:16", 8).matrix);
  EXPECT_EQ(std::vector<double>(mix.matrix.begin() + 8 * 16, mix.matrix.begin() + 8 * 23),
            std::vector<double>(legendre.matrix.begin() + 8, legendre.matrix.end()));
  EXPECT_EQ(mix.kept[16].number, 1);
  expectRepeatsAsEveryPairSays(mix);

  // Every second atom of cosine:2n is an atom of cosine:n.
  const Dictionary twice = build("cosine:8+cosine:16", 8);
  ASSERT_EQ(twice.dropped.size(), 8u);
  for (std::int32_t k = 0; k < 8; ++k) {
    EXPECT_EQ(twice.dropped[k].number, 2 * k);
    EXPECT_EQ(twice.repeats[k], k);
  }
  // Whole bases again, and atoms of opposite sign (length 1: all are +-1).
  EXPECT_EQ(build("haar+daubechies:1", 16).atoms, 16);
  const Dictionary signs = build("delta+random:5:3", 1);
  EXPECT_EQ(signs.atoms, 1);
  EXPECT_EQ(signs.repeats, (std::vector<std::int32_t>(5, 0)));
  // A term's own atoms are not compared with each other.
  EXPECT_EQ(build("random:5:3", 1).atoms, 5);

  for (std::int32_t n : {4, 16, 24}) {
    expectRepeatsAsEveryPairSays(build(
        "cosine:64+sine:64+legendre:4+chebyshev:4+haar+daubechies:2+daubechies:4+cdf97+delta+"
        "random:20:3+cosine:32+sine:" + std::to_string(n),
        n));
  }
}

TEST(Dictionaries, BadDescriptionsAreRefusedWithTheFamilies) {
  struct Case {
    std::string description;
    std::int32_t n;
    std::string cause;  // a part of the message's first sentence
  };
  const std::vector<Case> cases = {
      {"", 8, "names no family"},         {" \t ", 8, "names no family"},
      {"+", 8, "term 1 of 2 is empty"},   {"cosine:16+", 8, "term 2 of 2 is empty"},
      {"+haar", 8, "term 1 of 2 is empty"}, {"cosine:16++haar", 8, "term 2 of 3 is empty"},
      {"wavelet", 8, "unknown family \"wavelet\""}, {"Cosine:16", 8, "unknown family"},
      {"cosine", 8, "has 0 parameter(s)"}, {"cosine:16:2", 8, "has 2 parameter(s)"},
      {"haar:2", 8, "has 1 parameter(s)"}, {"random:4", 8, "random:K:seed"},
      {"cosine:", 8, "it is \"\""},        {"cosine:0", 8, "from 1 to 65536; it is \"0\""},
      {"cosine:-3", 8, "it is \"-3\""},    {"cosine:+3", 8, "in \"cosine:\""},
      {"cosine:1.5", 8, "it is \"1.5\""},  {"cosine:1 6", 8, "it is \"1 6\""},
      {"cosine:16\n", 8, "it is \"16\n\""}, {"cosine:65537", 8, "it is \"65537\""},
      {"cosine:99999999999999999999999999", 8, "from 1 to 65536"},
      {"cosine:" + std::string(100000, '7'), 8, "it is \"7777777777"},
      {std::string(100000, 'x'), 8, "unknown family \"xxxxxxxxxx"},
      {"daubechies:0", 8, "from 1 to 4"},  {"daubechies:5", 8, "from 1 to 4"},
      {"legendre:9", 8, "from 1 to 8; it is \"9\". A polynomial of degree n"},
      {"chebyshev:2", 1, "from 1 to 1"},  {"random:0:1", 8, "K must be"},
      {"random:4:4294967296", 8, "seed must be a whole number from 0 to 4294967295"},
      {"cosine:40000+sine:30000", 8, "list 70000 atoms"},
      {"cosine:16385", 1024, "at most 65536 atoms and 16777216 values"},
      {"delta", 0, "n must be from 1 to 1024; it is 0"},
      {"delta", -5, "it is -5"},           {"delta", 1025, "it is 1025"}};
  const std::vector<std::string> syntax = {
      "cosine:K (K = 1..65536)", "sine:K", "legendre:K (K = 1..n)", "chebyshev:K", "haar",
      "daubechies:P (P = 1..4)", "cdf97", "delta", "random:K:seed (K = 1..65536, seed = 0.."};
  ASSERT_EQ(tilevista::dictionaryFamilies().size(), syntax.size());
  for (const Case& c : cases) {
    Dictionary out;
    out.atoms = -7;  // left untouched
    DictionaryError error;
    EXPECT_FALSE(tilevista::buildDictionary(c.description, c.n, &out, &error)) << c.description;
    EXPECT_STREQ(error.identifier, "TILEVISTA:dictionary");
    EXPECT_NE(error.message.find(c.cause), std::string::npos) << error.message;
    for (const std::string& s : syntax) EXPECT_NE(error.message.find(s), std::string::npos) << s;
    EXPECT_EQ(out.atoms, -7);
    EXPECT_FALSE(tilevista::buildDictionary(c.description, c.n, &out, nullptr));
    EXPECT_LT(error.message.size(), 800u);  // not the caller's whole text
  }
  DictionaryError error;
  EXPECT_FALSE(tilevista::buildDictionary("delta", 8, nullptr, &error));
  EXPECT_NE(error.message.find("no place was given for the result"), std::string::npos);
  // At the limits: accepted.
  EXPECT_EQ(build("cosine:0016+ random : 1 : 4294967295", 1024).description,
            "cosine:16+random:1:4294967295");
  EXPECT_EQ(build("legendre:1", 1).atoms, 1);
}

// tests/data/cosine_digests.txt holds the digests of the toolboxes' cosine
// dictionaries for n = 4..32, K = n..4n, which Octave and NumPy give alike
// (tests/support/cosine-bits checks both against it).
TEST(Dictionaries, CosineGivesTheToolboxBits) {
  std::ifstream in(std::string(TILEVISTA_SOURCE_DIR) + "/tests/data/cosine_digests.txt");
  ASSERT_TRUE(in.good());
  std::string line;
  int sizes = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::int32_t n = 0, K = 0;
    std::string hex;
    ASSERT_TRUE(fields >> n >> K >> hex) << line;
    const Dictionary d = build("cosine:" + std::to_string(K), n);
    EXPECT_EQ(digest(d.matrix), std::stoull(hex, nullptr, 16)) << "n " << n << " K " << K;
    ++sizes;
  }
  EXPECT_EQ(sizes, 1595);
}

TEST(Dictionaries, RandomColumnsAreReproducibleGaussians) {
  const Dictionary a = build("random:16:7", 8);
  EXPECT_EQ(a.matrix, build("random:16:7", 8).matrix);
  const Dictionary longer = build("random:24:7", 8);
  EXPECT_EQ(a.matrix, std::vector<double>(longer.matrix.begin(), longer.matrix.begin() + 8 * 16));
  EXPECT_NE(a.matrix, build("random:16:8", 8).matrix);
  // Unit columns of n normal numbers, times sqrt(n): mean 0, variance 1 and
  // kurtosis 3n/(n+2) (2.91 for n = 64; uniform numbers would give 1.8).
  const std::int32_t n = 64;
  const Dictionary g = build("random:2048:1", n);
  double m1 = 0.0, m2 = 0.0, m4 = 0.0;
  for (double v : g.matrix) {
    const double x = v * std::sqrt(double(n));
    m1 += x;
    m2 += x * x;
    m4 += x * x * x * x;
  }
  const double count = double(g.matrix.size());
  EXPECT_NEAR(m1 / count, 0.0, 0.02);
  EXPECT_NEAR(m2 / count, 1.0, 1e-12);
  EXPECT_NEAR(m4 / count, 3.0 * n / (n + 2), 0.1);
  // The transform's own logarithm, against the C library's, over (0, 1).
  for (double s = 1e-300; s < 1.0; s = s * 1.37 + 1e-4 * (1.0 - s)) {
    EXPECT_NEAR(tilevista::naturalLog(s), std::log(s), 4e-16 * std::fmax(1.0, std::fabs(std::log(s))))
        << s;
  }
}

}  // namespace
