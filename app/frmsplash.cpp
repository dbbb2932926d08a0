#include "app/frmsplash.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QTimer>
#include <utility>

#include "app/module1.h"

namespace pixelmote::app {

namespace {

// Window geometry in pixels.
constexpr int kClientWidth = 337;
constexpr int kClientHeight = 231;
constexpr QRect kFrameRect(8, 0, 321, 225);

// Everything else sits in Frame1 as one centred column.
constexpr int kIconTop = 20;
constexpr QRect kTitleRect(16, 58, 289, 24);
constexpr QRect kTaglineRect(16, 82, 289, 14);
constexpr QRect kLine1Rect(40, 106, 241, 1);
constexpr int kUrlTop = 118;
constexpr int kUrlHeight = 18;
constexpr QRect kLine2Rect(40, 148, 241, 1);
constexpr QRect kOkRect(123, 172, 75, 27);

constexpr int kOkIndex = 2;
constexpr int kLeftButton = 1;

int buttonCodeOf(Qt::MouseButton button) {
  switch (button) {
    case Qt::LeftButton: return 1;
    case Qt::RightButton: return 2;
    case Qt::MiddleButton: return 4;
    default: return 0;
  }
}

int shiftCodeOf(Qt::KeyboardModifiers modifiers) {
  int code = 0;
  if (modifiers & Qt::ShiftModifier) code |= 1;
  if (modifiers & Qt::ControlModifier) code |= 2;
  if (modifiers & Qt::AltModifier) code |= 4;
  return code;
}

QFont arial(double points, bool bold, bool italic, bool underline) {
  QFont font(QStringLiteral("Arial"));
  font.setStyleHint(QFont::SansSerif);  // a metric match or the default sans where Arial is absent
  font.setPointSizeF(points);
  font.setBold(bold);
  font.setItalic(italic);
  font.setUnderline(underline);
  return font;
}

// The window's own colours, whatever the desktop's palette (dark themes
// included): dark text and grey controls on the grey background, every role
// set so that nothing of the desktop's palette shows through. Text colours
// keep at least 4.5:1 against the grey.
QPalette aboutPalette() {
  const QColor grey(192, 192, 192);
  QPalette palette;
  const std::pair<QPalette::ColorRole, QColor> roles[] = {
      {QPalette::Window, grey},
      {QPalette::WindowText, Qt::black},
      {QPalette::Button, grey},
      {QPalette::ButtonText, Qt::black},
      {QPalette::Light, Qt::white},
      {QPalette::Midlight, QColor(223, 223, 223)},
      {QPalette::Mid, QColor(160, 160, 160)},
      {QPalette::Dark, QColor(128, 128, 128)},
      {QPalette::Shadow, Qt::black},
      {QPalette::Base, Qt::white},
      {QPalette::AlternateBase, QColor(224, 224, 224)},
      {QPalette::Text, Qt::black},
      {QPalette::BrightText, Qt::white},
      {QPalette::Highlight, QColor(0, 0, 128)},
      {QPalette::HighlightedText, Qt::white},
      {QPalette::Link, QColor(0, 0, 255)},
      {QPalette::LinkVisited, QColor(128, 0, 128)},
      {QPalette::ToolTipBase, QColor(255, 255, 225)},
      {QPalette::ToolTipText, Qt::black},
      {QPalette::PlaceholderText, QColor(96, 96, 96)},
  };
  for (const auto& [role, colour] : roles) palette.setColor(role, colour);
  for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
    palette.setColor(QPalette::Disabled, role, QColor(96, 96, 96));
  }
  return palette;
}

void setTextColour(QWidget* widget, const QColor& colour) {
  QPalette palette = widget->palette();
  palette.setColor(QPalette::WindowText, colour);
  widget->setPalette(palette);
}

QFrame* separatorLine(QWidget* parent, const QString& name, const QRect& where) {
  auto* line = new QFrame(parent);
  line->setObjectName(name);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Plain);
  line->setLineWidth(1);
  setTextColour(line, QColor(224, 224, 224));  // a plain line is drawn in the text colour
  line->setGeometry(where);
  return line;
}

}  // namespace

frmSplash::frmSplash(UrlOpener openUrl, QWidget* parent)
    : QDialog(parent),
      m_openUrl(openUrl ? std::move(openUrl)
                        : UrlOpener([](const QUrl& url) { return QDesktopServices::openUrl(url); })) {
  buildWindow();
}

frmSplash::~frmSplash() = default;

void frmSplash::buildWindow() {
  setObjectName(QStringLiteral("frmSplash"));
  setWindowTitle(QStringLiteral("About Pixelmote"));
  setWindowIcon(programIcon());
  setFixedSize(kClientWidth, kClientHeight);

  setPalette(aboutPalette());
  setAutoFillBackground(true);

  Frame1 = new QFrame(this);
  Frame1->setObjectName(QStringLiteral("Frame1"));
  Frame1->setFrameShape(QFrame::Box);
  Frame1->setFrameShadow(QFrame::Sunken);
  Frame1->setGeometry(kFrameRect);
  const int innerWidth = kFrameRect.width();

  Picture1 = new QLabel(Frame1);
  Picture1->setObjectName(QStringLiteral("Picture1"));
  Picture1->setGeometry((innerWidth - 32) / 2, kIconTop, 32, 32);
  Picture1->setPixmap(programIcon().pixmap(QSize(32, 32), devicePixelRatioF()));

  Label5 = new QLabel(QStringLiteral("Folders of pictures, turned into web pages"), Frame1);
  Label5->setObjectName(QStringLiteral("Label5"));
  Label5->setFont(arial(6.75, false, true, false));
  setTextColour(Label5, QColor(64, 64, 64));
  Label5->setAlignment(Qt::AlignCenter);
  Label5->setGeometry(kTaglineRect);

  Label1 = new QLabel(QStringLiteral("Pixelmote " PIXELMOTE_VERSION), Frame1);
  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->setFont(arial(12, true, false, false));
  Label1->setAlignment(Qt::AlignCenter);
  Label1->setGeometry(kTitleRect);

  Line1 = separatorLine(Frame1, QStringLiteral("Line1"), kLine1Rect);
  Line2 = separatorLine(Frame1, QStringLiteral("Line2"), kLine2Rect);

  // The address label is only as wide as its text, so that clicks beside
  // it do not count.
  lblURL = new QLabel(QString::fromLatin1(kHomePageUrl), Frame1);
  lblURL->setObjectName(QStringLiteral("lblURL"));
  lblURL->setFont(arial(8.25, false, false, true));
  setTextColour(lblURL, QColor(0, 0, 255));
  lblURL->setAlignment(Qt::AlignCenter);
  lblURL->setCursor(Qt::PointingHandCursor);
  const int urlWidth = QFontMetrics(lblURL->font()).horizontalAdvance(lblURL->text()) + 4;
  lblURL->setGeometry((innerWidth - urlWidth) / 2, kUrlTop, urlWidth, kUrlHeight);
  lblURL->installEventFilter(this);

  auto* ok = new QPushButton(QStringLiteral("OK"), Frame1);
  ok->setObjectName(QStringLiteral("cmdSplash_2"));
  ok->setGeometry(kOkRect);
  ok->setDefault(true);
  cmdSplash[kOkIndex] = ok;
  connect(ok, &QPushButton::clicked, this, [this] { cmdSplash_Click(kOkIndex); });

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, &frmSplash::Timer1_Timer);
}

void frmSplash::cmdSplash_Click(int Index) {
  if (Index == kOkIndex) hide();
}

void frmSplash::lblURL_MouseDown(int Button, [[maybe_unused]] int Shift, [[maybe_unused]] float X,
                                 [[maybe_unused]] float Y) {
  if (Button == kLeftButton) setUrlUnderline(false);
}

void frmSplash::lblURL_MouseUp(int Button, [[maybe_unused]] int Shift, [[maybe_unused]] float X,
                               [[maybe_unused]] float Y) {
  if (Button != kLeftButton) return;
  setUrlUnderline(true);
  m_openUrl(QUrl(QString::fromLatin1(kHomePageUrl)));
}

void frmSplash::Timer1_Timer() { hide(); }

void frmSplash::setUrlUnderline(bool on) {
  QFont font = lblURL->font();
  font.setUnderline(on);
  lblURL->setFont(font);
}

bool frmSplash::eventFilter(QObject* watched, QEvent* event) {
  if (watched != lblURL) return QDialog::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick: {  // the second press of a double click is a press too
      auto* mouse = static_cast<QMouseEvent*>(event);
      const QPointF at = mouse->position();
      lblURL_MouseDown(buttonCodeOf(mouse->button()), shiftCodeOf(mouse->modifiers()),
                       static_cast<float>(at.x()), static_cast<float>(at.y()));
      return true;
    }
    case QEvent::MouseButtonRelease: {
      auto* mouse = static_cast<QMouseEvent*>(event);
      const QPointF at = mouse->position();
      lblURL_MouseUp(buttonCodeOf(mouse->button()), shiftCodeOf(mouse->modifiers()),
                     static_cast<float>(at.x()), static_cast<float>(at.y()));
      return true;
    }
    default:
      return QDialog::eventFilter(watched, event);
  }
}

void frmSplash::showEvent(QShowEvent* event) {
  // A press whose release never arrived (the window was hidden meanwhile)
  // must not leave the pressed look for the next showing.
  setUrlUnderline(true);
  QDialog::showEvent(event);
}

}  // namespace pixelmote::app
