#include "ui/host_text_dlg.h"
#include "ui/translations.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>

#include <utility>

namespace {
// The field's size in dialog units: a few dozen lines to add, or one host's line.
constexpr int kFieldWidthDu = 220;
constexpr int kMultiLineHeightDu = 110;
// The colour of a problem that keeps the dialog open.
const wxColour kProblemColour(0xB0, 0x00, 0x00);
}  // namespace

CHostTextDlg::CHostTextDlg(wxWindow* parent, const std::string& title, const std::string& prompt,
                           const std::string& text, bool multi_line, Check check)
    : wxDialog(parent, wxID_ANY, wxString::FromUTF8(title), wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      multi_line_(multi_line),
      check_(std::move(check)) {
  auto* column = new wxBoxSizer(wxVERTICAL);
  column->Add(new wxStaticText(this, wxID_ANY, wxString::FromUTF8(prompt)), 0, wxALL, 8);
  const wxSize size =
      ConvertDialogToPixels(wxSize(kFieldWidthDu, multi_line ? kMultiLineHeightDu : -1));
  text_field = new wxTextCtrl(this, wxID_ANY, wxString::FromUTF8(text), wxDefaultPosition,
                              wxSize(size.x, multi_line ? size.y : -1),
                              multi_line ? wxTE_MULTILINE | wxTE_DONTWRAP : 0);
  column->Add(text_field, 1, wxEXPAND | wxLEFT | wxRIGHT, 8);
  message = new wxStaticText(this, wxID_ANY, wxString());
  column->Add(message, 0, wxEXPAND | wxALL, 8);
  auto* buttons = new wxStdDialogButtonSizer;
  buttons->AddButton(new wxButton(this, wxID_OK, _("确定")));
  buttons->AddButton(new wxButton(this, wxID_CANCEL, _("取消")));
  buttons->Realize();
  column->Add(buttons, 0, wxEXPAND | wxBOTTOM, 8);
  SetSizerAndFit(column);
  Bind(wxEVT_BUTTON, &CHostTextDlg::OnOk, this, wxID_OK);
  Bind(wxEVT_CHAR_HOOK, &CHostTextDlg::OnCharHook, this);
  text_field->SetFocus();
  if (!multi_line) {
    text_field->SelectAll();
  }
  CentreOnParent();
}

std::string CHostTextDlg::Text() const {
  return text_field->GetValue().utf8_string();
}

void CHostTextDlg::Confirm() {
  const std::string text = Text();
  const Verdict verdict = check_ ? check_(text) : Verdict();
  const bool go_on = verdict.message.empty() || (!verdict.blocks && text == warned_);
  if (go_on) {
    EndModal(wxID_OK);
    return;
  }
  warned_ = verdict.blocks ? std::string() : text;
  message->SetForegroundColour(verdict.blocks ? kProblemColour : GetForegroundColour());
  message->SetLabel(wxString::FromUTF8(verdict.message));
  message->Wrap(text_field->GetSize().x);
  // The message may take more lines than the last one did.
  GetSizer()->SetSizeHints(this);
  Layout();
}

void CHostTextDlg::OnOk(wxCommandEvent& /*event*/) {
  Confirm();
}

void CHostTextDlg::OnCharHook(wxKeyEvent& event) {
  const int key = event.GetKeyCode();
  const bool enter = key == WXK_RETURN || key == WXK_NUMPAD_ENTER;
  // Enter makes a new line in the field of many lines; Ctrl+Enter confirms there.
  if (enter && (!multi_line_ || event.GetModifiers() == wxMOD_CONTROL)) {
    Confirm();
    return;
  }
  event.Skip();
}
