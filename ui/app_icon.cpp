#include "ui/app_icon.h"

#include <wx/image.h>
#include <wx/imagpng.h>

#include <cstddef>

extern const unsigned char lumoret_icon_png[];
extern const std::size_t lumoret_icon_png_size;

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
