// Rendering one picture into its thumbnail file: load, size the box,
// resample, copy row by row with progress and Stop, pass the result through
// a temporary bitmap and write it in the thumbnail type.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "imaging/imglib.h"
#include "imaging/picture_file.h"
#include "imaging/raster.h"
#include "util/file_io.h"
#include "util/result.h"

namespace pixelmote::imaging {

// What rendering needs from the run it is part of.
class RenderHost {
 public:
  virtual ~RenderHost() = default;
  // Moves progress bar `index` (2 is "File") and handles pending events.
  virtual void Per(double iPer, int index) = 0;
  virtual void processEvents() = 0;
  virtual bool stopRequested() const = 0;
};

struct RenderSettings {
  double sizePercent = 25;   // Size slider value, 0 to 100
  int quality = 75;          // Quality slider value
  int smoothing = 0;         // Smooth slider value
  std::string prefix = "t_";
  std::string thumbExt = "jpg";  // "jpg" or "gif"

  bool operator==(const RenderSettings&) const = default;
};

enum class RenderResult {
  Written,      // the thumbnail file exists (possibly partly copied after Stop)
  Unreadable,   // the picture could not be loaded: no thumbnail written
  CannotWrite,  // a file could not be written: `failedPath` names it
};

struct RenderOutcome {
  RenderResult result = RenderResult::Written;
  std::string thumbnailPath;  // where the thumbnail goes
  std::string failedPath;     // the file that could not be written
  std::string message;        // why, for logs and tests
};

// The thumbnail's file name for the picture named `pictureName` (no folder):
// the prefix, the picture's name up to its first ".", ".", the thumbnail type.
std::string thumbnailNameFor(const std::string& pictureName, const std::string& prefix, const std::string& thumbExt);
// The thumbnail's path for a picture: its folder, "/" and thumbnailNameFor.
std::string thumbnailPathFor(const std::string& picturePath, const std::string& prefix, const std::string& thumbExt);

// Changes whenever the way thumbnails are rendered changes, so that
// thumbnails of an older way are not taken as up to date.
inline constexpr int kRenderingVersion = 2;

// The text a thumbnail records about what it was made from: the picture
// file's size and modification time and the settings that shape the
// thumbnail.
std::string thumbnailStamp(const FileIdentity& picture, const RenderSettings& settings);
// The same for the picture file at `picturePath` as it is now; empty when it
// cannot be examined.
std::string thumbnailStamp(const std::string& picturePath, const RenderSettings& settings);

// True when the thumbnail of the picture exists and records the stamp the
// picture and settings give now: rendering it again would change nothing.
bool thumbnailUpToDate(const std::string& picturePath, const RenderSettings& settings);

// The text every thumbnail's stamp begins with, whatever it was made from.
inline constexpr std::string_view kStampLead = "pixelmote thumbnail ";

// True when the file at `path` is a thumbnail this program wrote: its
// leading comment is a thumbnail stamp. Any other file, or one that cannot
// be read, gives false.
bool carriesThumbnailStamp(const std::string& path);

// A picture loaded into its thumbnail box.
struct LoadedBox {
  Raster box;
  FileIdentity source;         // the picture file the box was decoded from, as it was opened
  std::uint64_t bytesRead = 0;  // bytes of the file read to decode it
  std::vector<std::uint8_t> iccProfile;  // the RGB space the box is in, as embedded in the picture; empty: sRGB
};

// Why a load failed when memory ran out.
inline constexpr const char* kNoMemoryToLoad = "not enough memory to load the picture";

// The picture loader: decodes the picture at `path` as the format its name
// gives (codecForFile) and resamples it to the thumbnail box for
// `sizePercent` of its displayed size. Fails for a file that is not a
// readable picture of its type, and with kNoMemoryToLoad when an allocation
// fails; throws nothing.
util::Result<LoadedBox> loadThumbnailBox(const std::string& path, double sizePercent);

// A picture's thumbnail made ahead of the run's turn (on a worker), waiting
// for the run to reach it: the thumbnail written under a temporary name,
// and what the run needs to go through the picture's progress and Stop
// points as if it rendered the picture then.
struct PreparedThumbnail {
  enum class Reached {
    NotLoaded,  // the picture could not be loaded: outcome says why
    Loaded,     // loaded, but making the thumbnail failed before its rows were copied
    Copied,     // the rows were copied; outcome tells how the rest went
  };
  Reached reached = Reached::NotLoaded;
  RenderOutcome outcome;            // as rendering gave it, Stop aside
  LoadedBox loaded;                 // the box, kept for a Stop within the row copy
  std::string stamp;                // what the thumbnail records
  int eventPassesAfterCopy = 0;     // event passes rendering made after the copy
  util::StagedFile thumbnail;       // written when outcome says so
  std::vector<std::string> messages;  // message boxes the library raised
};

// Makes the thumbnail of the picture at `sPath` on the calling thread (a
// worker), with imaging variables of its own that start as `start`, without
// events or Stop; the thumbnail stays under its temporary name. Throws
// nothing.
PreparedThumbnail prepareThumbnail(const std::string& sPath, const RenderSettings& settings,
                                   const ImagingVariables& start) noexcept;

class ThumbnailPipeline;

// Renders the picture at `sPath` into its thumbnail file. With a pipeline,
// the thumbnail comes from it (made ahead on a worker): the run goes through
// the same progress, event and Stop points, and a Stop within the row copy
// gives the same partly copied thumbnail, made then. The thumbnail's stamp
// describes the file the box was decoded from, even when the picture was
// replaced since.
RenderOutcome LoadSource(const std::string& sPath, const RenderSettings& settings, RenderHost& host,
                         ThumbnailPipeline* pipeline = nullptr);

// How far a row copy went: `rows` whole rows, and when Stop was set before
// it began, one pixel of the first row.
struct RowsCopied {
  int rows = 0;
  bool firstPixelOnly = false;
};

// Goes through the row copy of a box of `size` as the renderer does,
// without the pixels: host.Per for bar 2 after the rows whose whole
// percentage is a multiple of 10, ending early when Stop is seen.
RowsCopied copyRowEvents(Size size, RenderHost& host);
// Copies the part of `box` that `copied` names onto `output`; rows not
// reached keep their colour.
void copyRowsAs(const Raster& box, Raster& output, RowsCopied copied);
// Both: copies `box` onto `output` row by row with the progress and Stop
// points of copyRowEvents.
void copyRows(const Raster& box, Raster& output, RenderHost& host);

// The path of this process's temporary bitmap in the program's writable
// folder.
util::Result<std::string> temporaryBitmapPath();

}  // namespace pixelmote::imaging
