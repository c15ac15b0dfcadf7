#include "ui/csv_saver.h"

#include <wx/filedlg.h>
#include <wx/filefn.h>

#include "platform/platform.h"
#include "ui/message_box.h"
#include "ui/translations.h"

wxString CsvSaver::ChoosePath(wxWindow* parent, const wxString& title, const wxString& name) {
  wxString folder;
  wxString offered = name;
  // Until a name is chosen that is new or may be replaced, or the dialog is cancelled.
  for (;;) {
    wxFileDialog dialog(parent, title, folder, offered, _("CSV 文件 (*.csv)|*.csv|所有文件|*"),
                        wxFD_SAVE);
    if (dialog.ShowModal() != wxID_OK) {
      return wxString();
    }
    const wxString path = dialog.GetPath();
    if (!wxFileExists(path) || MayReplace(parent, path)) {
      return path;
    }
    folder = dialog.GetDirectory();
    offered = dialog.GetFilename();
  }
}

bool CsvSaver::MayReplace(wxWindow* parent, const wxString& path) {
  const std::string text = Fill(Tr("%s 已存在。\n要替换它吗？"), {path.utf8_string()});
  return ShowMessageBox(parent, text, Tr("Lumoret: 导出为 CSV"),
                        wxYES_NO | wxNO_DEFAULT | wxICON_QUESTION) == wxID_YES;
}

std::error_code CsvSaver::Write(const wxString& path, const std::string& text) {
  // The file name in the encoding the system's file functions take.
  return platform::WriteFileReplacing(std::string(path.mb_str(wxConvFile)), text);
}

bool CsvSaver::Save(wxWindow* parent, const wxString& path, const std::string& text) {
  const std::error_code error = Write(path, text);
  if (error) {
    // The system's message comes in the locale's encoding, not always UTF-8.
    const std::string message = Fill(Tr("无法写入 %s：%s\n文件保持原样。"),
                                     {path.utf8_string(), wxString(error.message()).utf8_string()});
    ShowMessageBox(parent, message, Tr("Lumoret: 导出失败"), wxOK | wxICON_ERROR);
    return false;
  }
  return true;
}
