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
  atomVector(pair_, rows_, cols_, y, x, atoms_.data() + N * pairs_.size());
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

void ScanBasis::atomVector(const DictionaryPair& pair, std::int32_t rows, std::int32_t cols,
                           std::int32_t y, std::int32_t x, double* u) {
  const double* dy = pair.Dy.data() + std::size_t(y) * std::size_t(rows);
  const double* dx = pair.Dx.data() + std::size_t(x) * std::size_t(cols);
  for (std::int32_t j = 0; j < cols; ++j) {
    for (std::int32_t i = 0; i < rows; ++i) u[std::size_t(i) + std::size_t(j) * std::size_t(rows)] = dy[i] * dx[j];
  }
}

}  // namespace tilevista
