#include "ui/about_dlg.h"

#include <wx/button.h>
#include <wx/hyperlink.h>
#include <wx/statbmp.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

#include "lumoret_version.h"
#include "ui/app_icon.h"
#include "ui/translations.h"

const char CAboutDlg::kContact[] = "maintainers@lumoret.org";

CAboutDlg::CAboutDlg(wxWindow* parent)
    : wxDialog(parent, wxID_ANY, _("关于 Lumoret"), wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX) {
  SetClientSize(ConvertDialogToPixels(wxSize(178, 117)));
  // Positions and sizes in dialog units, as x, y, width, height.
  const auto pos = [this](int x, int y) { return ConvertDialogToPixels(wxPoint(x, y)); };
  const auto size = [this](int w, int h) { return ConvertDialogToPixels(wxSize(w, h)); };

  // The group box goes first so that it stays behind the controls it frames.
  new wxStaticBox(this, wxID_ANY, _("版本信息"), pos(7, 6), size(162, 84));
  new wxStaticBitmap(this, wxID_ANY, AppIconBitmap(), pos(78, 18));
  new wxStaticText(this, wxID_ANY,
                   wxString::FromUTF8(Fill(Tr("Lumoret, 版本 %s"), {LUMORET_VERSION_SHORT})),
                   pos(47, 44), size(82, 8), wxST_NO_AUTORESIZE);
  new wxStaticText(this, wxID_ANY, _("© 2026 Lumoret 开发者"), pos(38, 59), size(102, 8),
                   wxST_NO_AUTORESIZE);
  new wxStaticText(this, wxID_ANY, "Email : ", pos(42, 73), size(24, 8), wxST_NO_AUTORESIZE);
  new wxHyperlinkCtrl(this, 1012, kContact, wxString("mailto:") + kContact, pos(64, 72),
                      size(74, 12), wxHL_ALIGN_LEFT | wxBORDER_NONE);
  auto* ok = new wxButton(this, wxID_OK, _("确定"), pos(63, 96), size(50, 14));
  ok->SetDefault();
  ok->SetFocus();
  SetIcon(AppIcon());
  Centre();
}
