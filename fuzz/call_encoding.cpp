// Decoding of fuzz bytes into a call of the module (format in call_encoding.h).
#include "call_encoding.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "cosine_dictionary.h"

namespace fuzzcall {

std::uint8_t Reader::u8() { return position_ < size_ ? data_[position_++] : 0; }

std::uint16_t Reader::u16() {
  const unsigned lo = u8();
  const unsigned hi = u8();
  return static_cast<std::uint16_t>(lo | (hi << 8));
}

std::uint32_t Reader::u32() {
  const std::uint32_t lo = u16();
  const std::uint32_t hi = u16();
  return lo | (hi << 16);
}

double Reader::f64() {
  std::uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits |= std::uint64_t{u8()} << (8 * i);
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

void Writer::u16(unsigned v) {
  u8(v & 0xff);
  u8((v >> 8) & 0xff);
}

void Writer::u32(std::uint32_t v) {
  u16(v & 0xffff);
  u16(v >> 16);
}

void Writer::f64(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  for (int i = 0; i < 8; ++i) u8(static_cast<unsigned>((bits >> (8 * i)) & 0xff));
}

double decodeValue(std::uint8_t tag, Reader& in) {
  switch (tag) {
    case kRawDouble: return in.f64();
    case kNaN: return std::numeric_limits<double>::quiet_NaN();
    case kPlusInf: return std::numeric_limits<double>::infinity();
    case kMinusInf: return -std::numeric_limits<double>::infinity();
    case kTiniestSubnormal: return std::numeric_limits<double>::denorm_min();
    case kNegativeLargestSubnormal: return -std::nextafter(DBL_MIN, 0.0);
    case kDoubleMax: return DBL_MAX;
    case kMinusDoubleMax: return -DBL_MAX;
    case kDoubleMin: return DBL_MIN;
    case kTiny: return 1e-300;
    case kHuge: return 1e300;
    case kMinusZero: return -0.0;
    case kMicro: return 1e-12;
    case kMega: return 1e12;
    default: return (static_cast<int>(tag) - kSmallZero) / 4.0;
  }
}

namespace {

// splitmix64: a small generator whose sequence is the same on every platform,
// so that a seed reproduces its call everywhere.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  /// Uniform in [-1, 1).
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-52 - 1.0; }
  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(next() % n); }

 private:
  std::uint64_t state_;
};

// Decodes arrays of the raw format against a budget of elements for the call.
class ArrayDecoder {
 public:
  explicit ArrayDecoder(Reader& in) : in_(in) {}

  // A top-level array (never null).
  mxArray* top() {
    mxArray* a = array(0);
    return a != nullptr ? a : mxCreateDoubleMatrix(0, 0, mxREAL);
  }
  mxArray* array(int depth);

 private:
  struct Shape {
    std::size_t m, n;
  };
  Shape shape() {
    std::size_t m = in_.u16();
    std::size_t n = in_.u16();
    const std::size_t limit = std::min(m, n) <= 1 ? kMaxVectorElements : kMaxElements;
    const std::size_t room = std::min(limit, remaining_);
    if (m > room) m = room;
    if (m != 0 && m * n > room) n = room / m;
    remaining_ -= std::min(remaining_, m * n);
    return {m, n};
  }
  mxArray* numeric(Shape s, mxClassID id);

  Reader& in_;
  std::size_t remaining_ = kMaxCallElements;
};

mxArray* ArrayDecoder::numeric(Shape s, mxClassID id) {
  const std::size_t count = s.m * s.n;
  const std::uint8_t how = in_.u8() % kFills;
  std::vector<double> v(count, 0.0);
  if (how == kExplicit) {
    for (double& x : v) x = decodeValue(in_.u8(), in_);
  } else if (how == kRandom || how == kRandomPatched) {
    Random rng(in_.u32());
    const int exponent = static_cast<std::int8_t>(in_.u8()) * 8;
    for (double& x : v) x = std::ldexp(rng.uniform(), exponent);
    if (how == kRandomPatched) {
      const unsigned patches = in_.u8() % 16;
      for (unsigned p = 0; p < patches; ++p) {
        const std::size_t position = in_.u16();
        const double value = decodeValue(in_.u8(), in_);
        if (count > 0) v[position % count] = value;
      }
    }
  } else if (how == kConstant) {
    std::fill(v.begin(), v.end(), decodeValue(in_.u8(), in_));
  } else if (how == kIdentity) {
    for (std::size_t i = 0; i < std::min(s.m, s.n); ++i) v[i * s.m + i] = 1.0;
  }

  mxArray* a = mxCreateNumericMatrix(s.m, s.n, id, mxREAL);
  void* data = mxGetData(a);
  for (std::size_t i = 0; i < count; ++i) {
    const double x = v[i];
    switch (id) {
      case mxDOUBLE_CLASS: static_cast<double*>(data)[i] = x; break;
      case mxSINGLE_CLASS: {
        // Out-of-range conversion to float is undefined: saturate first.
        float f;
        if (std::isnan(x)) f = std::numeric_limits<float>::quiet_NaN();
        else if (x > FLT_MAX) f = std::numeric_limits<float>::infinity();
        else if (x < -FLT_MAX) f = -std::numeric_limits<float>::infinity();
        else f = static_cast<float>(x);
        static_cast<float*>(data)[i] = f;
        break;
      }
      default: {
        // Integers saturate and map NaN to 0, as the hosts convert them.
        auto put = [&](auto* p) {
          using T = std::remove_pointer_t<decltype(p)>;
          const double lo = static_cast<double>(std::numeric_limits<T>::min());
          const double hi = static_cast<double>(std::numeric_limits<T>::max());
          T t;
          if (std::isnan(x)) t = 0;
          else if (x <= lo) t = std::numeric_limits<T>::min();
          else if (x >= hi) t = std::numeric_limits<T>::max();
          else t = static_cast<T>(x);
          p[i] = t;
        };
        switch (id) {
          case mxINT8_CLASS: put(static_cast<std::int8_t*>(data)); break;
          case mxUINT8_CLASS: put(static_cast<std::uint8_t*>(data)); break;
          case mxINT16_CLASS: put(static_cast<std::int16_t*>(data)); break;
          case mxUINT16_CLASS: put(static_cast<std::uint16_t*>(data)); break;
          case mxINT32_CLASS: put(static_cast<std::int32_t*>(data)); break;
          case mxUINT32_CLASS: put(static_cast<std::uint32_t*>(data)); break;
          case mxINT64_CLASS: put(static_cast<std::int64_t*>(data)); break;
          default: put(static_cast<std::uint64_t*>(data)); break;
        }
      }
    }
  }
  return a;
}

mxArray* ArrayDecoder::array(int depth) {
  switch (in_.u8() % kArrayKinds) {
    case kDouble:
      return numeric(shape(), mxDOUBLE_CLASS);
    case kComplex: {
      const Shape s = shape();
      mxArray* real = numeric(s, mxDOUBLE_CLASS);
      mxArray* imag = numeric(s, mxDOUBLE_CLASS);
      mxArray* a = mxCreateDoubleMatrix(s.m, s.n, mxCOMPLEX);
      std::memcpy(mxGetPr(a), mxGetPr(real), s.m * s.n * sizeof(double));
      std::memcpy(mxGetPi(a), mxGetPr(imag), s.m * s.n * sizeof(double));
      mxDestroyArray(real);
      mxDestroyArray(imag);
      return a;
    }
    case kSparse: {
      const Shape s = shape();
      return mxCreateSparse(s.m, s.n, in_.u8(), (in_.u8() & 1) ? mxCOMPLEX : mxREAL);
    }
    case kChar:
    case kString: {
      // The host interface makes char arrays only as row vectors of text.
      const std::size_t length = in_.u8() % 32;
      std::string text(length, 'a');
      const std::uint8_t first = in_.u8();
      for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + (first + i) % 26);
      return mxCreateString(text.c_str());
    }
    case kSingle:
      return numeric(shape(), mxSINGLE_CLASS);
    case kInteger: {
      const auto id = static_cast<mxClassID>(mxINT8_CLASS + in_.u8() % 8);
      return numeric(shape(), id);
    }
    case kLogical: {
      const Shape s = shape();
      mxArray* a = mxCreateLogicalMatrix(s.m, s.n);
      Random rng(in_.u8());
      auto* p = static_cast<mxLogical*>(mxGetData(a));
      for (std::size_t i = 0; i < s.m * s.n; ++i) p[i] = (rng.next() & 1) != 0;
      return a;
    }
    case kCell: {
      Shape s = shape();
      mxArray* c = mxCreateCellMatrix(s.m, s.n);
      const std::size_t count = s.m * s.n;
      for (std::size_t i = 0; i < count; ++i) {
        // Deep nesting ends in empty elements; so does an exhausted budget.
        if (depth >= 3 || remaining_ == 0) break;
        mxSetCell(c, i, array(depth + 1));
      }
      return c;
    }
    case kNull:
      return nullptr;
    case kScalar:
      return mxCreateDoubleScalar(decodeValue(in_.u8(), in_));
    case kEmptyDouble: {
      const std::size_t side = in_.u16() % 8;
      return (in_.u8() & 1) ? mxCreateDoubleMatrix(side, 0, mxREAL)
                            : mxCreateDoubleMatrix(0, side, mxREAL);
    }
  }
  return nullptr;
}

// ---- Structured mode ------------------------------------------------------

std::vector<double> dictionary(std::size_t n, std::size_t K, std::uint8_t kind, int exponent,
                               Random& rng) {
  std::vector<double> D(n * K);
  for (double& x : D) x = rng.uniform();
  auto column = [&](std::size_t j) { return D.data() + j * n; };
  auto normalise = [&](std::size_t j) {
    double s = 0;
    for (std::size_t r = 0; r < n; ++r) s += column(j)[r] * column(j)[r];
    if (s > 0)
      for (std::size_t r = 0; r < n; ++r) column(j)[r] /= std::sqrt(s);
  };
  switch (kind % kDictionaryKinds) {
    case kRandomUnit:
      for (std::size_t j = 0; j < K; ++j) normalise(j);
      break;
    case kCosine:
      D = cosineDictionary(n, K);  // the toolbox's, redundant when K > n
      break;
    case kDuplicated:
      for (std::size_t j = 0; j < K; ++j) normalise(j);
      for (std::size_t j = (K + 1) / 2; j < K; ++j)
        std::copy(column(j - (K + 1) / 2), column(j - (K + 1) / 2) + n, column(j));
      break;
    case kWithZeroAtoms:
      for (std::size_t j = 0; j < K; ++j) {
        normalise(j);
        if (j % 3 == 1) std::fill(column(j), column(j) + n, 0.0);
      }
      break;
    case kRawRandom:
      for (double& x : D) x = std::ldexp(x, exponent);
      break;
    case kNearlyDependent:
      normalise(0);
      for (std::size_t j = 1; j < K; ++j)
        for (std::size_t r = 0; r < n; ++r) column(j)[r] = column(0)[r] + 1e-9 * column(j)[r];
      break;
  }
  return D;
}

mxArray* matrixOf(const std::vector<double>& v, std::size_t m, std::size_t n) {
  mxArray* a = mxCreateDoubleMatrix(m, n, mxREAL);
  if (!v.empty()) std::memcpy(mxGetPr(a), v.data(), v.size() * sizeof(double));
  return a;
}

Call structured(Reader& in) {
  Call call;
  call.structured = true;
  const std::size_t rows = 1 + in.u8() % 16, cols = 1 + in.u8() % 16;
  const std::size_t Ky = 1 + in.u8() % 24, Kx = 1 + in.u8() % 24;
  std::size_t d = 1 + in.u8() % 8, nc = 1 + in.u8() % 8;
  const std::size_t N = rows * cols;
  while (d * nc * N > kMaxElements && nc > 1) --nc;
  while (d * nc * N > kMaxElements && d > 1) --d;
  const std::size_t Q = d * nc;
  Random rng(in.u32());
  const std::uint8_t dyKind = in.u8(), dxKind = in.u8(), blockKind = in.u8() % kBlockKinds;
  const int exponent = static_cast<std::int8_t>(in.u8());

  std::vector<double> Dy = dictionary(rows, Ky, dyKind, exponent, rng);
  std::vector<double> Dx = dictionary(cols, Kx, dxKind, exponent, rng);
  std::vector<std::vector<double>> blocks(Q, std::vector<double>(N, 0.0));
  for (std::size_t q = 0; q < Q; ++q) {
    std::vector<double>& F = blocks[q];
    switch (blockKind) {
      case kZeroBlocks:
        break;
      case kAtomCombinations: {
        const std::size_t atoms = 1 + rng.below(3);
        for (std::size_t a = 0; a < atoms; ++a) {
          const std::size_t i = rng.below(Ky), j = rng.below(Kx);
          const double c = 4.0 * rng.uniform();
          for (std::size_t col = 0; col < cols; ++col)
            for (std::size_t r = 0; r < rows; ++r) F[col * rows + r] += c * Dy[i * rows + r] * Dx[j * cols + col];
        }
        break;
      }
      case kSomeZeroBlocks:
        if (q % 2 == 1) break;
        [[fallthrough]];
      default: {
        const double scale = blockKind == kLargeBlocks   ? 1e12
                             : blockKind == kSmallBlocks ? 1e-12
                             : blockKind == kScaledBlocks ? std::ldexp(1.0, exponent * 4)
                                                         : 1.0;
        for (double& x : F) x = scale * rng.uniform();
      }
    }
  }
  const std::size_t cap = std::min(Ky * Kx, N);

  // Optional inputs: tol, then the maximum number of atoms.
  host::Array tol, maximum;
  switch (in.u8() % kTolChoices) {
    case kTolOmitted: break;
    case kTolEmpty: tol.reset(mxCreateDoubleMatrix(0, 0, mxREAL)); break;
    case kTolZero: tol.reset(mxCreateDoubleScalar(0.0)); break;
    case kTolValue: tol.reset(mxCreateDoubleScalar(decodeValue(in.u8(), in))); break;
    case kTolNaN: tol.reset(mxCreateDoubleScalar(std::numeric_limits<double>::quiet_NaN())); break;
    case kTolNegative: tol.reset(mxCreateDoubleScalar(-1.0)); break;
    case kTolInf: tol.reset(mxCreateDoubleScalar(std::numeric_limits<double>::infinity())); break;
    case kTolTight: tol.reset(mxCreateDoubleScalar(1e-6)); break;
  }
  switch (in.u8() % kMaxChoices) {
    case kMaxOmitted: break;
    case kMaxEmpty: maximum.reset(mxCreateDoubleMatrix(0, 0, mxREAL)); break;
    case kMaxOne: maximum.reset(mxCreateDoubleScalar(1.0)); break;
    case kMaxSmall: maximum.reset(mxCreateDoubleScalar(in.u8())); break;
    case kMaxCapacity: maximum.reset(mxCreateDoubleScalar(static_cast<double>(cap * Q))); break;
    case kMaxAboveCapacity: maximum.reset(mxCreateDoubleScalar(static_cast<double>(cap * Q + 1))); break;
    case kMaxValue: maximum.reset(mxCreateDoubleScalar(decodeValue(in.u8(), in))); break;
    case kMaxWrapped: maximum.reset(mxCreateDoubleScalar(4294967296.0 + in.u8())); break;
  }
  const std::uint8_t outputs = in.u8();
  call.nlhs = outputs < 200 ? 7 : outputs % 9;

  // Now and then one block is replaced by an arbitrary array.
  const std::uint8_t corrupt = in.u8();
  std::size_t corruptAt = Q;
  host::Array corruptBlock;
  if (corrupt % 8 == 0) {
    corruptAt = in.u8() % Q;
    ArrayDecoder arrays(in);
    corruptBlock.reset(arrays.array(1));
  }
  // Single values patched into blocks or dictionaries: NaN, Inf, subnormals, ...
  const unsigned patches = in.u8() % 8;
  for (unsigned p = 0; p < patches; ++p) {
    const std::uint8_t target = in.u8() % 3;
    const std::size_t position = in.u16();
    const double value = decodeValue(in.u8(), in);
    if (target == 0) blocks[position % Q][(position / Q) % N] = value;
    else if (target == 1) Dy[position % Dy.size()] = value;
    else Dx[position % Dx.size()] = value;
  }

  mxArray* cell = mxCreateCellMatrix(d, nc);
  for (std::size_t q = 0; q < Q; ++q) {
    if (q == corruptAt) {
      mxSetCell(cell, q, corruptBlock.release());
    } else {
      mxSetCell(cell, q, matrixOf(blocks[q], rows, cols));
    }
  }
  call.inputs.emplace_back(cell);
  call.inputs.emplace_back(matrixOf(Dy, rows, Ky));
  call.inputs.emplace_back(matrixOf(Dx, cols, Kx));
  if (tol || maximum) {
    if (!tol) tol.reset(mxCreateDoubleMatrix(0, 0, mxREAL));
    call.inputs.push_back(std::move(tol));
  }
  if (maximum) call.inputs.push_back(std::move(maximum));
  return call;
}

}  // namespace

Call decode(const std::uint8_t* data, std::size_t size) {
  Reader in(data, size);
  if (in.u8() % 2 == 1) return structured(in);
  Call call;
  const int nrhs = in.u8() % 9;
  call.nlhs = in.u8() % 9;
  ArrayDecoder arrays(in);
  for (int i = 0; i < nrhs; ++i) call.inputs.emplace_back(arrays.top());
  return call;
}

}  // namespace fuzzcall
