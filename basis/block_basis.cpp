#include "tilevista/block_basis.h"

#include <algorithm>

#include <stdexcept>

#include "aligned_doubles.h"
#include "basis_route.h"
#include "orthogonalize.h"
#include "separable_atom.h"

// The vectors, N x capacity, and the atom being added, in aligned storage:
// the BLAS's sums then do not depend on where the caller's memory lies.
struct BlockBasis::Storage {
  AlignedDoubles vectors;
  AlignedDoubles atom;
  AlignedDoubles norms;
};

BlockBasis::BlockBasis(const double* Dy, std::int32_t Ky, const double* Dx, std::int32_t Kx,
                       std::int32_t rows, std::int32_t cols, std::int32_t capacity,
                       const char* route)
    : route_(chooseBasisRoute(route)),
      Dy_(Dy), Dx_(Dx), Ky_(Ky), Kx_(Kx), rows_(rows), cols_(cols), capacity_(capacity),
      storage_(new Storage) {
  const std::size_t N = std::size_t(rows) * std::size_t(cols);
  if (route != nullptr && !isBasisRoute(route)) throw std::invalid_argument("no such basis route");
  storage_->atom.allocate(N);
}

BlockBasis::~BlockBasis() = default;

bool BlockBasis::add(std::int32_t yIndex, std::int32_t xIndex) {
  if (yIndex < 0 || yIndex >= Ky_ || xIndex < 0 || xIndex >= Kx_ || size_ >= capacity_) {
    return false;
  }
  const std::size_t N = std::size_t(rows_) * std::size_t(cols_);
  Storage& s = *storage_;
  if (s.vectors.size() < N * std::size_t(size_ + 1)) {
    // Grows by half, as the pursuit's own storage does, keeping what is held.
    std::size_t columns = std::size_t(size_) + std::size_t(size_) / 2 + 8;
    if (columns > std::size_t(capacity_)) columns = std::size_t(capacity_);
    AlignedDoubles vectors(N * columns), norms(columns);
    if (size_ > 0) {
      std::copy(s.vectors.get(), s.vectors.get() + N * std::size_t(size_), vectors.get());
      std::copy(s.norms.get(), s.norms.get() + size_, norms.get());
    }
    s.vectors = std::move(vectors);
    s.norms = std::move(norms);
  }
  const auto* fused = static_cast<const FusedBasis*>(route_);
  const double* dx = Dx_ + std::size_t(xIndex) * std::size_t(cols_);
  const double* dy = Dy_ + std::size_t(yIndex) * std::size_t(rows_);
  if (fused != nullptr) {
    fused->synthesize(dy, dx, rows_, cols_, s.atom.get());
  } else {
    synthesizeSeparableAtom(dx, dy, cols_, rows_, s.atom.get());
  }
  double nrm = 0.0;
  if (!appendOrthonormalVector(s.vectors.get(), s.atom.get(), static_cast<std::int32_t>(N), size_,
                               fused, &nrm)) {
    return false;
  }
  s.norms.get()[size_++] = nrm;
  return true;
}

const double* BlockBasis::vector(std::int32_t j) const {
  return storage_->vectors.get() + std::size_t(j) * std::size_t(rows_) * std::size_t(cols_);
}

double BlockBasis::norm(std::int32_t j) const { return storage_->norms.get()[j]; }
