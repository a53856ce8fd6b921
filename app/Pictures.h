#pragma once

#include <QImage>

// The window's two pictures, drawn at start-up so the program ships no image
// files of its own.
namespace Pictures {

// 32 by 32, 16 colours: a white outline on black with four bands of green
// dashes in its upper half, like lines of text on a screen. Window and tray
// icon alike.
QImage Icon();

// 361 by 241: concentric bright-green rings on black, centred left of the
// middle, lit by a white glow from the upper-right corner.
QImage Background();

}  // namespace Pictures
