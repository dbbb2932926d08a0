#include "imaging/colour.h"

#include <utility>

namespace pixelmote::imaging {

namespace {

// LittleCMS reports problems with a profile through a log handler; ours
// stays silent (an unusable profile is simply not used).
void ignoreLcmsError(cmsContext, cmsUInt32Number, const char*) noexcept {}

// One context for the process, made on first use. LittleCMS allows a
// context to be shared between threads as long as no plug-in changes it.
cmsContext quietContext() {
  static const cmsContext context = [] {
    cmsContext made = cmsCreateContext(nullptr, nullptr);
    if (made != nullptr) cmsSetLogErrorHandlerTHR(made, ignoreLcmsError);
    return made;
  }();
  return context;
}

}  // namespace

ColourProfile ColourProfile::fromIcc(std::span<const std::uint8_t> icc) {
  const cmsContext context = quietContext();
  if (context == nullptr || icc.empty() || icc.size() > UINT32_MAX) return {};
  return ColourProfile(cmsOpenProfileFromMemTHR(context, icc.data(), static_cast<cmsUInt32Number>(icc.size())));
}

ColourProfile ColourProfile::sRgb() {
  const cmsContext context = quietContext();
  return context == nullptr ? ColourProfile() : ColourProfile(cmsCreate_sRGBProfileTHR(context));
}

ColourProfile::~ColourProfile() {
  if (m_handle != nullptr) cmsCloseProfile(m_handle);
}

ColourProfile::ColourProfile(ColourProfile&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}

ColourProfile& ColourProfile::operator=(ColourProfile&& other) noexcept {
  if (this != &other) {
    if (m_handle != nullptr) cmsCloseProfile(m_handle);
    m_handle = std::exchange(other.m_handle, nullptr);
  }
  return *this;
}

ProfileSpace ColourProfile::space() const {
  if (m_handle == nullptr) return ProfileSpace::Other;
  switch (cmsGetColorSpace(m_handle)) {
    case cmsSigRgbData: return ProfileSpace::Rgb;
    case cmsSigCmykData: return ProfileSpace::Cmyk;
    case cmsSigGrayData: return ProfileSpace::Gray;
    default: return ProfileSpace::Other;
  }
}

SrgbTransform::SrgbTransform(const ColourProfile& from, SampleLayout layout) {
  static constexpr ProfileSpace kSpaceOf[] = {ProfileSpace::Rgb, ProfileSpace::Cmyk, ProfileSpace::Cmyk,
                                              ProfileSpace::Gray};
  static constexpr cmsUInt32Number kTypeOf[] = {TYPE_RGB_8, TYPE_CMYK_8, TYPE_CMYK_8_REV, TYPE_GRAY_8};
  const auto index = static_cast<std::size_t>(layout);
  if (!from || from.space() != kSpaceOf[index]) return;
  // Only a device profile (input, display, output) or a colour-space profile
  // describes pixels to convert from; a device link, abstract or named-colour
  // profile would be refused anyway.
  const cmsProfileClassSignature kind = cmsGetDeviceClass(from.handle());
  if (kind != cmsSigDisplayClass && kind != cmsSigOutputClass && kind != cmsSigInputClass &&
      kind != cmsSigColorSpaceClass) {
    return;
  }
  const ColourProfile srgb = ColourProfile::sRgb();
  if (!srgb) return;
  m_handle = cmsCreateTransformTHR(quietContext(), from.handle(), kTypeOf[index], srgb.handle(), TYPE_RGB_8,
                                   INTENT_RELATIVE_COLORIMETRIC, 0);
}

SrgbTransform::~SrgbTransform() {
  if (m_handle != nullptr) cmsDeleteTransform(m_handle);
}

SrgbTransform::SrgbTransform(SrgbTransform&& other) noexcept : m_handle(std::exchange(other.m_handle, nullptr)) {}

SrgbTransform& SrgbTransform::operator=(SrgbTransform&& other) noexcept {
  if (this != &other) {
    if (m_handle != nullptr) cmsDeleteTransform(m_handle);
    m_handle = std::exchange(other.m_handle, nullptr);
  }
  return *this;
}

void SrgbTransform::apply(const std::uint8_t* in, std::uint8_t* rgbOut, int pixels) const {
  if (pixels > 0) cmsDoTransform(m_handle, in, rgbOut, static_cast<cmsUInt32Number>(pixels));
}

bool convertToSrgb(Raster& raster, std::span<const std::uint8_t> icc) {
  const SrgbTransform transform(ColourProfile::fromIcc(icc), SampleLayout::Rgb);
  if (!transform) return false;
  for (int y = 0; y < raster.size.height; ++y) transform.apply(raster.row(y), raster.row(y), raster.size.width);
  return true;
}

}  // namespace pixelmote::imaging
