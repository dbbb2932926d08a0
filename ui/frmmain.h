// The main window: folder choice, settings panel, commands, progress and
// status list, menus; it hosts the batch engine on its own thread.
#pragma once

#include <QIcon>
#include <QMainWindow>
#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "batch/engine.h"
#include "batch/frontend.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QPushButton;
class QUrl;

namespace pixelmote::ui {

class SliderTrack;
class ProgressBar;
class StatusList;
class FramePacer;

// What the window takes from its surroundings; tests replace these.
struct WindowOptions {
  std::string settingsPath;      // the settings file
  // Read instead of the settings file while that does not exist; never written.
  std::string startSettingsPath;
  std::string startFolder;       // the folder list's folder at creation
  std::string probeFolder;       // where the prefix probe is made
  // Mount points offered by the drive list.
  std::function<std::vector<std::string>()> volumes;
  // Shows a message box (OK button, caption "Pixelmote").
  std::function<void(const QString&)> showMessage;
  // Opens an address in the default web browser.
  std::function<bool(const QUrl&)> openUrl;
  // The window's icon.
  QIcon icon;
  // Help > About: shows the About window over the main window (its parent,
  // so that it is hidden when the program exits) until it is closed. Help >
  // About does nothing without it.
  std::function<void(QWidget* mainWindow)> showAbout;
};

// The options of a real start: settings beside the executable (or in the
// per-user folder), start values from $XDG_CONFIG_DIRS, the current folder, the machine's volumes, real message
// boxes and the desktop's browser.
WindowOptions defaultWindowOptions();

class frmmain : public QMainWindow, public batch::Frontend {
  Q_OBJECT
 public:
  explicit frmmain(WindowOptions options, QWidget* parent = nullptr);
  ~frmmain() override;

  // ----- handlers (public so tests and menus reach them alike) -----
  void Form_Load();
  void Form_Unload();
  void cmdAdd_Click();
  void cmdRemove_Click();
  void cmdScan_Click();
  void cmdCancel_Click();
  void mnuAdd_Click() { cmdAdd_Click(); }
  void mnuRemove_Click() { cmdRemove_Click(); }
  void mnuScan_Click() { cmdScan_Click(); }
  void mnuExit_Click();
  void mnuContents_Click();
  void mnuAbout_Click();
  void mnuIJPG_Click();
  void mnuIGIF_Click();
  void mnuTJPG_Click();
  void mnuTGIF_Click();
  void cmbFrom_Click();
  void cmbTo_Click();
  void Dir1_Change();
  void Drive1_Change();
  void txtPre_Change();
  bool ChkPre();
  void picKnob_MouseDown(int Index, int Button, int Shift, float X, float Y);
  void picKnob_MouseMove(int Index, int Button, int Shift, float X, float Y);
  void SetKnob(int Index, float X);
  void GetConfig();
  void WriteConfig();

  // ----- batch::Frontend -----
  // True once after Stop was clicked (or the window closed) during a run.
  bool processEvents() override;
  void setBar(int index, double percent, const std::string& label) override;
  void setTitle(const std::string& title) override;
  void clearStatus() override;
  void appendStatus(const std::string& line) override;
  void showMessage(const std::string& text) override;
  void setControlsEnabled(bool enabled) override;
  void folderChanged(const std::string& path) override;

  // ----- state, for tests -----
  batch::Engine& engine() { return m_engine; }
  // The settings the next run takes, as the controls show them.
  batch::BatchSettings runSettings() const;
  const std::string& settingsPath() const { return m_settingsPath; }
  float knobOffset(int index) const;
  float KnobGrabX() const { return m_knobGrabX; }

  // The controls, by their names.
  QPushButton* cmdAdd;
  QPushButton* cmdRemove;
  QPushButton* cmdScan;
  QPushButton* cmdCancel;
  QComboBox* Drive1;
  QListWidget* Dir1;
  StatusList* lstStatus;
  QWidget* picPanel;
  QWidget* Picture4;
  QComboBox* cmbFrom;
  QComboBox* cmbCol;
  QComboBox* cmbTo;
  QComboBox* cmbBorder;
  QLineEdit* txtPre;
  QCheckBox* chkPreview;
  std::array<QLabel*, 3> lblCap{};
  std::array<SliderTrack*, 3> picSlide{};
  std::array<QLabel*, 6> lblSlide{};
  std::array<QLabel*, 6> lblPer{};
  std::array<QLabel*, 3> lblBar{};
  std::array<ProgressBar*, 3> picBar{};

  QMenu* mnuFolder;
  QAction* mnuAdd;
  QAction* mnuRemove;
  QAction* mnuScan;
  QAction* mnuPreview;
  QAction* mnuExit;
  QMenu* mnuType;
  QMenu* mnuImage;
  QAction* mnuIJPG;
  QAction* mnuIGIF;
  QMenu* mnuThumbnail;
  QAction* mnuTJPG;
  QAction* mnuTGIF;
  QMenu* mnuHelp;
  QAction* mnuContents;
  QAction* mnuAbout;

  // Paces the window's painting during a run.
  FramePacer* framePacer() const { return m_framePacer; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildWindow();
  void buildMenus();
  void connectHandlers();
  void runCommand(batch::Operation operation);
  void refreshFolderList();
  void refreshDriveList();
  void selectDriveOf(const std::string& path);
  void setPreview(bool on);
  void setPrefixText(const QString& text);

  WindowOptions m_options;
  batch::Engine m_engine;
  std::string m_settingsPath;
  float m_knobGrabX = 0;
  bool m_folderListDirty = false;
  bool m_closing = false;
  bool m_inPrefixRule = false;
  bool m_preview = false;
  std::vector<std::string> m_volumes;
  // Pictures worked on at once in Create runs.
  unsigned m_jobs = 1;
  // Stop was asked for during the run; the next processEvents() says so.
  bool m_stopAsked = false;
  FramePacer* m_framePacer = nullptr;
};

// Text for the screen from a byte string (names need not be valid UTF-8).
QString displayText(const std::string& bytes);
// The bytes of a path typed or shown on screen.
std::string pathBytes(const QString& text);

}  // namespace pixelmote::ui
