#pragma once

class QWidget;

namespace WinDrag {

// Lets the user move `window` with the mouse button that is being held down:
// a top-level window across the screen, a child control inside its parent.
// Returns when the button has been released, or, where the window manager
// moves top-level windows itself, once the move has been handed to it.
// Returns at once when no mouse button is down, when a move is already
// running, or for a null window.
// A child control stays inside its parent's client area.
void DragWindow(QWidget* window);

// True when the last move was given up with Escape (the control went back to
// where it was), so its press is no click either.
bool LastMoveCancelled();

}  // namespace WinDrag
