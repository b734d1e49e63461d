#pragma once

#include <QRect>
#include <QString>

class QObject;
class QWidget;
class TIniFile;

// Window placement and control states in Config.ini, in the section named by
// the window's class ("TfrmMain"). "Left" and "Top" are the position of the
// window's frame; "Width" and "Height" are the size inside the frame, because a
// Linux window manager adds its frame only after the program has set the size
// (stored outer sizes would grow the window by its frame at every start).

// The screen rectangles placement works with.
struct TScreenGeometry {
    QRect PrimaryScreen;   // the primary screen, task bars included
    QRect PrimaryWorkArea; // the primary screen less task bars and panels
    QRect VirtualScreen;   // the bounding rectangle of all screens
};
TScreenGeometry CurrentScreenGeometry();

// Restores the window's control states, then its position (and size, unless
// the window has a fixed size), then its maximized state. A stored rectangle
// that shows less than 50 x 50 pixels on the screens is recentred on the work
// area; without a stored position the window is centred on the primary screen.
void LoadPlacement(QWidget* window);
void LoadPlacement(QWidget* window, const TScreenGeometry& screens);

// Stores the same items. A failed write is shown in an error box and ends the
// save; what was written before stays.
void SavePlacement(QWidget* window);

// Gives the window the outer size width x height (frame included where the
// frame is known), centred on the work area.
void CenterOnWorkArea(QWidget* window, int width, int height);
void CenterOnWorkArea(QWidget* window, int width, int height, const TScreenGeometry& screens);

// One control's state under its object name: the index of a combo box, the text
// of a line edit (never written in password mode) or labeled edit, the position
// of a scroll bar (whose valueChanged is then emitted), the checked state of a
// tool button. Other kinds are skipped. A missing key leaves the control as it is.
void LoadComponentState(const TIniFile& store, const QString& section, QObject* component);
void SaveComponentState(const TIniFile& store, const QString& section, QObject* component);
