// The folder choice's two lists: a drive list that reads the volumes afresh
// whenever the user goes to choose from it, and the folder list's look.
#pragma once

#include <QComboBox>
#include <QIcon>

class QListWidget;

namespace pixelmote::ui {

// Item data of a folder list entry: the folder's full path (bytes) and how
// many levels in the entry is drawn (the root 0, each folder of the path one
// more than its parent, the sub-folders one more than the current folder).
inline constexpr int kFolderPathRole = Qt::UserRole;
inline constexpr int kFolderDepthRole = Qt::UserRole + 1;

// A drop-down list that says when the user is about to choose from it: when
// its list opens, and before a key or the wheel changes the choice on the
// closed list. The owner refills it in answer, so the choice is made among
// the volumes as they are now.
class DriveList : public QComboBox {
  Q_OBJECT
 public:
  explicit DriveList(QWidget* parent);
  void showPopup() override;

 signals:
  void aboutToChoose();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
};

// Gives a folder list its look: each entry, icon and name together, is drawn
// kFolderDepthRole levels in, so the names themselves carry no indent and
// typing a name finds it.
void setFolderListLook(QListWidget* list);

// The icon of an open folder (the folders of the current path) or a closed
// one (its sub-folders). The two differ in outline, not in shading alone.
QIcon folderIcon(bool open);

}  // namespace pixelmote::ui
