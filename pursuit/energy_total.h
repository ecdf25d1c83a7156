// The stop test "sum of the blocks' residual energies, added in index order, is
// below tol" without adding up all Q energies after every atom.
#ifndef TILEVISTA_ENERGY_TOTAL_H
#define TILEVISTA_ENERGY_TOTAL_H

#include <cstdint>
#include <vector>

/// Keeps the exact sum of Q non-negative energies in a fixed-point accumulator
/// wide enough for every finite double, so that replacing one energy is exact and
/// O(1). The index-order floating-point sum differs from the exact one by at most
/// gamma_{Q-1} = (Q-1)u / (1 - (Q-1)u) of it (u = 2^-53, all terms non-negative);
/// only when tol lies inside that band is the index-order sum itself formed.
class EnergyTotal {
 public:
  /// @param energies  in, Q values (>= 0, +Inf or NaN), kept alive by the caller
  /// @param Q         number of blocks
  EnergyTotal(const double* energies, std::int32_t Q);

  /// Records that energies[q] changes from its current value to `value`; call it
  /// before writing the new value.
  void replace(std::int32_t q, double value);

  /// Exactly (index-order sum < tol), bit for bit as the plain loop decides it.
  bool below(double tol) const;

  /// The index-order sum, as the plain loop forms it. O(Q).
  double indexOrderSum() const;

  /// False only when below(tol) is certainly false, decided without the
  /// index-order sum: an energy is NaN or +Inf, tol is NaN or not above 0, or
  /// the exact total exceeds tol by more than the rounding of any order of
  /// summation.
  bool mayBeBelow(double tol) const;

  /// The exact total, rounded to within a few units in the last place; +Inf
  /// while an energy is +Inf or NaN.
  double approximate() const;

  /// The exact total rounded once, to nearest (ties to even); NaN while an
  /// energy is NaN, +Inf while one is +Inf or the total overflows.
  double rounded() const;

 private:
  void add(double value, int sign);
  // Relative bound on the difference between any order of summation and the
  // exact sum, with the rounding of approximate() and of the products with it.
  double margin() const;

  const double* energies_;
  std::int32_t count_;
  std::int64_t nonFinite_ = 0;        // energies that are NaN or +Inf
  std::int64_t nan_ = 0;              // of which NaN
  std::vector<std::uint64_t> limbs_;  // little-endian; bit 0 weighs 2^-1074
};

#endif  // TILEVISTA_ENERGY_TOTAL_H
