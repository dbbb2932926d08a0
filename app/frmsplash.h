// The About window: program name, version, tagline and a clickable home-page address.
#pragma once

#include <QDialog>
#include <QUrl>
#include <array>
#include <functional>

class QFrame;
class QLabel;
class QPushButton;
class QTimer;

namespace pixelmote::app {

// The program's home page, opened from the About window.
inline constexpr char kHomePageUrl[] = "https://pixelmote.org/";

// Opens an address in the desktop's web browser without waiting for it;
// the result tells whether the desktop accepted the request.
using UrlOpener = std::function<bool(const QUrl&)>;

// A small fixed-size window (337 x 231 client pixels) that stays alive
// between showings: "OK" only hides it. It keeps its own colours, dark text
// on light grey, whatever the desktop's palette. Mouse buttons in the handlers are
// coded 1 left, 2 right, 4 middle; shift keys 1 shift, 2 control, 4 alt.
class frmSplash : public QDialog {
  Q_OBJECT
 public:
  // `openUrl` opens the home page; an empty function means the desktop's
  // default browser (QDesktopServices::openUrl).
  explicit frmSplash(UrlOpener openUrl = {}, QWidget* parent = nullptr);
  ~frmSplash() override;

  // ----- handlers -----
  // Index 2 ("OK") hides the window, which ends a modal showing.
  void cmdSplash_Click(int Index);
  // Left button: the pressed look (underline off).
  void lblURL_MouseDown(int Button, int Shift, float X, float Y);
  // Left button: underline back on, then the home page is opened; the
  // opener's result is not looked at.
  void lblURL_MouseUp(int Button, int Shift, float X, float Y);
  // Hides the window (the event of Timer1, which nothing starts).
  void Timer1_Timer();

  // The controls, by their names. cmdSplash is an array of which only
  // index 2 exists.
  QFrame* Frame1 = nullptr;
  QLabel* Picture1 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label1 = nullptr;
  QFrame* Line1 = nullptr;
  QFrame* Line2 = nullptr;
  QLabel* lblURL = nullptr;
  std::array<QPushButton*, 3> cmdSplash{};
  QTimer* Timer1 = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void buildWindow();
  void setUrlUnderline(bool on);

  UrlOpener m_openUrl;
};

}  // namespace pixelmote::app
