#pragma once
// What every window of the program gets when it is shown, from one place:
// a size that shows its content, a place on the screen, and one full paint
// once the display really shows it. A window manager moves, sizes and
// exposes a new window again after taking it over; on a bare X server (a
// kiosk PC, a VNC session) nobody does, so a window must be right from its
// first frame, and whatever it painted before the server showed it is lost.
class QApplication;
class QSize;
class QWidget;

// Installs the care for every window the application shows from now on.
void CareForWindows(QApplication& app);

// The size a window needs to show its content: its own size grown to its
// size hint, within its maximum size and the screen's free area.
QSize SizeShowingContent(const QWidget& window);
