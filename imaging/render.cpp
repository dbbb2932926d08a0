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
#include "imaging/pipeline.h"
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

RowsCopied copyRowEvents(Size size, RenderHost& host) {
  const int height = size.height;
  RowsCopied copied;
  for (int y = 0; y <= height; ++y) {
    if (y < height) {
      // Stop can only have been pressed inside the last progress update; a
      // row that begins with Stop set still copies its first pixel.
      if (host.stopRequested()) {
        copied.firstPixelOnly = true;
      } else {
        copied.rows = y + 1;
      }
    }
    const double percent = static_cast<double>(y) / height * 100.0;
    if (static_cast<long long>(percent) % 10 == 0) host.Per(percent, 2);
    if (host.stopRequested()) return copied;
  }
  return copied;
}

void copyRowsAs(const Raster& box, Raster& output, RowsCopied copied) {
  const auto width = static_cast<std::size_t>(box.size.width);
  if (width == 0) return;
  for (int y = 0; y < copied.rows; ++y) std::memcpy(output.row(y), box.row(y), width * 3);
  if (copied.firstPixelOnly && copied.rows < box.size.height) std::memcpy(output.row(copied.rows), box.row(copied.rows), 3);
}

void copyRows(const Raster& box, Raster& output, RenderHost& host) {
  copyRowsAs(box, output, copyRowEvents(box.size, host));
}

util::Result<std::string> temporaryBitmapPath() {
  auto folder = util::writableProgramFolder();
  if (!folder) return util::Result<std::string>::failure(folder.message());
  return util::joinPath(folder.value(), util::temporaryFileName(util::TemporaryKind::Bitmap));
}

namespace {

// The host of work done ahead of the run: no progress, no Stop; it counts
// the event passes the run is to make in their place.
class QuietHost final : public RenderHost {
 public:
  void Per(double, int) override {}
  void processEvents() override { ++m_passes; }
  bool stopRequested() const override { return false; }
  int passes() const { return m_passes; }

 private:
  int m_passes = 0;
};

// Deletes the temporary bitmap when its read-back is left, also when memory
// runs out on the way. Refers to the name, so owning it cannot throw.
struct BitmapRemover {
  const std::string& path;
  ~BitmapRemover() {
    try {
      util::removeFile(path);
    } catch (...) {
    }
  }
};

RenderOutcome cannotWrite(RenderOutcome outcome, const std::string& path, const std::string& why) {
  outcome.result = RenderResult::CannotWrite;
  outcome.failedPath = path;
  outcome.message = why;
  return outcome;
}

// The thumbnail from its copied rows on: the rendered thumbnail passes
// through a temporary bitmap and the library's BMP read, then the library
// writes it in the thumbnail type. Any failure on the way is reported under
// the thumbnail's name: the temporary name means nothing to the reader and
// would not tell which picture went without; `message` keeps the cause.
// `outcome` comes with the thumbnail's path.
RenderOutcome finishThumbnail(Raster output, std::vector<std::uint8_t> profile, const std::string& stamp,
                              const RenderSettings& settings, RenderHost& host, RenderOutcome outcome) {
  ImagingVariables& v = imagingVariables();
  auto temp = temporaryBitmapPath();
  if (!temp) return cannotWrite(outcome, outcome.thumbnailPath, temp.message());
  {
    auto bmp = encodeBmp(output);
    output = Raster();
    if (!bmp) return cannotWrite(outcome, outcome.thumbnailPath, bmp.message());
    if (const util::IoResult saved = util::writeFileAtomically(temp.value(), bmp.value()); !saved) {
      return cannotWrite(outcome, outcome.thumbnailPath, saved.message);
    }
  }
  std::string noType;
  bool read = false;
  {
    const BitmapRemover remover{temp.value()};
    host.processEvents();
    v.ImgFile = temp.value();
    read = ReadImage(noType);
    host.processEvents();
  }
  if (!read) return cannotWrite(outcome, outcome.thumbnailPath, lastImagingError());

  v.ImgFile = outcome.thumbnailPath;
  v.ImgQuality = settings.quality;
  v.ImgSmooth = settings.smoothing;
  v.ImgComment = stamp;
  v.ImgIccProfile = std::move(profile);
  const bool written = WriteImage(noType);
  v.ImgComment.clear();
  v.ImgIccProfile.clear();
  if (!written) return cannotWrite(outcome, outcome.thumbnailPath, lastImagingError());
  return outcome;
}

// LoadSource's work on the spot; `loaded` is set once the picture's box is
// there.
RenderOutcome renderThumbnail(const std::string& sPath, const RenderSettings& settings, RenderHost& host,
                              bool& loaded) {
  ImagingVariables& v = imagingVariables();
  RenderOutcome outcome;
  outcome.thumbnailPath = thumbnailPathFor(sPath, settings.prefix, settings.thumbExt);

  // Load the picture straight into the thumbnail box.
  v.ImgFile = sPath;
  auto box = loadThumbnailBox(sPath, settings.sizePercent);
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
  return finishThumbnail(std::move(output), std::move(profile), stamp, settings, host, std::move(outcome));
}

// The thumbnail a worker made, taken through the run's progress, event and
// Stop points in the order rendering on the spot makes them. Stop within the
// row copy leaves the partly copied thumbnail rendering on the spot leaves:
// it is made now from the box, and the one made ahead is dropped.
RenderOutcome finishPrepared(PreparedThumbnail& prepared, const RenderSettings& settings, RenderHost& host,
                             bool& loaded) {
  for (const std::string& text : prepared.messages) raiseImagingMessage(text);
  if (prepared.reached == PreparedThumbnail::Reached::NotLoaded) return prepared.outcome;
  loaded = true;
  host.processEvents();
  if (prepared.reached == PreparedThumbnail::Reached::Loaded) return prepared.outcome;

  host.Per(0, 2);
  const Raster& box = prepared.loaded.box;
  const RowsCopied copied = copyRowEvents(box.size, host);
  if (copied.rows < box.size.height || copied.firstPixelOnly) {
    prepared.thumbnail.discard();
    Raster output(box.size);
    copyRowsAs(box, output, copied);
    std::vector<std::uint8_t> profile = std::move(prepared.loaded.iccProfile);
    prepared.loaded = LoadedBox{};
    host.processEvents();
    RenderOutcome outcome;
    outcome.thumbnailPath = prepared.outcome.thumbnailPath;
    return finishThumbnail(std::move(output), std::move(profile), prepared.stamp, settings, host, std::move(outcome));
  }
  prepared.loaded = LoadedBox{};
  for (int pass = 0; pass < prepared.eventPassesAfterCopy; ++pass) host.processEvents();
  if (prepared.outcome.result != RenderResult::Written) return prepared.outcome;
  if (const util::IoResult placed = prepared.thumbnail.commit(); !placed) {
    return cannotWrite(prepared.outcome, prepared.outcome.thumbnailPath, placed.message);
  }
  return prepared.outcome;
}

// The outcome for memory running out while rendering the picture at `sPath`.
RenderOutcome outOfMemory(const std::string& sPath, const RenderSettings& settings, bool loaded) {
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

}  // namespace

PreparedThumbnail prepareThumbnail(const std::string& sPath, const RenderSettings& settings,
                                   const ImagingVariables& start) noexcept {
  PreparedThumbnail prepared;
  QuietHost quiet;
  try {
    prepared.outcome.thumbnailPath = thumbnailPathFor(sPath, settings.prefix, settings.thumbExt);
    ThreadImaging scope(start);
    scope.variables().ImgFile = sPath;
    auto box = loadThumbnailBox(sPath, settings.sizePercent);
    if (!box) {
      prepared.outcome.result = RenderResult::Unreadable;
      prepared.outcome.message = box.message();
      return prepared;
    }
    prepared.reached = PreparedThumbnail::Reached::Loaded;
    prepared.loaded = std::move(box).value();
    prepared.stamp = thumbnailStamp(prepared.loaded.source, settings);
    // The box is kept as it is (a Stop within the copy needs it), so the
    // thumbnail is rendered from a copy.
    Raster output(prepared.loaded.box.size);
    copyRowsAs(prepared.loaded.box, output, RowsCopied{output.size.height, false});
    prepared.reached = PreparedThumbnail::Reached::Copied;
    prepared.outcome = finishThumbnail(std::move(output), prepared.loaded.iccProfile, prepared.stamp, settings, quiet,
                                       prepared.outcome);
    // The run's pass right after the copy, then those finishing made.
    prepared.eventPassesAfterCopy = 1 + quiet.passes();
    prepared.messages = scope.takeMessages();
    if (prepared.outcome.result == RenderResult::Written) prepared.thumbnail = scope.takeStaged();
    return prepared;
  } catch (...) {
    // Memory ran out (or the like) for this picture: the run goes on with the
    // next one. What was staged went with the scope.
  }
  const bool loaded = prepared.reached != PreparedThumbnail::Reached::NotLoaded;
  try {
    prepared.outcome = outOfMemory(sPath, settings, loaded);
    prepared.eventPassesAfterCopy = 1 + quiet.passes();
  } catch (...) {
    prepared.outcome.result = loaded ? RenderResult::CannotWrite : RenderResult::Unreadable;
  }
  prepared.thumbnail.discard();
  return prepared;
}

RenderOutcome LoadSource(const std::string& sPath, const RenderSettings& settings, RenderHost& host,
                         ThumbnailPipeline* pipeline) {
  bool loaded = false;
  try {
    if (pipeline == nullptr) return renderThumbnail(sPath, settings, host, loaded);
    PreparedThumbnail prepared = pipeline->take(sPath, settings);
    return finishPrepared(prepared, settings, host, loaded);
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  // Memory ran out for this picture: the run goes on with the next one.
  return outOfMemory(sPath, settings, loaded);
}

}  // namespace pixelmote::imaging
