// The rules every host of the codec shares (codec_request.h).
#include "codec_request.h"

#include <cmath>

namespace codec_request {

bool bitDepthFor(SampleClass samples, double asked, std::int32_t* depth, std::string* message) {
  if (samples == SampleClass::kOther) {
    *message = "IMG must be uint8, uint16 or double (real, not sparse)";
    return false;
  }
  const double natural = samples == SampleClass::kUint16 ? 16.0 : 8.0;
  const double largest = samples == SampleClass::kUint8 ? 8.0 : 16.0;
  const double chosen = asked == 0.0 ? natural : asked;
  if (!(chosen >= 1.0 && chosen <= largest) || chosen != std::trunc(chosen)) {
    *message = "the bit depth must be a whole number from 1 to " +
               std::to_string(static_cast<int>(largest)) + " for this image's class";
    return false;
  }
  *depth = static_cast<std::int32_t>(chosen);
  return true;
}

bool decodesToEightBits(std::int32_t bitDepth) { return bitDepth <= 8; }

bool readDescriptionPair(const std::string& text, tilevista::CodecDictionary* dictionary) {
  const std::size_t slash = text.find('/');
  if (slash == std::string::npos) {
    dictionary->description = text;
    dictionary->descriptionX.clear();
    return true;
  }
  if (text.find('/', slash + 1) != std::string::npos) return false;
  dictionary->description = text.substr(0, slash);
  dictionary->descriptionX = text.substr(slash + 1);
  return true;
}

std::string dictionaryPairMessage(const std::string& seen) {
  return "the dictionaries are one description for both directions, \"ROWS/COLUMNS\" (two "
         "descriptions around one '/'), one matrix for both, or a pair {DY, DX} of two "
         "descriptions or two matrices; this is " + seen;
}

std::vector<std::pair<const char*, double>> reportFields(const tilevista::EncodeReport& r) {
  return {{"psnr", r.psnr},
          {"bpp", r.bpp},
          {"bytes", static_cast<double>(r.bytes)},
          {"atoms", static_cast<double>(r.atoms)},
          {"step", r.step},
          {"prefix", static_cast<double>(r.prefix)},
          {"pursuit_atoms", static_cast<double>(r.pursuitAtoms)},
          {"pursuit_seconds", r.pursuitSeconds},
          {"coding_seconds", r.codingSeconds}};
}

std::vector<std::pair<const char*, double>> infoFields(const tilevista::DecodeInfo& i) {
  return {{"version", double(i.version)},     {"rows", double(i.rows)},
          {"cols", double(i.cols)},           {"channels", double(i.channels)},
          {"bit_depth", double(i.bitDepth)},  {"block_rows", double(i.blockRows)},
          {"block_cols", double(i.blockCols)}, {"atoms_y", double(i.Ky)},
          {"atoms_x", double(i.Kx)},          {"step", i.step},
          {"vectors", double(i.vectors)},     {"atoms", static_cast<double>(i.atoms)}};
}

}  // namespace codec_request
