#ifndef LUMORET_UI_APP_ICON_H
#define LUMORET_UI_APP_ICON_H

#include <wx/bitmap.h>
#include <wx/icon.h>

// Lumoret's 48x48 icon, built into the binary from res/lumoret.png.
wxBitmap AppIconBitmap();
wxIcon AppIcon();

#endif  // LUMORET_UI_APP_ICON_H
