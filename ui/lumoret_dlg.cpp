#include "ui/lumoret_dlg.h"

#include <wx/menu.h>
#include <wx/msgdlg.h>

#include <cstdio>
#include <exception>

#include "engine/delay_time_mgr.h"
#include "platform/platform.h"
#include "ui/about_dlg.h"
#include "ui/app_icon.h"
#include "ui/cell_rules.h"

namespace {

struct Column {
  const char* title;
  int width;
};
constexpr Column kColumns[kColumnCount] = {
    {"IP或域名", 125}, {"平均延迟", 75}, {"当前延迟", 75}, {"最大延迟", 75}, {"最小延迟", 75},
    {"丢包率", 75},    {"ping总数", 75}, {"成功次数", 75}, {"超时次数", 75},
};

TargetStats ReadStats(const DelayTarget& target) {
  TargetStats stats;
  stats.total_delay_ms = target.total_delay_ms.load();
  stats.reply_count = target.reply_count.load();
  stats.timeout_count = target.timeout_count.load();
  stats.max_delay_ms = target.max_delay_ms.load();
  stats.min_delay_ms = target.min_delay_ms.load();
  stats.last_delay_ms = target.last_delay_ms.load();
  return stats;
}

}  // namespace

CLumoretDlg::CLumoretDlg(DelayTimeMgr& manager, wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Lumoret", wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER | wxMINIMIZE_BOX | wxMAXIMIZE_BOX),
      icon(AppIcon()),
      timer_(this, kTimerId),
      manager_(&manager) {
  SetClientSize(ConvertDialogToPixels(wxSize(426, 175)));
  target_list =
      new wxListCtrl(this, kListId, wxPoint(0, 0), ConvertDialogToPixels(wxSize(426, 174)),
                     wxLC_REPORT | wxLC_HRULES | wxLC_VRULES);
  wxAcceleratorEntry help_key(wxACCEL_NORMAL, WXK_F1, kHelpCommand);
  SetAcceleratorTable(wxAcceleratorTable(1, &help_key));
  Centre();
}

CLumoretDlg::~CLumoretDlg() {
  timer_.Stop();
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
  long row = 0;
  for (const auto& target : manager_->targets) {
    // Nothing runs on the worker thread yet, so the statistics are read in peace.
    const RowTexts texts = target->resolved ? ResolvedRow(target->host, ReadStats(*target))
                                            : UnresolvedRow(target->host);
    target_list->InsertItem(row, wxString::FromUTF8(texts[0]));
    SetRow(row, texts.data(), 1);
    ++row;
  }
  try {
    manager_->Start();
  } catch (const std::exception& error) {
    // No worker thread: the rows stay as filled, and the box says why nothing moves.
    CallAfter(&CLumoretDlg::ShowWorkerError, std::string(error.what()));
    return;
  }
  timer_.Start(1000);
}

void CLumoretDlg::SetRow(long row, const std::string* texts, int first_column) {
  for (int column = first_column; column < kColumnCount; ++column) {
    target_list->SetItem(row, column, wxString::FromUTF8(texts[column]));
  }
}

void CLumoretDlg::RefreshRows() {
  long row = 0;
  for (const auto& target : manager_->targets) {
    // host and resolved are fixed once the manager exists; the statistics are atomic.
    if (target->resolved) {
      SetRow(row, ResolvedRow(target->host, ReadStats(*target)).data(), 1);
    }
    ++row;
  }
}

void CLumoretDlg::OnTimer(wxTimerEvent& event) {
  if (event.GetId() != kTimerId) {
    return;
  }
  RefreshRows();
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
  // A program cannot add to the window manager's menu here, so the two commands live
  // in the window's own menu, in the same order, after a separator.
  wxMenu menu;
  menu.AppendSeparator();
  menu.Append(kHelpCommand, wxString::FromUTF8("&帮助"));
  menu.Append(kAboutCommand, wxString::FromUTF8("&关于 Lumoret..."));
  PopupMenu(&menu);
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
#ifndef __WXMSW__
  EVT_CONTEXT_MENU(CLumoretDlg::OnContextMenu)
#endif
  EVT_CHAR_HOOK(CLumoretDlg::OnCharHook)
wxEND_EVENT_TABLE()
