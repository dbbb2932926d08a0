// ICC profiles for colour tests and their APP2 segments in JPEG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testsupport/golden.h"

namespace pixelmote::testing {

using Icc = std::vector<std::uint8_t>;

// An RGB matrix profile with Adobe RGB (1998) primaries, D65 white and a
// gamma of 2.2. With `paddingBytes`, a private tag of that many bytes makes
// the profile larger (to need several APP2 segments).
Icc adobeLikeProfile(std::size_t paddingBytes = 0);

#ifdef PIXELMOTE_SOURCE_DIR
// A CMYK profile made once with LittleCMS: no RGB profile for a thumbnail.
inline Icc tintedCmykProfile() {
  const std::string bytes = sourceFile("testsupport/profiles/tinted-cmyk.icc");
  return Icc(bytes.begin(), bytes.end());
}
#endif

// The profile split into APP2 payloads as the ICC standard says:
// "ICC_PROFILE\0", sequence number from 1, count, at most `chunk` bytes.
std::vector<Icc> iccSegments(const Icc& profile, std::size_t chunk = 65519);

// `jpeg` with `payloads` inserted as APP2 segments right after its SOI.
std::string withApp2Segments(const std::string& jpeg, const std::vector<Icc>& payloads);

}  // namespace pixelmote::testing
