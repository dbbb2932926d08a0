#include "imaging/render.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "imaging/codec.h"
#include "imaging/geometry.h"
#include "imaging/imglib.h"
#include "imaging/prefetch.h"
#include "imaging/reduce.h"
#include "util/file_bytes.h"
#include "util/file_io.h"
#include "util/path.h"
#include "util/program_folder.h"
#include "util/temp_files.h"
#include "util/unique_fd.h"

namespace pixelmote::imaging {

std::string thumbnailNameFor(const std::string& pictureName, const std::string& prefix, const std::string& thumbExt) {
  return prefix + util::StripExt(pictureName) + "." + thumbExt;
}

std::string thumbnailPathFor(const std::string& picturePath, const std::string& prefix, const std::string& thumbExt) {
  return util::joinPath(util::FolderPart(picturePath),
                        thumbnailNameFor(util::FileNamePart(picturePath), prefix, thumbExt));
}

std::string thumbnailStamp(const FileIdentity& picture, const RenderSettings& settings) {
  char modified[64];
  std::snprintf(modified, sizeof modified, "%lld.%09ld", static_cast<long long>(picture.modifiedSeconds),
                picture.modifiedNanoseconds);
  return std::string(kStampLead) + std::to_string(kRenderingVersion) + "; picture " +
         std::to_string(static_cast<long long>(picture.bytes)) + " bytes, modified " + modified + "; size " +
         std::to_string(std::lround(settings.sizePercent)) + ", quality " + std::to_string(settings.quality) + ", smoothing " +
         std::to_string(settings.smoothing) + ", type " + settings.thumbExt;
}

std::string thumbnailStamp(const std::string& picturePath, const RenderSettings& settings) {
  const std::optional<FileIdentity> picture = fileIdentity(picturePath);
  return picture ? thumbnailStamp(*picture, settings) : std::string();
}

namespace {

// The comment a thumbnail file begins with (its stamp sits near the start);
// empty for a file that is not a regular file or cannot be read.
std::string leadingCommentOfFile(const std::string& path) {
  const util::UniqueFd fd = util::openForReading(path);
  if (!fd) return {};
  std::uint8_t head[4096];
  struct stat st {};
  const ssize_t n = ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) ? util::readFully(fd.get(), head, sizeof head, 0) : -1;
  if (n <= 0) return {};
  return leadingComment(Bytes(head, static_cast<std::size_t>(n)));
}

}  // namespace

bool thumbnailUpToDate(const std::string& picturePath, const RenderSettings& settings) {
  const std::string expected = thumbnailStamp(picturePath, settings);
  if (expected.empty()) return false;
  return leadingCommentOfFile(thumbnailPathFor(picturePath, settings.prefix, settings.thumbExt)) == expected;
}

bool carriesThumbnailStamp(const std::string& path) { return leadingCommentOfFile(path).starts_with(kStampLead); }

util::Result<LoadedBox> loadThumbnailBox(const std::string& path, double sizePercent) {
  using R = util::Result<LoadedBox>;
  try {
    const Codec& codec = codecForFile(path);
    auto file = readPicture(path, codec);
    if (!file) return R::failure(file.message());
    std::vector<std::uint8_t> profile;
    DecodeRequest request;
    request.profile = &profile;
    request.minimumSize = [sizePercent](Size full) { return SizeThumb(sizePercent, full); };
    BoxReducer reducer([sizePercent](Size, Size full) { return SizeThumb(sizePercent, full); });
    const util::Status status = codec.decode(Bytes(file->data), request, reducer);
    if (!status) return R::failure(status.message());
    if (reducer.rowsReceived() == 0) return R::failure("no picture data");
    return LoadedBox{reducer.takeResult(), file->identity, file->data.size(), std::move(profile)};
  } catch (const std::bad_alloc&) {
    return R::failure(kNoMemoryToLoad);
  } catch (const std::length_error&) {
    return R::failure(kNoMemoryToLoad);
  }
}

void copyRows(const Raster& box, Raster& output, RenderHost& host) {
  const int width = box.size.width;
  const int height = box.size.height;
  for (int y = 0; y <= height; ++y) {
    if (y < height && width > 0) {
      // Stop can only have been pressed inside the last progress update; a
      // row that begins with Stop set still copies its first pixel.
      const std::size_t pixels = host.stopRequested() ? 1 : static_cast<std::size_t>(width);
      std::memcpy(output.row(y), box.row(y), pixels * 3);
    }
    const double percent = static_cast<double>(y) / height * 100.0;
    if (static_cast<long long>(percent) % 10 == 0) host.Per(percent, 2);
    if (host.stopRequested()) return;
  }
}

util::Result<std::string> temporaryBitmapPath() {
  auto folder = util::writableProgramFolder();
  if (!folder) return util::Result<std::string>::failure(folder.message());
  return util::joinPath(folder.value(), util::temporaryFileName(util::TemporaryKind::Bitmap));
}

namespace {

// LoadSource's work; `loaded` is set once the picture's box is there.
RenderOutcome renderThumbnail(const std::string& sPath, const RenderSettings& settings, RenderHost& host,
                              BoxPrefetcher* prefetcher, bool& loaded) {
  ImagingVariables& v = imagingVariables();
  RenderOutcome outcome;
  outcome.thumbnailPath = thumbnailPathFor(sPath, settings.prefix, settings.thumbExt);

  // Load the picture straight into the thumbnail box.
  v.ImgFile = sPath;
  auto box = prefetcher != nullptr ? prefetcher->take(sPath, settings.sizePercent)
                                   : loadThumbnailBox(sPath, settings.sizePercent);
  if (!box) {
    outcome.result = RenderResult::Unreadable;
    outcome.message = box.message();
    return outcome;
  }
  loaded = true;
  // What the thumbnail records: the file as it was opened for decoding, so a
  // picture changed since (or while it was read) is seen as changed by the
  // next update.
  const std::string stamp = thumbnailStamp(box->source, settings);
  host.processEvents();

  // The output surface starts cleared and receives the box row by row. Each
  // copy of the picture is freed as soon as the next one is made, so a large
  // thumbnail is held at most twice at any moment.
  Raster output(box->box.size);
  host.Per(0, 2);
  copyRows(box->box, output, host);
  std::vector<std::uint8_t> profile = std::move(box->iccProfile);
  box = util::Result<LoadedBox>::failure("");
  host.processEvents();

  // The rendered thumbnail passes through a temporary bitmap and the
  // library's BMP read, then the library writes it in the thumbnail type.
  // Any failure on the way is reported under the thumbnail's name: the
  // temporary name means nothing to the reader and would not tell which
  // picture went without; `message` keeps the cause.
  auto temp = temporaryBitmapPath();
  const auto cannotWrite = [&](const std::string& path, const std::string& why) {
    outcome.result = RenderResult::CannotWrite;
    outcome.failedPath = path;
    outcome.message = why;
    return outcome;
  };
  if (!temp) return cannotWrite(outcome.thumbnailPath, temp.message());
  {
    auto bmp = encodeBmp(output);
    output = Raster();
    if (!bmp) return cannotWrite(outcome.thumbnailPath, bmp.message());
    if (const util::IoResult saved = util::writeFileAtomically(temp.value(), bmp.value()); !saved) {
      return cannotWrite(outcome.thumbnailPath, saved.message);
    }
  }
  host.processEvents();

  v.ImgFile = temp.value();
  std::string noType;
  const bool read = ReadImage(noType);
  host.processEvents();
  util::removeFile(v.ImgFile);
  if (!read) return cannotWrite(outcome.thumbnailPath, lastImagingError());

  v.ImgFile = outcome.thumbnailPath;
  v.ImgQuality = settings.quality;
  v.ImgSmooth = settings.smoothing;
  v.ImgComment = stamp;
  v.ImgIccProfile = std::move(profile);
  const bool written = WriteImage(noType);
  v.ImgComment.clear();
  v.ImgIccProfile.clear();
  if (!written) return cannotWrite(outcome.thumbnailPath, lastImagingError());
  return outcome;
}

}  // namespace

RenderOutcome LoadSource(const std::string& sPath, const RenderSettings& settings, RenderHost& host,
                         BoxPrefetcher* prefetcher) {
  bool loaded = false;
  try {
    return renderThumbnail(sPath, settings, host, prefetcher, loaded);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  // Memory ran out for this picture: the run goes on with the next one.
  RenderOutcome outcome;
  outcome.thumbnailPath = thumbnailPathFor(sPath, settings.prefix, settings.thumbExt);
  if (loaded) {
    outcome.result = RenderResult::CannotWrite;
    outcome.failedPath = outcome.thumbnailPath;
    outcome.message = "not enough memory to render the thumbnail";
  } else {
    outcome.result = RenderResult::Unreadable;
    outcome.message = kNoMemoryToLoad;
  }
  return outcome;
}

}  // namespace pixelmote::imaging
