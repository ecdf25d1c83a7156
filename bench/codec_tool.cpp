// The codec from the command line, for measurements (bench/codec_rate.py) and
// by hand. Images are 8-bit binary PGM (grey) or PPM (colour).
//
//   codec_tool encode IMAGE FILE (--psnr DB | --bpp R) [options]
//   codec_tool decode FILE IMAGE
//   codec_tool sweep IMAGE (--psnr DB... | --bpp R...) [options] [--keep DIR]
//
// Options: --block B (square blocks), --dictionary DESCRIPTION (for both
// directions, or Y's when --dictionary-x DESCRIPTION gives X's; without
// them the codec's default), --threads T.
// Every command prints one JSON object a line: what the encoder reported, and
// for sweep also the PSNR of the image the decoder makes of the bytes and the
// time it takes (the best of three decodes).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "pgm_image.h"
#include "tilevista/codec.h"

namespace {

using tilevista::CodecError;

struct Arguments {
  std::string command, input, output, keep;
  std::vector<double> psnr, bpp;
  tilevista::EncodeOptions options;
};

Arguments parse(int argc, char** argv) {
  if (argc < 3) throw std::runtime_error("usage: codec_tool encode|decode|sweep ...");
  Arguments a;
  a.command = argv[1];
  a.input = argv[2];
  int i = 3;
  if (a.command != "sweep") {
    if (argc < 4) throw std::runtime_error(a.command + " needs an input and an output");
    a.output = argv[i++];
  }
  std::vector<double>* list = nullptr;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool more = i + 1 < argc;
    if (arg == "--psnr") {
      list = &a.psnr;
    } else if (arg == "--bpp") {
      list = &a.bpp;
    } else if (arg == "--block" && more) {
      a.options.blockRows = a.options.blockCols = std::atoi(argv[++i]);
      list = nullptr;
    } else if (arg == "--dictionary" && more) {
      a.options.dictionary.description = argv[++i];
      list = nullptr;
    } else if (arg == "--dictionary-x" && more) {
      a.options.dictionary.descriptionX = argv[++i];
      list = nullptr;
    } else if (arg == "--threads" && more) {
      a.options.threads = std::atoi(argv[++i]);
      list = nullptr;
    } else if (arg == "--keep" && more) {
      a.keep = argv[++i];
      list = nullptr;
    } else if (list != nullptr) {
      list->push_back(std::atof(arg.c_str()));
    } else {
      throw std::runtime_error("unknown argument " + arg);
    }
  }
  return a;
}

double seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::vector<std::uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path + ": cannot open");
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error(path + ": cannot write");
}

std::string number(double v) {
  if (!std::isfinite(v)) return v > 0 ? "\"inf\"" : "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

void printReport(const std::string& image, const char* kind, double target,
                 const tilevista::EncodeReport& r, const std::string& extra) {
  std::printf("{\"image\": \"%s\", \"%s\": %s, \"psnr\": %s, \"bpp\": %s, \"bytes\": %llu, "
              "\"atoms\": %llu, \"step\": %s, \"prefix\": %llu, \"pursuit_atoms\": %llu, "
              "\"pursuit_s\": %s, \"coding_s\": %s%s}\n",
              image.c_str(), kind, number(target).c_str(), number(r.psnr).c_str(),
              number(r.bpp).c_str(), (unsigned long long)r.bytes, (unsigned long long)r.atoms,
              number(r.step).c_str(), (unsigned long long)r.prefix,
              (unsigned long long)r.pursuitAtoms, number(r.pursuitSeconds).c_str(),
              number(r.codingSeconds).c_str(), extra.c_str());
  std::fflush(stdout);
}

// Decodes three times, checks the image against the original, returns the
// decoded PSNR and the least decoding time as JSON fields.
std::string verify(const PnmImage& image, const std::vector<std::uint8_t>& bytes) {
  double best = HUGE_VAL;
  tilevista::DecodedImage decoded;
  for (int round = 0; round < 3; ++round) {
    const auto start = std::chrono::steady_clock::now();
    decoded = tilevista::decodeImage(bytes.data(), bytes.size());
    best = std::min(best, seconds(start));
  }
  const double psnr = tilevista::imagePsnr(decoded.pixels.data(), image.samples.data(),
                                           image.samples.size(), 255.0);
  return ", \"decoded_psnr\": " + number(psnr) + ", \"decode_s\": " + number(best);
}

int run(const Arguments& a) {
  if (a.command == "decode") {
    const std::vector<std::uint8_t> bytes = readBytes(a.input);
    const auto start = std::chrono::steady_clock::now();
    const tilevista::DecodedImage decoded = tilevista::decodeImage(bytes.data(), bytes.size());
    const double elapsed = seconds(start);
    writePnm(a.output, PnmImage{decoded.info.rows, decoded.info.cols, decoded.info.channels,
                                decoded.pixels});
    std::printf("{\"file\": \"%s\", \"rows\": %d, \"cols\": %d, \"channels\": %d, \"atoms\": "
                "%llu, \"decode_s\": %s}\n",
                a.input.c_str(), decoded.info.rows, decoded.info.cols, decoded.info.channels,
                (unsigned long long)decoded.info.atoms, number(elapsed).c_str());
    return 0;
  }
  const PnmImage image = readPnm(a.input);
  const bool byPsnr = !a.psnr.empty();
  const std::vector<double>& targets = byPsnr ? a.psnr : a.bpp;
  if (targets.empty() || (a.command == "encode" && targets.size() != 1)) {
    throw std::runtime_error("give --psnr or --bpp (one target for encode)");
  }
  for (double target : targets) {
    tilevista::EncodeOptions options = a.options;
    (byPsnr ? options.psnr : options.bpp) = target;
    const tilevista::EncodedImage encoded =
        tilevista::encodeImage(image.samples.data(), image.rows, image.cols, image.channels, options);
    if (a.command == "encode") writeBytes(a.output, encoded.bytes);
    if (a.command == "sweep" && !a.keep.empty()) {
      writeBytes(a.keep + "/" + std::to_string(target) + ".tvc", encoded.bytes);
    }
    const std::string extra = a.command == "sweep" ? verify(image, encoded.bytes) : "";
    printReport(a.input, byPsnr ? "target_psnr" : "target_bpp", target, encoded.report, extra);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(parse(argc, argv));
  } catch (const CodecError& e) {
    std::fprintf(stderr, "codec_tool: %s: %s\n", e.identifier(), e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "codec_tool: %s\n", e.what());
  }
  return 1;
}
