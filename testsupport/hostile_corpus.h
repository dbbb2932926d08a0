// Hostile and odd picture files: damaged, truncated, mislabelled, oversized
// and unusual pictures of every kind the program reads.
#pragma once

#include <string>
#include <vector>

namespace pixelmote::testing {

struct CorpusFile {
  std::string name;   // a file name with its extension, e.g. "cut-at-50.jpg"
  std::string bytes;  // the whole file
  bool readable;      // a valid picture: a Create run must give it a thumbnail
  std::string what;   // one line saying what it is
};

// The corpus, the same every time: the files checked in under
// testsupport/hostile (listed in its corpus.tsv), then those made here
// because they are large or declare huge sizes. `large` adds the pictures of
// exactly 2^28 pixels and just over (slower to read).
std::vector<CorpusFile> hostileCorpus(bool large = false);

}  // namespace pixelmote::testing
