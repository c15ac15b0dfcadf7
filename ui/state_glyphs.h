#ifndef LUMORET_UI_STATE_GLYPHS_H
#define LUMORET_UI_STATE_GLYPHS_H

#include <wx/bitmap.h>
#include <wx/colour.h>
#include <wx/icon.h>

#include "engine/host_state.h"

// How a state looks: its colour, and a glyph whose shape tells it without colour too
// (a filled circle up, a triangle lossy, a cross down, a question mark unresolved, a
// hollow circle waiting).

// The glyph's colour, on a light or a dark background alike.
wxColour StateColour(HostState state);
// A row's background for a state that needs the eye (down, lossy), under black text so
// that it reads in a dark theme too; wxNullColour for the others, which keep the list's.
wxColour RowBackground(HostState state);
// The state's glyph, size pixels square, on a transparent background.
wxBitmap StateGlyph(HostState state, int size);
// The program's icon with the state's glyph on a white disc in its lower right corner.
wxIcon BadgedAppIcon(HostState state);

#endif  // LUMORET_UI_STATE_GLYPHS_H
