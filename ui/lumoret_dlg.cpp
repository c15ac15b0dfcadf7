#include "ui/lumoret_dlg.h"

#include <wx/filedlg.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>

#include <cstdio>
#include <exception>

#include "engine/delay_time_mgr.h"
#include "platform/platform.h"
#include "ui/about_dlg.h"
#include "ui/app_icon.h"
#include "ui/cell_rules.h"
#include "ui/detail_texts.h"
#include "ui/host_details_dlg.h"
#include "ui/target_list_ctrl.h"

CLumoretDlg::CLumoretDlg(DelayTimeMgr& manager, wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Lumoret", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER | wxMINIMIZE_BOX | wxMAXIMIZE_BOX),
      icon(AppIcon()),
      timer_(this, kTimerId),
      manager_(&manager) {
  SetClientSize(ConvertDialogToPixels(wxSize(426, 175)));
  target_list =
      new TargetListCtrl(this, kListId, wxPoint(0, 0), ConvertDialogToPixels(wxSize(426, 174)));
  wxAcceleratorEntry keys[] = {{wxACCEL_NORMAL, WXK_F1, kHelpCommand},
                               {wxACCEL_CTRL, 'A', wxID_SELECTALL},
                               {wxACCEL_CTRL, 'C', wxID_COPY}};
  SetAcceleratorTable(wxAcceleratorTable(WXSIZEOF(keys), keys));
  target_list->Bind(wxEVT_LIST_ITEM_ACTIVATED, &CLumoretDlg::OnRowActivated, this);
  Centre();
}

CLumoretDlg::~CLumoretDlg() {
  timer_.Stop();
  // Before the base class takes the children down, while their callbacks may still
  // reach the list of open ones.
  for (auto& [target, window] : details_) {
    delete window;
  }
  details_.clear();
}

void CLumoretDlg::OnInitDialog(wxInitDialogEvent& event) {
  wxDialog::OnInitDialog(event);
#ifdef __WXMSW__
  // Windows lets a program extend its window menu: the two commands go there, after a
  // separator, and come back as menu events like those of the Linux context menu.
  if (wxMenu* system_menu = MSWGetSystemMenu()) {
    const std::string about = platform::LoadResourceString(101);
    const std::string help = platform::LoadResourceString(102);
    if (!about.empty() && !help.empty()) {
      system_menu->AppendSeparator();
      system_menu->Append(kHelpCommand, wxString::FromUTF8(help));
      system_menu->Append(kAboutCommand, wxString::FromUTF8(about));
    }
  }
#endif
  SetIcon(icon);
  for (int column = 0; column < kColumnCount; ++column) {
    target_list->InsertColumn(column, wxString::FromUTF8(kColumns[column].title),
                              wxLIST_FORMAT_LEFT, kColumns[column].width);
  }
  target_list->SetTargets(manager_->targets);
  try {
    manager_->Start();
  } catch (const std::exception& error) {
    // No worker thread: the rows stay as filled, and the box says why nothing moves.
    CallAfter(&CLumoretDlg::ShowWorkerError, std::string(error.what()));
    return;
  }
  timer_.Start(1000);
}

void CLumoretDlg::OnTimer(wxTimerEvent& event) {
  if (event.GetId() != kTimerId) {
    return;
  }
  target_list->RefreshRows();
  for (auto& [target, window] : details_) {
    window->RefreshFigures();
  }
  if (!worker_error_shown_ && !manager_->LastError().empty()) {
    worker_error_shown_ = true;
    // Not from inside the timer handler: the message box runs its own loop.
    CallAfter(&CLumoretDlg::ShowWorkerError, manager_->LastError());
  }
}

void CLumoretDlg::ShowWorkerError(const std::string& error) {
  const std::string text = "Lumoret: the delay engine stopped: " + error +
                           ".\nThe statistics no longer change; restart Lumoret to measure again.";
  std::fprintf(stderr, "%s\n", text.c_str());
  // The generic box is a window of ours like any other, so tests can find and close it.
  wxGenericMessageDialog box(this, wxString::FromUTF8(text), "Lumoret: engine stopped",
                             wxOK | wxICON_ERROR);
  box.ShowModal();
}

void CLumoretDlg::OnSysCommand(unsigned id) {
  switch (id & 0xFFF0) {
    case kAboutCommand: {
      CAboutDlg about(this);
      about.ShowModal();
      break;
    }
    case kHelpCommand:
      platform::OpenHelpFile("ReadMe.txt");
      break;
    default:
      break;
  }
}

void CLumoretDlg::OnSize(wxSizeEvent& event) {
  event.Skip();
  if (target_list == nullptr) {
    return;
  }
  client_rect = GetClientRect();
  target_list->SetSize(client_rect);
}

void CLumoretDlg::OnMenuCommand(wxCommandEvent& event) {
  OnSysCommand(static_cast<unsigned>(event.GetId()));
}

void CLumoretDlg::OnContextMenu(wxContextMenuEvent& /*event*/) {
  wxMenu menu;
  menu.Append(wxID_COPY, wxString::FromUTF8("&复制\tCtrl+C"));
  menu.Enable(wxID_COPY, target_list->GetSelectedItemCount() > 0);
  menu.Append(kDetailsCommand, wxString::FromUTF8("详细信息(&D)..."));
  menu.Enable(kDetailsCommand, target_list->GetSelectedItemCount() > 0);
  menu.Append(kExportCommand, wxString::FromUTF8("导出为 CSV(&E)..."));
#ifndef __WXMSW__
  // A program cannot add to the window manager's menu here, so the two commands live
  // in the window's own menu, in the same order, after a separator.
  menu.AppendSeparator();
  menu.Append(kHelpCommand, wxString::FromUTF8("&帮助"));
  menu.Append(kAboutCommand, wxString::FromUTF8("&关于 Lumoret..."));
#endif
  PopupMenu(&menu);
}

void CLumoretDlg::OnCopy(wxCommandEvent& /*event*/) {
  target_list->CopySelection();
}

CHostDetailsDlg* CLumoretDlg::OpenDetails(std::size_t target) {
  auto open = details_.find(target);
  if (open == details_.end()) {
    auto* window = new CHostDetailsDlg(this, *manager_->targets[target],
                                       [this, target] { details_.erase(target); });
    open = details_.emplace(target, window).first;
    window->Show();
  }
  if (open->second->IsIconized()) {
    open->second->Iconize(false);
  }
  open->second->Raise();
  return open->second;
}

void CLumoretDlg::OnDetails(wxCommandEvent& /*event*/) {
  // The focused row when it is selected, else the first selected one.
  long row = target_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_FOCUSED);
  if (row < 0 || target_list->GetItemState(row, wxLIST_STATE_SELECTED) == 0) {
    row = target_list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_SELECTED);
  }
  if (row >= 0) {
    OpenDetails(target_list->TargetAt(row));
  }
}

void CLumoretDlg::OnRowActivated(wxListEvent& event) {
  OpenDetails(target_list->TargetAt(event.GetIndex()));
}

std::error_code CLumoretDlg::ExportTo(const wxString& path) const {
#ifdef __WXMSW__
  // The file is written in text mode there, which turns each line feed into CR LF.
  const char* const line_end = "\n";
#else
  const char* const line_end = "\r\n";
#endif
  // The file name in the encoding the system's file functions take.
  return platform::WriteFileReplacing(std::string(path.mb_str(wxConvFile)),
                                      CsvText(target_list->ExportRows(), line_end));
}

void CLumoretDlg::OnExport(wxCommandEvent& /*event*/) {
  wxFileDialog dialog(this, wxString::FromUTF8("导出为 CSV"), wxString(), "lumoret.csv",
                      wxString::FromUTF8("CSV 文件 (*.csv)|*.csv|所有文件|*"),
                      wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
  if (dialog.ShowModal() != wxID_OK) {
    return;
  }
  const std::error_code error = ExportTo(dialog.GetPath());
  if (error) {
    // The system's message comes in the locale's encoding, not always UTF-8.
    const wxString text = wxString::FromUTF8("无法写入 ") + dialog.GetPath() +
                          wxString::FromUTF8("：") + wxString(error.message()) +
                          wxString::FromUTF8("\n文件保持原样。");
    wxGenericMessageDialog box(this, text, wxString::FromUTF8("Lumoret: 导出失败"),
                               wxOK | wxICON_ERROR);
    box.ShowModal();
  }
}

void CLumoretDlg::OnSelectAll(wxCommandEvent& /*event*/) {
  target_list->SelectAll();
}

void CLumoretDlg::OnCharHook(wxKeyEvent& event) {
  // Enter and Esc close the window like the close box, also when the list has the
  // focus (the dialog has no OK or Cancel button that would take them).
  switch (event.GetKeyCode()) {
    case WXK_RETURN:
    case WXK_NUMPAD_ENTER:
      EndDialog(wxID_OK);
      return;
    case WXK_ESCAPE:
      EndDialog(wxID_CANCEL);
      return;
    default:
      break;
  }
  event.Skip();
}

// clang-format off
wxBEGIN_EVENT_TABLE(CLumoretDlg, wxDialog)
  EVT_INIT_DIALOG(CLumoretDlg::OnInitDialog)
  EVT_TIMER(wxID_ANY, CLumoretDlg::OnTimer)
  EVT_SIZE(CLumoretDlg::OnSize)
  EVT_MENU(CLumoretDlg::kHelpCommand, CLumoretDlg::OnMenuCommand)
  EVT_MENU(CLumoretDlg::kAboutCommand, CLumoretDlg::OnMenuCommand)
  EVT_MENU(wxID_COPY, CLumoretDlg::OnCopy)
  EVT_MENU(wxID_SELECTALL, CLumoretDlg::OnSelectAll)
  EVT_MENU(CLumoretDlg::kDetailsCommand, CLumoretDlg::OnDetails)
  EVT_MENU(CLumoretDlg::kExportCommand, CLumoretDlg::OnExport)
  EVT_CONTEXT_MENU(CLumoretDlg::OnContextMenu)
  EVT_CHAR_HOOK(CLumoretDlg::OnCharHook)
wxEND_EVENT_TABLE()
