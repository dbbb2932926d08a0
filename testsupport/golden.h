// Checked-in files of the source tree: reading them, and comparing a result
// with a golden file. PIXELMOTE_UPDATE_GOLDEN=1 rewrites the golden files
// instead, to be read over before they are committed.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace pixelmote::testing {

#ifdef PIXELMOTE_SOURCE_DIR
// The bytes of `path`, relative to the source folder ("" when it is missing).
inline std::string sourceFile(const std::string& path) {
  std::ifstream in(std::string(PIXELMOTE_SOURCE_DIR) + "/" + path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Expects `text` to be the golden file `path` (relative to the source folder).
inline void expectGolden(const std::string& path, const std::string& text) {
  const char* update = std::getenv("PIXELMOTE_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::ofstream(std::string(PIXELMOTE_SOURCE_DIR) + "/" + path, std::ios::binary) << text;
  }
  EXPECT_EQ(text, sourceFile(path)) << "golden file " << path;
}
#endif

}  // namespace pixelmote::testing
