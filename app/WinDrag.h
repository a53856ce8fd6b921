#pragma once

class QWidget;

namespace WinDrag {

// Lets the user move `window` with the mouse button that is being held down:
// a top-level window across the screen, a child control inside its parent.
// Returns when the button has been released, or, where the window manager
// moves top-level windows itself, once the move has been handed to it.
// Returns at once when no mouse button is down, when a move is already
// running, or for a null window.
void DragWindow(QWidget* window);

}  // namespace WinDrag
