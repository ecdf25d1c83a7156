// A codec file of format version 2 rewritten as the version 1 file it stands
// for, for the tests and the fuzzer's seeds: version 1 has no vectors byte and
// always rebuilds the blocks' vectors by Gram-Schmidt.
#ifndef TILEVISTA_TESTS_CODEC_VERSION_ONE_H
#define TILEVISTA_TESTS_CODEC_VERSION_ONE_H

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "file_format.h"

/// The version 1 file of a version 2 file whose vectors are Gram-Schmidt's:
/// without its vectors byte (the 14th byte before the payload: the step, the
/// offsets and the edge filter follow it), its version, length and CRC-32
/// made so.
/// @throws std::invalid_argument for a file whose vectors are the atoms (no
///         version 1 file stands for it)
inline std::vector<std::uint8_t> versionOneOf(const std::vector<std::uint8_t>& file) {
  const tilevista::ParsedFile parsed = tilevista::parseFile(file.data(), file.size());
  if (parsed.header.vectors != tilevista::BlockVectors::kGramSchmidt) {
    throw std::invalid_argument("a file with the atoms as vectors has no version 1 form");
  }
  const std::size_t vectorsAt = std::size_t(parsed.payload - file.data()) - 14;
  std::vector<std::uint8_t> old(file.begin(), file.end() - 4);
  old.erase(old.begin() + std::ptrdiff_t(vectorsAt));
  old[8] = 1;
  const std::uint32_t length = std::uint32_t(old.size() + 4);
  for (int i = 0; i < 4; ++i) old[9 + std::size_t(i)] = std::uint8_t(length >> (8 * i));
  const std::uint32_t crc = std::uint32_t(crc32(0L, old.data(), uInt(old.size())));
  for (int i = 0; i < 4; ++i) old.push_back(std::uint8_t(crc >> (8 * i)));
  return old;
}

#endif  // TILEVISTA_TESTS_CODEC_VERSION_ONE_H
