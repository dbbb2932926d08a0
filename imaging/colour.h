// Colour profiles: embedded ICC profiles opened with LittleCMS, and
// conversions of pixels from a profile's space into sRGB.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include <lcms2.h>

#include "imaging/raster.h"

namespace pixelmote::imaging {

// The bytes of an ICC profile. Empty means none: the pixels are sRGB.
using IccProfile = std::vector<std::uint8_t>;

// The colour space a profile describes pixels in.
enum class ProfileSpace { Rgb, Cmyk, Gray, Other };

// An open profile (owns its cmsHPROFILE). Empty when the bytes were not a
// profile LittleCMS could read: callers then treat the picture as having no
// profile. LittleCMS's error messages are never printed.
class ColourProfile {
 public:
  ColourProfile() = default;
  static ColourProfile fromIcc(std::span<const std::uint8_t> icc);
  static ColourProfile sRgb();
  ~ColourProfile();
  ColourProfile(ColourProfile&& other) noexcept;
  ColourProfile& operator=(ColourProfile&& other) noexcept;
  ColourProfile(const ColourProfile&) = delete;
  ColourProfile& operator=(const ColourProfile&) = delete;

  explicit operator bool() const { return m_handle != nullptr; }
  ProfileSpace space() const;
  cmsHPROFILE handle() const { return m_handle; }

 private:
  explicit ColourProfile(cmsHPROFILE handle) : m_handle(handle) {}
  cmsHPROFILE m_handle = nullptr;
};

// How the samples given to a transform are laid out.
enum class SampleLayout {
  Rgb,           // 3 bytes per pixel
  Cmyk,          // 4 bytes of ink per pixel (0 = no ink)
  InvertedCmyk,  // 4 bytes of 255 - ink per pixel, as Adobe's files store them
  Gray,          // 1 byte per pixel
};

// A conversion into sRGB, 3 bytes per pixel out (owns its cmsHTRANSFORM).
// Relative colorimetric: colours inside sRGB come out as measured, which
// is also how a browser shows a tagged picture; colours beyond it are
// clipped. (A matrix profile has no perceptual table anyway, and
// LittleCMS would fall back to colorimetric.) One transform serves one
// thread at a time.
class SrgbTransform {
 public:
  SrgbTransform() = default;
  // Empty when the profile does not fit the layout or LittleCMS refuses.
  SrgbTransform(const ColourProfile& from, SampleLayout layout);
  ~SrgbTransform();
  SrgbTransform(SrgbTransform&& other) noexcept;
  SrgbTransform& operator=(SrgbTransform&& other) noexcept;
  SrgbTransform(const SrgbTransform&) = delete;
  SrgbTransform& operator=(const SrgbTransform&) = delete;

  explicit operator bool() const { return m_handle != nullptr; }
  // Converts `pixels` pixels from `in` (laid out as given at construction)
  // to `rgbOut`. The two may be the same buffer only for the RGB layout.
  void apply(const std::uint8_t* in, std::uint8_t* rgbOut, int pixels) const;

 private:
  cmsHTRANSFORM m_handle = nullptr;
};

// Converts `raster`, whose pixels are in the RGB space of `icc`, to sRGB in
// place. False, and the raster untouched, when the profile is not an RGB
// profile LittleCMS can use.
bool convertToSrgb(Raster& raster, std::span<const std::uint8_t> icc);

}  // namespace pixelmote::imaging
