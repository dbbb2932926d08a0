// How much memory loading a picture into its thumbnail box will take, read
// from the picture's header, so pictures loaded side by side stay within a
// memory budget.
#pragma once

#include <cstdint>
#include <string>

#include "imaging/codec.h"

namespace pixelmote::imaging {

// The figure for a picture whose header cannot be read: it fails early.
inline constexpr std::uint64_t kSmallLoad = std::uint64_t{1} << 20;

// Bytes of the thumbnail box of a `width` x `height` picture at
// `sizePercent`; 0 for a size no picture can have.
std::uint64_t boxBytes(std::uint64_t width, std::uint64_t height, double sizePercent);

// The estimate for forms that may hold one byte or more per pixel while
// decoding (interlaced frames, compressed runs): four bytes bound them all.
LoadEstimate pixelLoadEstimate(std::uint64_t width, std::uint64_t height, double sizePercent);

// The estimate for the file at `path`, by the format it is decoded as (its
// name's suffix): the format's estimate from the file's head plus the bytes
// of it that loading reads and holds while decoding (plannedReadBytes).
LoadEstimate estimateLoadBytes(const std::string& path, double sizePercent);

// The memory a run of `jobs` jobs (at least 1) loads pictures ahead within:
// room for one large progressive photo (a 24 MP one holds 69 MB of
// coefficients and its file) and 30 MB for every further job, so that with
// what the estimates leave out each job adds at most 40 MB to the peak of a
// one-job run. It stops growing at 320 MB: that is still dozens of ordinary
// photos at once, and the largest pictures allowed (2^28 pixels, a 48 MB box
// each) stay within half a gigabyte.
std::uint64_t loadAheadBudget(unsigned jobs);

// A load whose decoder holds this much or more is at a picture of 12
// megapixels or more in progressive form (or a very large one otherwise),
// whose decode takes several times as long as the others: it is worth
// starting as soon as it fits.
inline constexpr std::uint64_t kSlowLoadWorkingBytes = std::uint64_t{32} << 20;

}  // namespace pixelmote::imaging
