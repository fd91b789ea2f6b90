#pragma once
// The stand-in's main window: what the running checks look for, a top-level window titled as
// the game's, showing what the game does. qttitlewindow.cpp shows a widget (X11, offscreen);
// win32titlewindow.cpp makes a plain Win32 window, as the games do (a Qt window started from
// this program waits forever under Wine).

#include <QString>

#include <memory>

namespace arbelon {

class StandinGame;

class TitleWindow {
public:
    virtual ~TitleWindow() = default;
};

// Whether the window needs a QApplication; a QCoreApplication does otherwise.
bool titleWindowNeedsGuiApplication();
std::unique_ptr<TitleWindow> showTitleWindow(const QString &title, StandinGame &game);

} // namespace arbelon
