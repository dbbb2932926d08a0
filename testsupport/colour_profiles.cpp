#include "testsupport/colour_profiles.h"

#include <algorithm>

namespace pixelmote::testing {

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
