#include "ui/state_glyphs.h"

#include <wx/brush.h>
#include <wx/font.h>
#include <wx/graphics.h>
#include <wx/image.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "ui/app_icon.h"

namespace {

// The badge's diameter, as a share of the icon's size: read at 16 pixels in a tray.
constexpr double kBadgeShare = 0.6;

// Draws state's glyph in the square of side size at (x, y).
void DrawGlyph(wxGraphicsContext& gc, HostState state, double x, double y, double size) {
  const wxColour colour = StateColour(state);
  const double line = std::max(1.5, size / 8);
  const double inset = line;  // keeps the strokes inside the square
  gc.SetPen(gc.CreatePen(wxGraphicsPenInfo(colour.ChangeLightness(60)).Width(line / 2)));
  gc.SetBrush(wxBrush(colour));
  switch (state) {
    case HostState::kUp:
      gc.DrawEllipse(x + inset, y + inset, size - 2 * inset, size - 2 * inset);
      break;
    case HostState::kLossy: {
      wxGraphicsPath triangle = gc.CreatePath();
      triangle.MoveToPoint(x + size / 2, y + inset / 2);
      triangle.AddLineToPoint(x + size - inset / 2, y + size - inset);
      triangle.AddLineToPoint(x + inset / 2, y + size - inset);
      triangle.CloseSubpath();
      gc.DrawPath(triangle);
      break;
    }
    case HostState::kDown:
      gc.SetPen(gc.CreatePen(wxGraphicsPenInfo(colour).Width(line * 1.4).Cap(wxCAP_ROUND)));
      gc.StrokeLine(x + inset * 1.5, y + inset * 1.5, x + size - inset * 1.5,
                    y + size - inset * 1.5);
      gc.StrokeLine(x + size - inset * 1.5, y + inset * 1.5, x + inset * 1.5,
                    y + size - inset * 1.5);
      break;
    case HostState::kUnresolved: {
      // A font's pixel size is its line's; the mark itself is about two thirds of it.
      gc.SetFont(wxFont(wxFontInfo(wxSize(0, static_cast<int>(size * 1.3))).Bold()), colour);
      double width = 0;
      double height = 0;
      gc.GetTextExtent("?", &width, &height);
      gc.DrawText("?", x + (size - width) / 2, y + (size - height) / 2);
      break;
    }
    case HostState::kNotYet:
      gc.SetPen(gc.CreatePen(wxGraphicsPenInfo(colour).Width(line)));
      gc.SetBrush(*wxTRANSPARENT_BRUSH);
      gc.DrawEllipse(x + inset, y + inset, size - 2 * inset, size - 2 * inset);
      break;
  }
}

// A transparent image of side size.
wxImage ClearImage(int size) {
  wxImage image(size, size);
  image.InitAlpha();
  std::memset(image.GetAlpha(), 0, static_cast<std::size_t>(size) * size);
  return image;
}

}  // namespace

wxColour StateColour(HostState state) {
  switch (state) {
    case HostState::kUp:
      return wxColour(0x2E, 0x9D, 0x3F);
    case HostState::kLossy:
      return wxColour(0xE8, 0xA3, 0x00);
    case HostState::kDown:
      return wxColour(0xD3, 0x2F, 0x2F);
    case HostState::kUnresolved:
      return wxColour(0x80, 0x80, 0x80);
    case HostState::kNotYet:
      break;
  }
  return wxColour(0x90, 0x98, 0xA0);
}

wxColour RowBackground(HostState state) {
  switch (state) {
    case HostState::kDown:
      return wxColour(0xF8, 0xB4, 0xB4);
    case HostState::kLossy:
      return wxColour(0xFF, 0xE0, 0x8A);
    default:
      return wxNullColour;
  }
}

wxBitmap StateGlyph(HostState state, int size) {
  wxImage image = ClearImage(size);
  {
    // The image takes the drawing when the context goes.
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(image));
    if (gc) {
      gc->SetAntialiasMode(wxANTIALIAS_DEFAULT);
      DrawGlyph(*gc, state, 0, 0, size);
    }
  }
  return wxBitmap(image);
}

wxIcon BadgedAppIcon(HostState state) {
  wxImage image = AppIconBitmap().ConvertToImage();
  if (!image.HasAlpha()) {
    image.InitAlpha();
  }
  const double size = image.GetWidth();
  const double badge = size * kBadgeShare;
  {
    std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(image));
    if (gc) {
      gc->SetPen(*wxTRANSPARENT_PEN);
      gc->SetBrush(*wxWHITE_BRUSH);
      gc->DrawEllipse(size - badge, size - badge, badge, badge);
      const double inner = badge * 0.75;
      DrawGlyph(*gc, state, size - (badge + inner) / 2, size - (badge + inner) / 2, inner);
    }
  }
  wxIcon icon;
  icon.CopyFromBitmap(wxBitmap(image));
  return icon;
}
