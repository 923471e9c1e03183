#pragma once
// The control's pictures, drawn at run time so that they are sharp at any size:
// the two lamps of Image1 (red: not connected, green: connected) and the symbols
// of the picture buttons.

#include <QColor>
#include <QPixmap>
#include <QSize>
#include <string>

namespace brivel::qt {

enum class Symbol {
  None,
  JogDown,    // held: the grating turns towards shorter wavelengths
  JogUp,      // held: towards longer wavelengths
  StepDown,   // one increment down
  StepUp,     // one increment up
  Run,        // go to the target
  Refresh,    // read the instrument data again
  Confirm,    // write the settings
};

// The lamp picture `index` (1 red, 2 green; any other index gives the red one) as a
// square of `side` device-independent pixels for a screen of `device_pixel_ratio`.
QPixmap lamp_picture(int index, int side, qreal device_pixel_ratio = 1.0);

// The symbol of a picture button, `size` device-independent pixels, drawn in `ink`.
QPixmap symbol_picture(Symbol symbol, QSize size, const QColor& ink,
                       qreal device_pixel_ratio = 1.0);

// The symbol a named picture button carries (None for names it does not know).
Symbol symbol_for(const std::string& control_name);

}  // namespace brivel::qt
