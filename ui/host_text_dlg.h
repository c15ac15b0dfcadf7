#ifndef LUMORET_UI_HOST_TEXT_DLG_H
#define LUMORET_UI_HOST_TEXT_DLG_H

#include <wx/dialog.h>

#include <functional>
#include <string>

class wxStaticText;
class wxTextCtrl;

// Asks for host text: many lines to add (Ctrl+Enter or 确定 confirms) or one host to edit
// (Enter confirms). The text is checked before the dialog closes: a problem keeps it open
// with the reason under the field; a warning is said once, and confirming the same text
// again goes on.
class CHostTextDlg : public wxDialog {
 public:
  // What the check thinks of a text.
  struct Verdict {
    std::string message;  // shown under the field; empty: nothing to say
    bool blocks = false;  // the text cannot be taken as it is
  };
  using Check = std::function<Verdict(const std::string& text)>;

  CHostTextDlg(wxWindow* parent, const std::string& title, const std::string& prompt,
               const std::string& text, bool multi_line, Check check);

  // The field's text, UTF-8.
  std::string Text() const;
  // Checks the text and closes with wxID_OK when it may be taken, as 确定 does.
  void Confirm();

  wxTextCtrl* text_field = nullptr;  // the host text typed or pasted
  wxStaticText* message = nullptr;   // the check's problem or warning, under the field

 private:
  void OnOk(wxCommandEvent& event);
  void OnCharHook(wxKeyEvent& event);

  const bool multi_line_;  // lines to add, not one host to edit
  Check check_;            // judges the text before the dialog closes
  std::string warned_;     // the text whose warning was said: confirming it again goes on
};

#endif  // LUMORET_UI_HOST_TEXT_DLG_H
