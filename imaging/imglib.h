// The imaging library layer: program-wide imaging variables, the current
// picture held as two handles, and the read and write functions of the six
// file types, with ReadImage/WriteImage choosing them by extension.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/raster.h"
#include "util/file_io.h"

namespace pixelmote::imaging {

// The program-wide imaging variables.
struct ImagingVariables {
  std::string ImgFile;         // the file the next read or write works on
  int ImgResult = 0;           // code of the last library read or write
  int ImgBitmap = 0;           // handle of the current picture; 0 = none
  std::int32_t ImgAux = 0;     // second handle of the current picture; 0 = none
  int ImgReadBits = 0;         // requested depth of a read (bits per pixel)
  int ImgBitsLimit = 0;        // depth limit of the read-depth rule
  int ImgWriteBits = 0;        // depth of GIF, PCX, BMP, PNG and TIF writes
  int ImgReadMode = 0;         // option given to every read
  int ImgQuality = 0;          // JPEG quality, 0 to 100
  int ImgSmooth = 0;           // JPEG smoothing, 0 to 100
  std::int32_t ImgTifOption1 = 0;
  int ImgTifOption2 = 0;
  int ImgOption = 0;           // last numeric argument of every read and write
  std::string ImgLibText;      // last argument of the GIF and TIF calls
  std::string ImgComment;      // stored by JPEG and GIF writes (empty: none)
  // The ICC profile the current picture's pixels are in (empty: sRGB). JPEG
  // writes embed it; GIF writes, which have no reliable carrier for it,
  // convert the pixels to sRGB first.
  std::vector<std::uint8_t> ImgIccProfile;
};

// The one set of imaging variables of the program.
ImagingVariables& imagingVariables();

// Gives the calling thread imaging variables of its own while it lives,
// starting as a copy of `start` without a current picture, so that a worker
// thread can read and write pictures beside the program's thread. The
// library's writes on this thread leave their file under a temporary name
// (takeStaged) for the caller to put in place, and its message boxes are
// collected (takeMessages) for the program's thread to show. The pictures
// the thread still holds are released when the scope ends. Scopes do not
// nest across threads: each belongs to the thread that made it.
class ThreadImaging {
 public:
  explicit ThreadImaging(const ImagingVariables& start);
  ~ThreadImaging();
  ThreadImaging(const ThreadImaging&) = delete;
  ThreadImaging& operator=(const ThreadImaging&) = delete;

  ImagingVariables& variables() { return m_variables; }
  // The file the last write staged (empty when none did).
  util::StagedFile takeStaged() { return std::move(m_staged); }
  std::vector<std::string> takeMessages() { return std::move(m_messages); }

 private:
  friend struct ThreadImagingAccess;
  ImagingVariables m_variables;
  util::StagedFile m_staged;
  std::vector<std::string> m_messages;
  ThreadImaging* m_previous = nullptr;
};

// The library's own initialisation text.
inline constexpr const char* kImagingLibraryText = "Pixelmote imaging";

// Sets the start values (depths 8, read mode 1, TIF options 1 and 5, option
// 0, the library text) and calls InitDll, as program start-up does.
void startImaging();

// ----- the library ---------------------------------------------------------
// Reads return a code above 0 on success (the filled handles then name the
// new picture, which the caller owns) and 0 or below on failure. Writes
// return 0 on failure and any other code on success.

inline constexpr int kReadOk = 1;
inline constexpr int kReadCannotOpen = -1;     // missing or unreadable file
inline constexpr int kReadNotPicture = -2;     // not a picture of the type, or corrupt
inline constexpr int kWriteOk = 1;
inline constexpr int kWriteFailed = 0;

int InitDll(int bitmap, const std::string& text);

int readjpgfile(const std::string& file, int depth, int zero, int mode, int& bitmap, std::int32_t& aux, int zero2,
                int option);
int readgiffile(const std::string& file, int depth, int mode, int& bitmap, std::int32_t& aux, int zero, int option,
                const std::string& text);
int readtiffile(const std::string& file, int depth, int mode, int& bitmap, std::int32_t& aux, int zero, int option,
                const std::string& text);
int readpcxfile(const std::string& file, int depth, int mode, int& bitmap, std::int32_t& aux, int zero, int option);
int readbmpfile(const std::string& file, int depth, int mode, int& bitmap, std::int32_t& aux, int zero, int option);
int readpngfile(const std::string& file, int depth, int mode, int& bitmap, std::int32_t& aux, int zero, int option);

int writejpgfile(const std::string& file, int quality, int smooth, int bits, int bitmap, std::int32_t aux, int zero,
                 int option);
int writegiffile(const std::string& file, int bits, int bitmap, std::int32_t aux, int zero, int option,
                 const std::string& text);
int writepcxfile(const std::string& file, int bits, int bitmap, std::int32_t aux, int zero, int option);
int writebmpfile(const std::string& file, int bits, int bitmap, std::int32_t aux, int zero, int option);
int writepngfile(const std::string& file, int bits, int zero, int bitmap, std::int32_t aux, int zero2, int option);
int writetiffile(const std::string& file, std::int32_t option1, int option2, int bits, int bitmap, std::int32_t aux,
                 int zero, int option, const std::string& text);

// Releases a picture handle (the platform's delete-object operation).
// Releasing 0 or an unknown handle does nothing.
void DeleteObject(std::int32_t handle);

// The picture a handle names, or null.
std::shared_ptr<const Raster> pictureOf(int handle);
// Makes a handle for a picture (as a read does); the caller owns it.
int adoptPicture(Raster raster);
// Number of picture handles held (for tests of handle ownership).
int livePictureCount();
// What the last failed read or write on this thread said went wrong.
std::string lastImagingError();

// ----- reading and writing through the variables ---------------------------

// Replaces `sExt` with its lower-case form; sets `iType` to its type code
// when it is one of them: the format's library type (Codec::libraryType:
// jpg 0, gif 1, pcx 2, bmp 3, png 4, tif 5) for the suffixes the library
// takes, -1 for "0".
void ImageTypeOf(std::string& sExt, int& iType);

// Reads ImgFile into the current picture, by its extension (`sType` when the
// extension is not one of the types). On success the previous picture is
// released; on failure it stays current.
bool ReadImage(std::string& sType);

// Writes the current picture to ImgFile in the type of its extension; a
// name without one gets "." + `sType`.
bool WriteImage(std::string& sType);

inline constexpr const char* kMsgNotSaved = "File Not Saved!, Please specify a valid file type.";

// Where WriteImage's message box goes (the host's message boxes).
void setImagingMessageHandler(std::function<void(const std::string&)> handler);
// Shows a message box the library raised on a thread of its own
// (ThreadImaging::takeMessages), where WriteImage's go.
void raiseImagingMessage(const std::string& text);

}  // namespace pixelmote::imaging
