// Desktop palettes for the window's tests, and a guard that gives the
// application its own palette back.
#pragma once

#include <QApplication>
#include <QColor>
#include <QPalette>
#include <QStyle>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace pixelmote::ui::testing {

// A palette with the same colours in every colour group.
inline QPalette flatPalette(std::initializer_list<std::pair<QPalette::ColorRole, QColor>> roles) {
  QPalette palette;
  for (const auto& [role, colour] : roles) palette.setColor(role, colour);
  return palette;
}

// A dark desktop theme: light text on charcoal.
inline QPalette darkPalette() {
  return flatPalette({{QPalette::Window, QColor(0x31, 0x36, 0x3b)},
                      {QPalette::WindowText, QColor(0xef, 0xf0, 0xf1)},
                      {QPalette::Base, QColor(0x23, 0x26, 0x29)},
                      {QPalette::AlternateBase, QColor(0x31, 0x36, 0x3b)},
                      {QPalette::Text, QColor(0xef, 0xf0, 0xf1)},
                      {QPalette::Button, QColor(0x31, 0x36, 0x3b)},
                      {QPalette::ButtonText, QColor(0xef, 0xf0, 0xf1)},
                      {QPalette::BrightText, QColor(0xff, 0xff, 0xff)},
                      {QPalette::Light, QColor(0x40, 0x46, 0x4c)},
                      {QPalette::Midlight, QColor(0x36, 0x3b, 0x40)},
                      {QPalette::Mid, QColor(0x25, 0x29, 0x2c)},
                      {QPalette::Dark, QColor(0x19, 0x1b, 0x1d)},
                      {QPalette::Shadow, QColor(0x12, 0x14, 0x15)},
                      {QPalette::Highlight, QColor(0x3d, 0xae, 0xe9)},
                      {QPalette::HighlightedText, QColor(0xef, 0xf0, 0xf1)},
                      {QPalette::Link, QColor(0x29, 0x80, 0xb9)},
                      {QPalette::ToolTipBase, QColor(0x31, 0x36, 0x3b)},
                      {QPalette::ToolTipText, QColor(0xef, 0xf0, 0xf1)},
                      {QPalette::PlaceholderText, QColor(0xa0, 0xa0, 0xa0)}});
}

// A high-contrast theme: white on black, yellow buttons' text.
inline QPalette blackPalette() {
  return flatPalette({{QPalette::Window, Qt::black},
                      {QPalette::WindowText, Qt::white},
                      {QPalette::Base, Qt::black},
                      {QPalette::Text, Qt::white},
                      {QPalette::Button, Qt::black},
                      {QPalette::ButtonText, Qt::yellow},
                      {QPalette::Light, QColor(0x60, 0x60, 0x60)},
                      {QPalette::Midlight, QColor(0x30, 0x30, 0x30)},
                      {QPalette::Mid, QColor(0x20, 0x20, 0x20)},
                      {QPalette::Dark, QColor(0x10, 0x10, 0x10)},
                      {QPalette::Shadow, Qt::black},
                      {QPalette::Highlight, Qt::cyan},
                      {QPalette::HighlightedText, Qt::black}});
}

// The names of the palettes a desktop may hand the program: its style's own
// light one, a dark theme, a black high-contrast theme. (Names, because
// test parameters are made before the application object exists.)
inline std::vector<std::string> desktopPaletteNames() { return {"light", "dark", "black"}; }

inline QPalette desktopPalette(const std::string& name) {
  if (name == "dark") return darkPalette();
  if (name == "black") return blackPalette();
  return QApplication::style()->standardPalette();
}

// Gives the application `palette` for the guard's lifetime.
class ApplicationPalette {
 public:
  explicit ApplicationPalette(const QPalette& palette) : m_saved(QApplication::palette()) {
    QApplication::setPalette(palette);
  }
  ~ApplicationPalette() { QApplication::setPalette(m_saved); }
  ApplicationPalette(const ApplicationPalette&) = delete;
  ApplicationPalette& operator=(const ApplicationPalette&) = delete;

 private:
  QPalette m_saved;
};

}  // namespace pixelmote::ui::testing
