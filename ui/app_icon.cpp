#include "ui/app_icon.h"

#include <wx/image.h>
#include <wx/imagpng.h>

#include <cstddef>

extern const unsigned char lumoret_icon_png[];
extern const std::size_t lumoret_icon_png_size;

#ifdef __WXMSW__
// Windows takes the icon from the executable's resources (icon 138, made from the same
// PNG), which also shows it in Explorer; that wx build has no PNG decoder.
wxIcon AppIcon() {
  return wxIcon("#138", wxBITMAP_TYPE_ICO_RESOURCE, 48, 48);
}

wxBitmap AppIconBitmap() {
  wxBitmap bitmap;
  bitmap.CopyFromIcon(AppIcon());
  return bitmap;
}
#else
wxBitmap AppIconBitmap() {
  if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr) {
    wxImage::AddHandler(new wxPNGHandler);
  }
  return wxBitmap::NewFromPNGData(lumoret_icon_png, lumoret_icon_png_size);
}

wxIcon AppIcon() {
  wxIcon icon;
  icon.CopyFromBitmap(AppIconBitmap());
  return icon;
}
#endif
