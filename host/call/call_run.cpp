#include "call_run.h"

#include <cstdio>

namespace {

const char* const kProgramName = "TILEVISTA";

std::string formatted(const char* pattern, double a, double b) {
  char text[256];
  std::snprintf(text, sizeof text, pattern, a, b);
  return text;
}

void printBanner(CallConsole& console, double tol) {
  char text[256];
  std::snprintf(text, sizeof text, "\n%s MEX is running for tol=%g, tol1=%g and tol2=%g.\n",
                kProgramName, tol, kTol1, kTol2);
  console.print(text);
  console.print("tol  -> required precision, distance ||f-f_approx||\n");
  console.print("tol1 -> atoms havin g smaller norm are supposed to be zero ones.\n");
  console.print("tol2 -> algorithm stops if max(|<f,q>|/||q||)<= tol2.\n");
}

void printStop(CallConsole& console, const PursuitResult& result, double tol) {
  if (result.stop == StopRule::kTol2) {
    char text[256];
    std::snprintf(text, sizeof text, "\n \n %s stopped, max(|<f,q>|/||q||)<= tol2=%g.\n",
                  kProgramName, kTol2);
    console.print(text);
  } else if (result.stop == StopRule::kTol) {
    console.print(formatted(
        "\n \n We have have reached (tol) for approximation. tol= %f, max_err= %f", tol,
        result.maxErr));
  }
}

}  // namespace

const char* stopRuleName(StopRule stop) {
  switch (stop) {
    case StopRule::kTol: return "tol";
    case StopRule::kTol2: return "tol2";
    case StopRule::kBudget: return "budget";
  }
  return "";
}

PursuitResult runCall(const CheckedCall& call, const CallOptions& options, PursuitSink& sink,
                      CallConsole& console) {
  PursuitRequest request;
  request.blocks = call.blocks.data();
  request.blockCount = call.blockCount;
  request.rows = call.rows;
  request.cols = call.cols;
  request.Dy = call.Dy;
  request.Ky = call.Ky;
  request.Dx = call.Dx;
  request.Kx = call.Kx;
  request.tol = call.tol;
  request.atomLimit = call.atomLimit;
  request.threads = options.threads;
  request.scoring = options.scoring.c_str();
  request.basis = options.basis.c_str();
  request.duals = options.duals;
  request.bases = options.bases;
  request.curve = options.curve;
  request.interrupted = options.interrupted;
  request.progress = options.progress;
  request.progressContext = options.progressContext;

  printBanner(console, call.tol);
  PursuitResult result = runBlockPursuit(request, sink);
  if (result.completed) printStop(console, result, call.tol);
  return result;
}
