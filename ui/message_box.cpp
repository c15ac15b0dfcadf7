#include "ui/message_box.h"

#include <wx/msgdlg.h>

#include "ui/translations.h"
#include "ui/utf8_text.h"

namespace {
// Characters per line of a message box (a CJK character counts as two).
constexpr std::size_t kMessageColumns = 64;
}  // namespace

int ShowMessageBox(wxWindow* parent, const std::string& text, const std::string& title,
                   long style) {
  wxGenericMessageDialog box(parent, wxString::FromUTF8(WrapText(text, kMessageColumns)),
                             wxString::FromUTF8(ValidUtf8(title)), style);
  // The toolkit's stock labels are English; the window around the box is not.
  if ((style & wxYES_NO) != 0) {
    box.SetYesNoLabels(_("是(&Y)"), _("否(&N)"));
  } else {
    box.SetOKLabel(_("确定"));
  }
  return box.ShowModal();
}
