#include "ui/frmmain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QStorageInfo>
#include <QUrl>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

#include "batch/page.h"
#include "ui/folder_choice.h"
#include "ui/frame_pacer.h"
#include "ui/knob.h"
#include "ui/settings_file.h"
#include "ui/slider_widgets.h"
#include "ui/status_list.h"
#include "util/path.h"
#include "util/program_folder.h"
#include "util/temp_files.h"

namespace pixelmote::ui {

namespace {

// The window is laid out in twips, 15 to the pixel.
QRect twips(int left, int top, int width, int height) { return QRect(left / 15, top / 15, width / 15, height / 15); }

QFont arial(double points, bool bold = false) {
  QFont font("Arial");
  font.setPointSizeF(points);
  font.setBold(bold);
  return font;
}

QLabel* label(QWidget* parent, const QString& text, QRect where, Qt::Alignment align = Qt::AlignLeft) {
  auto* l = new QLabel(text, parent);
  l->setAlignment(align | Qt::AlignTop);
  // A right-aligned caption wider than its place in the layout (the font
  // differs from the one the layout was drawn for) grows to the left, so it
  // still ends where the layout puts its end.
  const int needed = l->fontMetrics().horizontalAdvance(text) + 2;
  if ((align & Qt::AlignRight) && needed > where.width()) {
    where.setLeft(std::max(0, where.right() + 1 - needed));
  }
  l->setGeometry(where);
  return l;
}

QComboBox* dropDown(QWidget* parent, QRect where) {
  auto* c = new QComboBox(parent);
  c->setGeometry(where);
  c->setEditable(false);  // a choice from the list only
  return c;
}

bool isFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The process's current folder. Once that folder has been deleted getcwd()
// fails, but the kernel still names it, " (deleted)" appended, in /proc.
std::string currentFolder() {
  const QByteArray cwd = QFile::encodeName(QDir::currentPath());
  if (!cwd.isEmpty()) return std::string(cwd.constData(), static_cast<std::size_t>(cwd.size()));
  char link[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/cwd", link, sizeof link);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link || link[0] != '/') return {};
  std::string path(link, static_cast<std::size_t>(n));
  static constexpr std::string_view kDeleted = " (deleted)";
  if (path.size() > kDeleted.size() && path.compare(path.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    path.resize(path.size() - kDeleted.size());
  }
  return path;
}

// The folder the folder list starts on: `wanted` when it is a folder, else
// its nearest ancestor that is one. When only the root is left (runs refuse
// it) or `wanted` is no full path, the home folder; the root as a last resort.
std::string usableStartFolder(const std::string& wanted) {
  if (isFolder(wanted)) return wanted;
  if (!wanted.empty() && wanted[0] == '/') {
    for (std::size_t cut = wanted.rfind('/'); cut != std::string::npos && cut > 0; cut = wanted.rfind('/', cut - 1)) {
      const std::string ancestor = wanted.substr(0, cut);
      if (isFolder(ancestor)) return ancestor;
    }
  }
  const std::string home = pathBytes(QDir::homePath());
  return isFolder(home) ? home : std::string("/");
}

bool folderReadable(const std::string& path) { return isFolder(path) && ::access(path.c_str(), R_OK | X_OK) == 0; }

std::vector<std::string> machineVolumes() {
  std::vector<std::string> out{"/"};
  static const QList<QByteArray> kVirtual = {"tmpfs", "devtmpfs", "overlay", "squashfs", "proc", "sysfs",
                                             "cgroup", "cgroup2", "devpts", "mqueue", "autofs", "ramfs"};
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
    if (!volume.isValid() || !volume.isReady() || kVirtual.contains(volume.fileSystemType())) continue;
    out.push_back(pathBytes(volume.rootPath()));
  }
  out.push_back(pathBytes(QDir::homePath()));
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

char localeDecimalPoint() {
  const std::string point = batch::NumberFormat::fromLocale().decimalPoint;
  return point.size() == 1 ? point[0] : '.';
}

}  // namespace

QString displayText(const std::string& bytes) {
  return QFile::decodeName(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

std::string pathBytes(const QString& text) {
  const QByteArray bytes = QFile::encodeName(text);
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

WindowOptions defaultWindowOptions() {
  WindowOptions options;
  const auto folder = util::writableProgramFolder();
  const std::string own = folder ? folder.value() : util::programFolder();
  options.settingsPath = util::joinPath(own, util::programBaseName() + ".ini");
  options.startSettingsPath = findStartSettings(std::getenv("XDG_CONFIG_DIRS"));
  options.probeFolder = own;
  options.startFolder = usableStartFolder(currentFolder());
  options.volumes = machineVolumes;
  options.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  return options;
}

frmmain::frmmain(WindowOptions options, QWidget* parent)
    : QMainWindow(parent), m_options(std::move(options)), m_engine(*this) {
  if (!m_options.showMessage) {
    m_options.showMessage = [this](const QString& text) {
      QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Pixelmote"), text, QMessageBox::Ok, this);
      box.exec();
    };
  }
  if (!m_options.volumes) m_options.volumes = machineVolumes;
  if (!m_options.openUrl) m_options.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  m_options.startFolder = usableStartFolder(m_options.startFolder.empty() ? currentFolder() : m_options.startFolder);

  // Create runs load pictures ahead on every core.
  m_jobs = std::max(1u, std::thread::hardware_concurrency());
  buildWindow();
  buildMenus();
  // The folder list shows the process's folder when the window is created.
  m_engine.setFolderPath(m_options.startFolder);
  refreshDriveList();
  connectHandlers();
  Form_Load();
}

frmmain::~frmmain() = default;

// ----- layout -------------------------------------------------------------

void frmmain::buildWindow() {
  auto* client = new QWidget(this);
  setCentralWidget(client);
  client->setFixedSize(8310 / 15, 3690 / 15);
  client->setFont(arial(8.25));

  cmdAdd = new QPushButton(QStringLiteral("Create"), client);
  cmdAdd->setGeometry(twips(120, 120, 855, 375));
  cmdRemove = new QPushButton(QStringLiteral("Remove"), client);
  cmdRemove->setGeometry(twips(1080, 120, 855, 375));
  cmdScan = new QPushButton(QStringLiteral("Report"), client);
  cmdScan->setGeometry(twips(2040, 120, 975, 375));
  cmdCancel = new QPushButton(QStringLiteral("Stop"), client);
  cmdCancel->setGeometry(twips(3120, 120, 975, 375));

  Drive1 = new DriveList(client);
  Drive1->setGeometry(twips(120, 600, 3975, 315));
  Dir1 = new QListWidget(client);
  setFolderListLook(Dir1);
  Dir1->setGeometry(twips(120, 960, 3975, 1440));
  Dir1->setFont(arial(8.25));
  Dir1->setIconSize(QSize(16, 16));
  lstStatus = new StatusList(client);
  lstStatus->setGeometry(twips(120, 2520, 3975, 1035));
  lstStatus->setFont(arial(8.25));

  // Settings panel.
  picPanel = new QWidget(client);
  picPanel->setGeometry(twips(4200, 0, 3975, 2415));
  label(picPanel, QStringLiteral("Image type:"), twips(360, 120, 855, 255), Qt::AlignRight);
  cmbFrom = dropDown(picPanel, twips(1320, 120, 855, 330));
  label(picPanel, QStringLiteral("Columns:"), twips(2280, 120, 735, 255), Qt::AlignRight);
  cmbCol = dropDown(picPanel, twips(3120, 120, 735, 330));
  label(picPanel, QStringLiteral("Thumbnail type:"), twips(0, 480, 1215, 255), Qt::AlignRight);
  cmbTo = dropDown(picPanel, twips(1320, 480, 855, 330));
  label(picPanel, QStringLiteral("Border:"), twips(2520, 480, 495, 255), Qt::AlignRight);
  cmbBorder = dropDown(picPanel, twips(3120, 480, 735, 315));
  label(picPanel, QStringLiteral("Thumbnail prefix:"), twips(120, 960, 1215, 255), Qt::AlignRight);
  txtPre = new QLineEdit(QStringLiteral("t_"), picPanel);
  txtPre->setGeometry(twips(1440, 960, 735, 285));
  chkPreview = new QCheckBox(QStringLiteral("Preview"), picPanel);
  chkPreview->setGeometry(twips(2640, 960, 1095, 255));
  static const char* const kCaptions[3] = {"Size", "Quality", "Smooth"};
  for (int i = 0; i < 3; ++i) {
    const int top = 1440 + 240 * i;
    lblCap[i] = label(picPanel, QString::fromLatin1(kCaptions[i]), twips(120, top, 615, 255), Qt::AlignHCenter);
    picSlide[i] = new SliderTrack(picPanel);
    picSlide[i]->setGeometry(twips(840, top, 2535, 135));
    picSlide[i]->knob()->setGeometry(twips(0, 0, 255, 135));
    lblSlide[i] = label(picPanel, QStringLiteral("0"), twips(3360, top, 375, 255), Qt::AlignRight);
    lblPer[i] = label(picPanel, QStringLiteral("%"), twips(3720, top, 135, 255));
  }

  // Progress panel.
  Picture4 = new QWidget(client);
  Picture4->setGeometry(twips(4200, 2520, 3975, 975));
  static const char* const kBars[3] = {"Total", "Folder", "File"};
  static const int kBarLabelWidth[3] = {375, 495, 375};
  for (int i = 0; i < 3; ++i) {
    const int top = 120 + 240 * i;
    lblBar[i] = label(Picture4, QString::fromLatin1(kBars[i]), twips(240, top, kBarLabelWidth[i], 255), Qt::AlignHCenter);
    picBar[i] = new ProgressBar(Picture4);
    picBar[i]->setGeometry(twips(840, top, 2535, 135));
    lblSlide[i + 3] = label(Picture4, QStringLiteral("0"), twips(3360, top, 375, 255), Qt::AlignRight);
    lblPer[i + 3] = label(Picture4, QStringLiteral("%"), twips(3720, top, 135, 255));
  }
  // A run moves the bars, labels and lists at every step; the window paints
  // them at the screen's rate.
  m_framePacer = new FramePacer(this, [this] { return m_engine.running(); });

  // A fixed window: no resizing, no maximise button.
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setWindowIcon(m_options.icon);
}

void frmmain::buildMenus() {
  QMenuBar* bar = menuBar();
  mnuFolder = bar->addMenu(QStringLiteral("&Folder"));
  mnuAdd = mnuFolder->addAction(QStringLiteral("&Create Thumbnails"));
  mnuRemove = mnuFolder->addAction(QStringLiteral("&Remove Thumbnails"));
  mnuScan = mnuFolder->addAction(QStringLiteral("&Scan Report"));
  mnuFolder->addSeparator();
  mnuPreview = mnuFolder->addAction(QStringLiteral("&Preview HTML"));
  mnuPreview->setCheckable(true);
  mnuExit = mnuFolder->addAction(QStringLiteral("&Exit"));

  mnuType = bar->addMenu(QStringLiteral("&Type"));
  mnuImage = mnuType->addMenu(QStringLiteral("&Select Image"));
  mnuIJPG = mnuImage->addAction(QStringLiteral("&JPG"));
  mnuIGIF = mnuImage->addAction(QStringLiteral("&GIF"));
  mnuThumbnail = mnuType->addMenu(QStringLiteral("&Thumbnail Output"));
  mnuTJPG = mnuThumbnail->addAction(QStringLiteral("&JPG"));
  mnuTGIF = mnuThumbnail->addAction(QStringLiteral("&GIF"));
  for (QAction* a : {mnuIJPG, mnuIGIF, mnuTJPG, mnuTGIF}) a->setCheckable(true);
  mnuIJPG->setChecked(true);
  mnuTJPG->setChecked(true);

  mnuHelp = bar->addMenu(QStringLiteral("&Help"));
  mnuContents = mnuHelp->addAction(QStringLiteral("&Contents"));
  mnuHelp->addSeparator();
  mnuAbout = mnuHelp->addAction(QStringLiteral("&About..."));

  // The client area keeps its size below the menu bar.
  adjustSize();
  setFixedSize(sizeHint());
}

void frmmain::connectHandlers() {
  connect(cmdAdd, &QPushButton::clicked, this, &frmmain::cmdAdd_Click);
  connect(cmdRemove, &QPushButton::clicked, this, &frmmain::cmdRemove_Click);
  connect(cmdScan, &QPushButton::clicked, this, &frmmain::cmdScan_Click);
  connect(cmdCancel, &QPushButton::clicked, this, &frmmain::cmdCancel_Click);
  connect(mnuAdd, &QAction::triggered, this, &frmmain::mnuAdd_Click);
  connect(mnuRemove, &QAction::triggered, this, &frmmain::mnuRemove_Click);
  connect(mnuScan, &QAction::triggered, this, &frmmain::mnuScan_Click);
  connect(mnuExit, &QAction::triggered, this, &frmmain::mnuExit_Click);
  connect(mnuContents, &QAction::triggered, this, &frmmain::mnuContents_Click);
  connect(mnuAbout, &QAction::triggered, this, &frmmain::mnuAbout_Click);
  connect(mnuIJPG, &QAction::triggered, this, &frmmain::mnuIJPG_Click);
  connect(mnuIGIF, &QAction::triggered, this, &frmmain::mnuIGIF_Click);
  connect(mnuTJPG, &QAction::triggered, this, &frmmain::mnuTJPG_Click);
  connect(mnuTGIF, &QAction::triggered, this, &frmmain::mnuTGIF_Click);
  // The preview check box and menu item are one setting.
  connect(mnuPreview, &QAction::triggered, this, [this](bool on) { setPreview(on); });
  connect(chkPreview, &QCheckBox::toggled, this, [this](bool on) { setPreview(on); });

  connect(cmbFrom, &QComboBox::currentIndexChanged, this, [this] { cmbFrom_Click(); });
  connect(cmbTo, &QComboBox::currentIndexChanged, this, [this] { cmbTo_Click(); });
  connect(Drive1, &QComboBox::activated, this, [this] { Drive1_Change(); });
  // Volumes come and go while the program runs: the list is read again each
  // time the user goes to choose from it.
  connect(static_cast<DriveList*>(Drive1), &DriveList::aboutToChoose, this, [this] { refreshDriveList(); });
  connect(Dir1, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
    const QByteArray path = item->data(kFolderPathRole).toByteArray();
    m_engine.setFolderPath(std::string(path.constData(), static_cast<std::size_t>(path.size())));
  });
  connect(txtPre, &QLineEdit::textChanged, this, [this] { txtPre_Change(); });
  for (int i = 0; i < 3; ++i) {
    SliderKnob* knob = picSlide[i]->knob();
    connect(knob, &SliderKnob::mouseDown, this,
            [this, i](int button, int shift, float x, float y) { picKnob_MouseDown(i, button, shift, x, y); });
    connect(knob, &SliderKnob::mouseMove, this,
            [this, i](int button, int shift, float x, float y) { picKnob_MouseMove(i, button, shift, x, y); });
  }
}

// ----- load and unload ------------------------------------------------------

void frmmain::Form_Load() {
  m_settingsPath = m_options.settingsPath;
  for (ProgressBar* bar : picBar) bar->setPercent(0);
  cmbBorder->addItem(QStringLiteral("0"));
  for (int n = 1; n <= 10; ++n) {
    cmbCol->addItem(QString::number(n));
    cmbBorder->addItem(QString::number(n));
  }
  cmbBorder->setCurrentIndex(1);
  cmbCol->setCurrentIndex(4);
  setWindowTitle(QStringLiteral("Pixelmote - ") + displayText(m_engine.Dir1().path()));
  cmbFrom->blockSignals(true);
  cmbTo->blockSignals(true);
  cmbFrom->addItems({QStringLiteral("JPG"), QStringLiteral("GIF")});
  cmbTo->addItems({QStringLiteral("JPG"), QStringLiteral("GIF")});
  cmbFrom->setCurrentIndex(-1);
  cmbTo->setCurrentIndex(-1);
  cmbFrom->blockSignals(false);
  cmbTo->blockSignals(false);
  cmbFrom->setCurrentIndex(0);
  cmbTo->setCurrentIndex(0);
  GetConfig();
  // Centred on the screen.
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - rect().center());
  }
}

void frmmain::Form_Unload() {
  WriteConfig();
  // The About window (or any other of this window's dialogs) goes too.
  for (QDialog* dialog : findChildren<QDialog*>(Qt::FindDirectChildrenOnly)) dialog->hide();
  QApplication::closeAllWindows();
  QApplication::quit();
}

void frmmain::closeEvent(QCloseEvent* event) {
  if (m_closing) {
    event->accept();
    return;
  }
  m_closing = true;
  if (m_engine.running()) {
    // The run ends at its next test point; no further events are handled,
    // so nothing else starts. The settings are saved now.
    hide();
    m_stopAsked = true;
  }
  Form_Unload();
  event->accept();
}

void frmmain::mnuExit_Click() { close(); }

void frmmain::mnuContents_Click() { m_options.showMessage(QStringLiteral("Visit the website (see the 'About' box).")); }

void frmmain::mnuAbout_Click() {
  if (m_options.showAbout) m_options.showAbout(this);
}

// ----- commands -------------------------------------------------------------

batch::BatchSettings frmmain::runSettings() const {
  batch::BatchSettings s;
  s.sFolder = m_engine.Dir1().path();
  s.sImageExt = util::asciiLower(cmbFrom->currentText().toStdString());
  s.sThumbExt = util::asciiLower(cmbTo->currentText().toStdString());
  s.sPrefix = pathBytes(txtPre->text());
  s.iColumns = cmbCol->currentText().toInt();
  s.iBorder = cmbBorder->currentIndex();
  s.iSize = lblSlide[0]->text().toInt();
  s.iQuality = lblSlide[1]->text().toInt();
  s.iSmooth = lblSlide[2]->text().toInt();
  return s;
}

void frmmain::runCommand(batch::Operation operation) {
  const batch::CommandResult result = m_engine.runCommand(operation, runSettings(), batch::RunOptions{m_jobs, false});
  if (result == batch::CommandResult::Ignored) return;  // a second command during a run
  refreshFolderList();
  if (m_closing) return;
  if (result == batch::CommandResult::Ran && operation == batch::Operation::Create && m_preview) {
    const std::string page = util::joinPath(m_engine.Dir1().path(), batch::page::kPageName);
    m_options.openUrl(QUrl::fromLocalFile(displayText(page)));
  }
}

void frmmain::cmdAdd_Click() { runCommand(batch::Operation::Create); }

void frmmain::cmdRemove_Click() { runCommand(batch::Operation::Remove); }
void frmmain::cmdScan_Click() { runCommand(batch::Operation::Report); }
void frmmain::cmdCancel_Click() {
  if (m_engine.running()) m_stopAsked = true;
}

void frmmain::setPreview(bool on) {
  m_preview = on;
  if (mnuPreview->isChecked() != on) mnuPreview->setChecked(on);
  if (chkPreview->isChecked() != on) chkPreview->setChecked(on);
}

// ----- the engine's frontend --------------------------------------------------

bool frmmain::processEvents() {
  if (m_closing) return std::exchange(m_stopAsked, false);  // closing: nothing more is handled
  // A run moves the folder list from folder to folder; the list is shown
  // again once a frame, like the bars, and follows the engine's folder list
  // exactly once the run is over.
  if (m_folderListDirty && (!m_engine.running() || m_framePacer->frameDue())) refreshFolderList();
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  return std::exchange(m_stopAsked, false);
}

void frmmain::setBar(int index, double percent, const std::string& label) {
  if (index < 0 || index > 2) return;
  picBar[index]->setPercent(percent);
  lblSlide[index + 3]->setText(QString::fromStdString(label));
}

void frmmain::setTitle(const std::string& title) { setWindowTitle(displayText(title)); }

void frmmain::clearStatus() { lstStatus->clear(); }

// Selects the new line, which brings it into view.
void frmmain::appendStatus(const std::string& line) { lstStatus->appendLine(displayText(line)); }

void frmmain::showMessage(const std::string& text) { m_options.showMessage(displayText(text)); }

void frmmain::setControlsEnabled(bool enabled) {
  Dir1->setEnabled(enabled);
  picPanel->setEnabled(enabled);
  Drive1->setEnabled(enabled);
  // The Type menu mirrors the panel: a type change during a run would change
  // the file list the run is reading.
  mnuType->setEnabled(enabled);
}

void frmmain::folderChanged(const std::string&) {
  m_folderListDirty = true;
  if (!m_engine.running()) refreshFolderList();
}

// ----- folder, drive and type lists ---------------------------------------------

void frmmain::refreshFolderList() {
  m_folderListDirty = false;
  const std::string path = m_engine.Dir1().path();
  Dir1->clear();
  const QIcon open = folderIcon(true);
  const QIcon closed = folderIcon(false);
  const auto addEntry = [this](const QIcon& icon, const std::string& folder, const std::string& name, int depth) {
    auto* item = new QListWidgetItem(icon, displayText(name), Dir1);
    item->setData(kFolderPathRole, QByteArray(folder.data(), static_cast<qsizetype>(folder.size())));
    item->setData(kFolderDepthRole, depth);
    return item;
  };
  // The ancestors from the root down, the current folder last among them.
  std::vector<std::string> chain{"/"};
  for (std::size_t at = path.find('/', 1); ; at = path.find('/', at + 1)) {
    const std::string part = path.substr(0, at);
    if (part.size() > 1) chain.push_back(part);
    if (at == std::string::npos) break;
  }
  int depth = 0;
  QListWidgetItem* current = nullptr;
  for (const std::string& folder : chain) {
    current = addEntry(open, folder, folder == "/" ? "/" : util::FileNamePart(folder), depth++);
  }
  const std::size_t count = m_engine.Dir1().listCount();
  for (std::size_t j = 0; j < count; ++j) {
    const std::string sub = m_engine.Dir1().list(j);
    addEntry(closed, sub, util::FileNamePart(sub), depth);
  }
  if (current != nullptr) Dir1->setCurrentItem(current);
  selectDriveOf(path);
}

void frmmain::refreshDriveList() {
  std::vector<std::string> volumes = m_options.volumes();
  // Unchanged, the list keeps the entry the user may be moving from.
  if (volumes == m_volumes && Drive1->count() == static_cast<int>(volumes.size())) return;
  m_volumes = std::move(volumes);
  Drive1->clear();
  for (const std::string& volume : m_volumes) {
    Drive1->addItem(displayText(volume), QByteArray(volume.data(), static_cast<qsizetype>(volume.size())));
  }
  selectDriveOf(m_engine.Dir1().path());
}

void frmmain::selectDriveOf(const std::string& path) {
  // The volume whose mount point is the longest leading part of the path.
  int best = -1;
  std::size_t bestLength = 0;
  for (int i = 0; i < static_cast<int>(m_volumes.size()); ++i) {
    const std::string& v = m_volumes[static_cast<std::size_t>(i)];
    const bool inside = path == v || v == "/" || (path.compare(0, v.size(), v) == 0 && path.size() > v.size() && path[v.size()] == '/');
    if (inside && v.size() >= bestLength) {
      best = i;
      bestLength = v.size();
    }
  }
  if (best >= 0 && Drive1->currentIndex() != best) Drive1->setCurrentIndex(best);
}

void frmmain::Drive1_Change() {
  const QByteArray chosen = Drive1->currentData().toByteArray();
  const std::string mount(chosen.constData(), static_cast<std::size_t>(chosen.size()));
  if (!folderReadable(mount)) {
    m_options.showMessage(QStringLiteral("Cannot read the volume ") + displayText(mount));
    selectDriveOf(m_engine.Dir1().path());
    return;
  }
  m_engine.setFolderPath(mount);
}

void frmmain::Dir1_Change() { refreshFolderList(); }

void frmmain::cmbFrom_Click() {
  const QString text = cmbFrom->currentText();
  m_engine.setSourceType(text.toStdString());
  appendStatus("Found " + std::to_string(m_engine.File1().listCount()) + " " + text.toStdString() + " images in " +
               m_engine.Dir1().path());
  const bool jpg = cmbFrom->currentIndex() == 0;
  mnuIJPG->setChecked(jpg);
  mnuIGIF->setChecked(!jpg);
}

void frmmain::cmbTo_Click() {
  m_engine.thumbTypeChanged(cmbTo->currentText().toStdString());
  const bool jpg = cmbTo->currentIndex() == 0;
  mnuTJPG->setChecked(jpg);
  mnuTGIF->setChecked(!jpg);
}

void frmmain::mnuIJPG_Click() {
  cmbFrom->setCurrentIndex(0);
  mnuIJPG->setChecked(true);
  mnuIGIF->setChecked(false);
}

void frmmain::mnuIGIF_Click() {
  cmbFrom->setCurrentIndex(1);
  mnuIGIF->setChecked(true);
  mnuIJPG->setChecked(false);
}

void frmmain::mnuTJPG_Click() {
  cmbTo->setCurrentIndex(0);
  mnuTJPG->setChecked(true);
  mnuTGIF->setChecked(false);
}

void frmmain::mnuTGIF_Click() {
  cmbTo->setCurrentIndex(1);
  mnuTGIF->setChecked(true);
  mnuTJPG->setChecked(false);
}

// ----- the prefix rule ----------------------------------------------------------

namespace {

// The prefix rule: one the engine takes, and for which the probe file can be
// made beside the program.
bool prefixPasses(const std::string& probeFolder, const std::string& prefix) {
  return batch::prefixUsable(prefix) && util::prefixProbePasses(probeFolder, prefix);
}

}  // namespace

bool frmmain::ChkPre() { return prefixPasses(m_options.probeFolder, pathBytes(txtPre->text())); }

void frmmain::txtPre_Change() {
  // The shortened text is worked out first and set once: shortening one
  // character per nested change would nest once per character (a long
  // pasted text overflowed the stack) and lay the box out each time.
  if (m_inPrefixRule) return;
  QString text = txtPre->text();
  // Every leading part that still holds a "/" fails, so the search can
  // start just before the first one.
  if (const qsizetype slash = text.indexOf(QLatin1Char('/')); slash >= 0) text.truncate(slash);
  while (!text.isEmpty() && !prefixPasses(m_options.probeFolder, pathBytes(text))) {
    // The last character goes, never half of a surrogate pair.
    const qsizetype n = text.size();
    text.chop(n >= 2 && text[n - 1].isLowSurrogate() && text[n - 2].isHighSurrogate() ? 2 : 1);
  }
  if (text != txtPre->text()) {
    m_inPrefixRule = true;
    txtPre->setText(text);
    m_inPrefixRule = false;
  }
  // Even the empty prefix may fail (a folder that cannot be written): the
  // box then keeps the empty text.
}

void frmmain::setPrefixText(const QString& text) {
  if (txtPre->text() == text) {
    txtPre_Change();  // the rule still applies to a text set again
  } else {
    txtPre->setText(text);
  }
}

// ----- sliders --------------------------------------------------------------------

float frmmain::knobOffset(int index) const { return picSlide[index]->knob()->offset(); }

void frmmain::picKnob_MouseDown(int, int Button, int, float X, float) {
  if (Button == 1) m_knobGrabX = X;
}

void frmmain::picKnob_MouseMove(int Index, int Button, int, float X, float) {
  if (Button == 1) SetKnob(Index, X);
}

void frmmain::SetKnob(int Index, float X) {
  SliderKnob* knob = picSlide[Index]->knob();
  float offset = knob->offset() + X - m_knobGrabX;
  if (offset < 0) offset = 0;
  const float rangeEnd = static_cast<float>(picSlide[Index]->width() - knob->width());
  if (offset > rangeEnd) offset = rangeEnd;
  knob->setOffset(offset);
  lblSlide[Index]->setText(QString::number(knobValue(offset)));
}

// ----- settings file ----------------------------------------------------------------

void frmmain::GetConfig() {
  bool loaded = false;
  SettingsDocument doc = loadSettings(m_settingsPath, &loaded);
  // Until the user has a settings file of their own, the start values
  // installed for all users are read as if they were the user's.
  struct stat st {};
  if (!loaded && !m_options.startSettingsPath.empty() && ::lstat(m_settingsPath.c_str(), &st) != 0 && errno == ENOENT)
    doc = loadSettings(m_options.startSettingsPath);
  const auto read = [&](const char* section, const char* key) {
    return displayText(doc.value(section, key).value_or(std::string()));
  };
  const std::string path = doc.value("Folder", "Path").value_or(std::string());
  if (isFolder(path)) m_engine.setFolderPath(path);

  const auto select = [&](QComboBox* list, const QString& text, Qt::MatchFlags how) {
    const int at = text.isEmpty() ? -1 : list->findText(text, how);
    if (at >= 0) list->setCurrentIndex(at);
  };
  select(cmbFrom, read("Image", "Type"), Qt::MatchFixedString);
  select(cmbTo, read("Image", "Thumb"), Qt::MatchFixedString);
  select(cmbCol, read("Image", "Column"), Qt::MatchExactly);
  select(cmbBorder, read("Image", "Border"), Qt::MatchExactly);
  setPrefixText(read("Image", "Prefix"));

  const char point = localeDecimalPoint();
  static const char* const kKnobKeys[3] = {"Size", "Quality", "Smooth"};
  for (int i = 0; i < 3; ++i) {
    const std::string text = doc.value("Image", kKnobKeys[i]).value_or(std::string());
    if (const auto offset = parseKnobOffset(text, point)) picSlide[i]->knob()->setOffset(*offset);
  }
  for (int i = 0; i < 3; ++i) {
    const float saved = m_knobGrabX;
    m_knobGrabX = 0;
    SetKnob(i, 0);  // clamps onto the track and refreshes the value label
    m_knobGrabX = saved;
  }
  refreshFolderList();
}

void frmmain::WriteConfig() {
  SettingsDocument doc = loadSettings(m_settingsPath);
  const char point = localeDecimalPoint();
  // During a run the folder list is on the folder being processed; the
  // folder the user chose is the run's start folder.
  const bool running = m_engine.running() && !m_engine.state().sStartFolder.empty();
  doc.set("Folder", "Path", running ? m_engine.state().sStartFolder : m_engine.Dir1().path());
  doc.set("Image", "Type", cmbFrom->currentText().toStdString());
  doc.set("Image", "Thumb", cmbTo->currentText().toStdString());
  doc.set("Image", "Column", cmbCol->currentText().toStdString());
  doc.set("Image", "Border", cmbBorder->currentText().toStdString());
  doc.set("Image", "Prefix", pathBytes(txtPre->text()));
  doc.set("Image", "Size", formatKnobOffset(knobOffset(0), point));
  doc.set("Image", "Quality", formatKnobOffset(knobOffset(1), point));
  doc.set("Image", "Smooth", formatKnobOffset(knobOffset(2), point));
  saveSettings(m_settingsPath, doc);  // a failed save leaves the old file; nothing is reported
}

}  // namespace pixelmote::ui
