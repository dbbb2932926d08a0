// The user's choices a run reads (BatchSettings) and the run's own variables
// (RunState with its FolderTable).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pixelmote::batch {

enum class Operation : int { Create = 0, Report = 1, Remove = 2 };

struct BatchSettings {
  std::string sFolder;            // start folder: the folder list's path when the run begins
  std::string sImageExt = "jpg";  // source picture type, lower case
  std::string sThumbExt = "jpg";  // thumbnail type, lower case
  std::string sPrefix = "t_";     // thumbnail prefix
  int iColumns = 5;               // cells per table row, 1 to 10
  int iBorder = 1;                // table border, 0 to 10
  int iSize = 25;                 // thumbnail size in percent, 0 to 100
  int iQuality = 75;              // output quality, 0 to 100
  int iSmooth = 0;                // smoothing, 0 to 100
};

// One recorded folder.
struct FolderEntry {
  std::string sFolderPath;
  std::int64_t iSubFolders = 0;
  std::int64_t iPictures = 0;
  std::int64_t lPictureBytes = 0;
  std::int64_t lThumbBytes = 0;
  int iDepth = 0;  // the start folder is 1
};

struct RunState {
  Operation iOperation = Operation::Report;
  // Entries 1 to iFolderCount; entry 0 is never used.
  std::vector<FolderEntry> FolderTable;
  std::size_t iFolderCount = 0;
  bool bStop = false;
  std::string sHTML;
  int iCell = 0;
  std::string sLinks;
  int iLevel = 0;
  std::size_t iFolder = 0;
  std::string sStartFolder;
  std::int64_t lTotalFolders = 0;
  std::int64_t lTotalPictures = 0;
  std::int64_t lTotalBytes = 0;
  std::int64_t lTotalThumbBytes = 0;
};

}  // namespace pixelmote::batch
