#ifndef LUMORET_UI_CSV_SAVER_H
#define LUMORET_UI_CSV_SAVER_H

#include <wx/string.h>

#include <string>
#include <system_error>

class wxWindow;

// The steps every CSV export shares: a save dialog that asks in a box of ours before
// replacing a file, and a write that replaces the file whole or leaves it as it was.
class CsvSaver {
 public:
  // How lines end in the text handed to Write.
#ifdef __WXMSW__
  static constexpr const char* kLineEnd = "\n";  // the file's text mode makes it CR LF
#else
  static constexpr const char* kLineEnd = "\r\n";
#endif

  // The file chosen under title, offering name, once it is new or may be replaced;
  // empty when the user cancelled.
  static wxString ChoosePath(wxWindow* parent, const wxString& title, const wxString& name);
  // Asks whether an existing file may be replaced (in a box of ours, which a quit signal
  // can close, unlike the file dialog's own question).
  static bool MayReplace(wxWindow* parent, const wxString& path);
  // Replaces path with text; the system's error if not.
  static std::error_code Write(const wxString& path, const std::string& text);
  // The same, and a message box with the whole name and the reason when it fails; true
  // when the file was written.
  static bool Save(wxWindow* parent, const wxString& path, const std::string& text);
};

#endif  // LUMORET_UI_CSV_SAVER_H
