// The built module as a host loads it: a shared library that exports its entry
// point and nothing else, and that runs when called through that entry point.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

#include "test_arrays.h"

using namespace testing_arrays;

namespace {

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

TEST(ModuleLibrary, ExportsOnlyTheEntryPoint) {
  // Defined symbols of the dynamic symbol table, one name per line.
  const std::string table =
      run(std::string("nm -D --defined-only --format=posix '") + TILEVISTA_MODULE_PATH + "'");
  ASSERT_FALSE(table.empty()) << "nm produced nothing for " << TILEVISTA_MODULE_PATH;
  std::set<std::string> names;
  std::istringstream lines(table);
  std::string name, type;
  while (lines >> name >> type) {
    std::string rest;
    std::getline(lines, rest);
    names.insert(name);
  }
  EXPECT_EQ(names, std::set<std::string>{"mexFunction"});
}

TEST(ModuleLibrary, LoadsAndRunsThroughItsEntryPoint) {
  void* module = dlopen(TILEVISTA_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  auto entry = reinterpret_cast<host::EntryPoint>(dlsym(module, "mexFunction"));
  ASSERT_NE(entry, nullptr);

  const host::Array f0 = matrix(2, 1, {3, 4}), f1 = matrix(2, 1, {0, 1});
  const host::Array blocks = cell(1, 2, {f0.get(), f1.get()});
  const host::Array Dy = matrix(2, 2, {1, 0, 0, 1}), Dx = matrix(1, 1, {1});
  {
    const ModuleCall call{host::callMex(entry, {blocks.get(), Dy.get(), Dx.get()}, 7), {}};
    ASSERT_FALSE(call.result.failed) << call.result.error;
    EXPECT_EQ(call.elementValues(4, 0), (std::vector<double>{4, 3}));
    EXPECT_EQ(call.totalAtoms(), 2.0);
    const ModuleCall rejected{host::callMex(entry, {blocks.get(), Dy.get()}, 7), {}};
    EXPECT_EQ(rejected.result.error, "Wrong number of input arguments");
  }
  dlclose(module);
}


}  // namespace
