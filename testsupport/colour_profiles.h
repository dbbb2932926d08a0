// ICC profiles for colour tests, their APP2 segments in JPEG files, and
// reference conversions to sRGB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <lcms2.h>

#include "testsupport/golden.h"

namespace pixelmote::testing {

using Icc = std::vector<std::uint8_t>;

// An RGB matrix profile with Adobe RGB (1998) primaries, D65 white and a
// gamma of 2.2. With `paddingBytes`, a private tag of that many bytes makes
// the profile larger (to need several APP2 segments).
Icc adobeLikeProfile(std::size_t paddingBytes = 0);

#ifdef PIXELMOTE_SOURCE_DIR
// Profiles made once with LittleCMS and checked in under profiles/:
// tinted-cmyk.icc is plain ink over paper with the blue of the result dimmed
// to 70 %, far enough from the naive conversion that a test tells the two
// apart; linear-gray.icc has a linear tone curve.
inline Icc profileFile(const std::string& name) {
  const std::string bytes = sourceFile("testsupport/profiles/" + name);
  return Icc(bytes.begin(), bytes.end());
}
inline Icc tintedCmykProfile() { return profileFile("tinted-cmyk.icc"); }
inline Icc linearGrayProfile() { return profileFile("linear-gray.icc"); }
#endif

// The profile split into APP2 payloads as the ICC standard says:
// "ICC_PROFILE\0", sequence number from 1, count, at most `chunk` bytes.
std::vector<Icc> iccSegments(const Icc& profile, std::size_t chunk = 65519);

// `jpeg` with `payloads` inserted as APP2 segments right after its SOI.
std::string withApp2Segments(const std::string& jpeg, const std::vector<Icc>& payloads);

// LittleCMS's own conversion of `samples` (`format` a TYPE_..._8 of
// LittleCMS) through `profile` into 8-bit sRGB, relative colorimetric.
std::vector<std::uint8_t> referenceToSrgb(const Icc& profile, cmsUInt32Number format,
                                          const std::vector<std::uint8_t>& samples, int pixels);

}  // namespace pixelmote::testing
