// Start-up helpers: the program's icon, keeping a window on top, opening the About window.
#pragma once

#include <QIcon>

#include "ui/frmmain.h"

class QWidget;

namespace pixelmote::app {

class frmSplash;

// The program's icon: the picture-stack drawing of data/pixelmote.svg, from
// the compiled-in resources when Qt can render SVG here, otherwise drawn in
// code to the same design.
QIcon programIcon();

// Keeps `window` above all windows that are not themselves kept on top
// (bOnTop true) or gives that place up (false). The window is neither moved
// nor resized nor activated; a visible window stays visible (changing the
// hint re-creates the native window, so it is shown again). Nothing happens
// when the hint already has the wanted state or `window` is null.
void SetTopMost(QWidget* window, bool bOnTop);

// Opens the About window: on top, then modal until it is hidden again.
void showAbout(frmSplash& splash);

// Hands the main window what start-up owns: the program's icon, and Help >
// About showing one About window (made on first use as a child of the main
// window, kept between showings) that opens addresses with options.openUrl.
void addStartUpParts(ui::WindowOptions& options);

}  // namespace pixelmote::app
