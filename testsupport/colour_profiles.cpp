#include "testsupport/colour_profiles.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <lcms2.h>

namespace pixelmote::testing {

namespace {

Icc saved(cmsHPROFILE profile) {
  cmsUInt32Number size = 0;
  Icc bytes;
  if (profile != nullptr && cmsSaveProfileToMem(profile, nullptr, &size)) {
    bytes.resize(size);
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size)) bytes.clear();
  }
  if (profile != nullptr) cmsCloseProfile(profile);
  EXPECT_FALSE(bytes.empty()) << "LittleCMS could not make the test profile";
  return bytes;
}

}  // namespace

Icc adobeLikeProfile(std::size_t paddingBytes) {
  cmsCIExyY white;
  cmsWhitePointFromTemp(&white, 6504);
  const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
  cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
  cmsToneCurve* curves[3] = {gamma, gamma, gamma};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsFreeToneCurve(gamma);
  if (profile != nullptr && paddingBytes > 0) {
    std::vector<std::uint8_t> padding(paddingBytes);
    for (std::size_t i = 0; i < padding.size(); ++i) padding[i] = static_cast<std::uint8_t>(i * 7 + 3);
    const auto privateTag = static_cast<cmsTagSignature>(0x7a706164);  // 'zpad'
    cmsWriteRawTag(profile, privateTag, padding.data(), static_cast<cmsUInt32Number>(padding.size()));
  }
  return saved(profile);
}

std::vector<Icc> iccSegments(const Icc& profile, std::size_t chunk) {
  static const char kHeader[] = "ICC_PROFILE";  // with its NUL: 12 bytes
  const std::size_t count = (profile.size() + chunk - 1) / chunk;
  std::vector<Icc> payloads;
  for (std::size_t i = 0; i < count; ++i) {
    Icc payload(kHeader, kHeader + sizeof kHeader);
    payload.push_back(static_cast<std::uint8_t>(i + 1));
    payload.push_back(static_cast<std::uint8_t>(count));
    const std::size_t from = i * chunk;
    const std::size_t to = std::min(profile.size(), from + chunk);
    payload.insert(payload.end(), profile.begin() + static_cast<std::ptrdiff_t>(from),
                   profile.begin() + static_cast<std::ptrdiff_t>(to));
    payloads.push_back(std::move(payload));
  }
  return payloads;
}

std::string withApp2Segments(const std::string& jpeg, const std::vector<Icc>& payloads) {
  std::string segments;
  for (const Icc& payload : payloads) {
    const std::size_t length = payload.size() + 2;
    segments += "\xFF\xE2";
    segments += static_cast<char>(length >> 8);
    segments += static_cast<char>(length & 0xFF);
    segments.append(payload.begin(), payload.end());
  }
  return jpeg.substr(0, 2) + segments + jpeg.substr(2);
}

}  // namespace pixelmote::testing
