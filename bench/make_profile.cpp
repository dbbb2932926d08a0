// Writes an RGB ICC profile with Adobe RGB (1998) primaries, D65 white and
// a gamma of 2.2, made with LittleCMS, to the file named on the command line.
#include <cstdio>

#include <lcms2.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_profile OUT.icc\n");
    return 2;
  }
  cmsCIExyY white;
  cmsWhitePointFromTemp(&white, 6504);
  const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
  cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
  cmsToneCurve* curves[3] = {gamma, gamma, gamma};
  cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
  cmsFreeToneCurve(gamma);
  if (profile == nullptr) return 1;
  cmsMLU* description = cmsMLUalloc(nullptr, 1);
  cmsMLUsetASCII(description, "en", "US", "Adobe RGB (1998)-like");
  cmsWriteTag(profile, cmsSigProfileDescriptionTag, description);
  cmsMLUfree(description);
  const bool saved = cmsSaveProfileToFile(profile, argv[1]);
  cmsCloseProfile(profile);
  return saved ? 0 : 1;
}
