#include "ui/resolve_progress_dlg.h"

#include <wx/button.h>
#include <wx/sizer.h>

#include <chrono>

#include "engine/name_resolver.h"
#include "ui/translations.h"
#include "ui/utf8_text.h"

namespace {
// How often the counts are brought up to date.
constexpr int kPollMs = 100;
// Room for the texts, so that the window does not change size as they change.
constexpr int kTextWidthDu = 200;
}  // namespace

CResolveProgressDlg::CResolveProgressDlg(NameResolver& names)
    : wxDialog(nullptr, wxID_ANY, _("Lumoret: 正在解析主机名")),
      names_(names),
      timer_(this, kTimerId) {
  auto* sizer = new wxBoxSizer(wxVERTICAL);
  const wxSize text_size(ConvertDialogToPixels(wxSize(kTextWidthDu, 0)).x, -1);
  count_text = new wxStaticText(this, wxID_ANY, "", wxDefaultPosition, text_size,
                                wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_END);
  waiting_text = new wxStaticText(this, wxID_ANY, "", wxDefaultPosition, text_size,
                                  wxST_NO_AUTORESIZE | wxST_ELLIPSIZE_END);
  sizer->Add(count_text, 0, wxALL, 10);
  sizer->Add(waiting_text, 0, wxLEFT | wxRIGHT | wxBOTTOM, 10);
  sizer->Add(new wxButton(this, wxID_CANCEL, _("取消")), 0, wxALIGN_RIGHT | wxALL, 10);
  SetSizerAndFit(sizer);
  Update();
  Centre();
  Bind(wxEVT_TIMER, &CResolveProgressDlg::OnTimer, this, kTimerId);
  timer_.Start(kPollMs);
}

void CResolveProgressDlg::OnTimer(wxTimerEvent& /*event*/) {
  if (names_.Wait(std::chrono::milliseconds(0))) {
    timer_.Stop();
    if (IsModal()) {
      EndModal(wxID_OK);
    }
    return;
  }
  Update();
}

void CResolveProgressDlg::Update() {
  count_text->SetLabel(
      wxString::FromUTF8(Fill(Tr("正在解析主机名：已完成 %s / %s"),
                              {std::to_string(names_.done()), std::to_string(names_.total())})));
  waiting_text->SetLabel(wxString::FromUTF8(Fill(Tr("等待：%s"), {ValidUtf8(names_.Pending())})));
}
