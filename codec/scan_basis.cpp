// A block's vectors in scan order (scan_basis.h).
#include "scan_basis.h"

#include "tilevista/block_basis.h"

namespace tilevista {

ScanBasis::ScanBasis(const DictionaryPair& pair, std::int32_t rows, std::int32_t cols,
                     std::int32_t capacity)
    : pair_(pair), rows_(rows), cols_(cols), capacity_(capacity) {
  if (pair.vectors == BlockVectors::kGramSchmidt) {
    gramSchmidt_.reset(new BlockBasis(pair.Dy.data(), pair.Ky, pair.Dx.data(), pair.Kx, rows, cols,
                                      capacity));
    return;
  }
  atoms_.resize(std::size_t(rows) * std::size_t(cols) * std::size_t(capacity));
  held_.assign(std::size_t(pair.Ky) * std::size_t(pair.Kx), 0);
  pairs_.reserve(std::size_t(capacity));
}

ScanBasis::~ScanBasis() = default;

void ScanBasis::clear() {
  if (gramSchmidt_) {
    gramSchmidt_->clear();
    return;
  }
  for (std::int32_t p : pairs_) held_[std::size_t(p)] = 0;
  pairs_.clear();
}

bool ScanBasis::add(std::int32_t y, std::int32_t x) {
  if (gramSchmidt_) return gramSchmidt_->add(y, x);
  if (y < 0 || y >= pair_.Ky || x < 0 || x >= pair_.Kx || size() >= capacity_) return false;
  const std::int32_t p = y + x * pair_.Ky;
  if (held_[std::size_t(p)]) return false;
  const std::size_t N = std::size_t(rows_) * std::size_t(cols_);
  double* u = atoms_.data() + N * pairs_.size();
  const double* dy = pair_.Dy.data() + std::size_t(y) * std::size_t(rows_);
  const double* dx = pair_.Dx.data() + std::size_t(x) * std::size_t(cols_);
  for (std::int32_t j = 0; j < cols_; ++j) {
    for (std::int32_t i = 0; i < rows_; ++i) u[std::size_t(i) + std::size_t(j) * std::size_t(rows_)] = dy[i] * dx[j];
  }
  held_[std::size_t(p)] = 1;
  pairs_.push_back(p);
  return true;
}

std::int32_t ScanBasis::size() const {
  return gramSchmidt_ ? gramSchmidt_->size() : std::int32_t(pairs_.size());
}

const double* ScanBasis::vector(std::int32_t k) const {
  if (gramSchmidt_) return gramSchmidt_->vector(k);
  return atoms_.data() + std::size_t(rows_) * std::size_t(cols_) * std::size_t(k);
}

}  // namespace tilevista
