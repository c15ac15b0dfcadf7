#ifndef LUMORET_UI_ABOUT_DLG_H
#define LUMORET_UI_ABOUT_DLG_H

#include <wx/dialog.h>

// The About box: version, copyright and a contact link inside a group box, laid out
// on the dialog-unit grid so it scales with the system font.
class CAboutDlg : public wxDialog {
 public:
  explicit CAboutDlg(wxWindow* parent = nullptr);

  static const char kContact[];
};

#endif  // LUMORET_UI_ABOUT_DLG_H
