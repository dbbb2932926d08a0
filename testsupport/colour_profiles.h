// ICC profiles for colour tests and their APP2 segments in JPEG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "testsupport/golden.h"

namespace pixelmote::testing {

using Icc = std::vector<std::uint8_t>;

#ifdef PIXELMOTE_SOURCE_DIR
// Profiles made once with LittleCMS and checked in under profiles/:
// adobe-like.icc is an RGB matrix profile with Adobe RGB (1998) primaries,
// D65 white and a gamma of 2.2; adobe-like-padded.icc the same with a
// private tag of 70,000 bytes (to need two APP2 segments); tinted-cmyk.icc
// plain ink over paper, with the blue of the result dimmed to 70 %.
inline Icc profileFile(const std::string& name) {
  const std::string bytes = sourceFile("testsupport/profiles/" + name);
  return Icc(bytes.begin(), bytes.end());
}
#endif

// The profile split into APP2 payloads as the ICC standard says:
// "ICC_PROFILE\0", sequence number from 1, count, at most `chunk` bytes.
std::vector<Icc> iccSegments(const Icc& profile, std::size_t chunk = 65519);

// `jpeg` with `payloads` inserted as APP2 segments right after its SOI.
std::string withApp2Segments(const std::string& jpeg, const std::vector<Icc>& payloads);

}  // namespace pixelmote::testing
