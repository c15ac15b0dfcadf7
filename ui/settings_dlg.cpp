#include "ui/settings_dlg.h"
#include "ui/translations.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/sizer.h>
#include <wx/spinctrl.h>
#include <wx/statbox.h>
#include <wx/stattext.h>

#include <algorithm>

namespace {

// Space between and around the controls, in dialog units.
constexpr int kGapDu = 4;

}  // namespace

CSettingsDlg::CSettingsDlg(wxWindow* parent, const LumoretSettings& settings)
    : wxDialog(parent, wxID_ANY, _("Lumoret: 设置")), settings_(settings) {
  const int gap = ConvertDialogToPixels(wxSize(kGapDu, 0)).x;
  auto* rules_box = new wxStaticBoxSizer(wxVERTICAL, this, _("判断状态"));
  wxWindow* rules_parent = rules_box->GetStaticBox();
  auto* grid = new wxFlexGridSizer(2, gap, gap);
  const HostStateRules& rules = settings.rules;
  down_after_spin = AddSpin(rules_parent, grid, TR_NOOP("连续超时几次算中断"), kDownAfterLostRange,
                            rules.down_after_lost);
  window_spin =
      AddSpin(rules_parent, grid, TR_NOOP("统计最近多少次探测"), kWindowRange, rules.window);
  loss_spin = AddSpin(rules_parent, grid, TR_NOOP("丢包率超过 (%)"), kLossPercentRange,
                      rules.lossy_loss_percent);
  delay_spin =
      AddSpin(rules_parent, grid, TR_NOOP("延迟超过 (毫秒)"), kDelayMsRange, rules.lossy_delay_ms);

  auto* names_box = new wxStaticBoxSizer(wxVERTICAL, this, _("主机名"));
  auto* names_grid = new wxFlexGridSizer(2, gap, gap);
  resolve_spin =
      AddSpin(names_box->GetStaticBox(), names_grid, TR_NOOP("重新解析间隔 (分钟，0 为从不)"),
              kResolveMinutesRange, settings.resolve_minutes);
  names_box->Add(names_grid, wxSizerFlags().Border(wxALL, gap));
  // One width for all, that of the widest (four digits).
  wxSpinCtrl* const spins[] = {down_after_spin, window_spin, loss_spin, delay_spin, resolve_spin};
  int width = 0;
  for (wxSpinCtrl* spin : spins) {
    width = std::max(width, spin->GetBestSize().x);
  }
  for (wxSpinCtrl* spin : spins) {
    spin->SetMinSize(wxSize(width, -1));
  }
  rules_box->Add(grid, wxSizerFlags().Border(wxALL, gap));

  auto* tell_box = new wxStaticBoxSizer(wxVERTICAL, this, _("提醒与托盘"));
  wxWindow* tell_parent = tell_box->GetStaticBox();
  const auto check = [&](const char* label, bool value) {
    auto* box = new wxCheckBox(tell_parent, wxID_ANY, _(label));
    box->SetValue(value);
    box->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) { UpdateDependents(); });
    tell_box->Add(box, wxSizerFlags().Border(wxALL, gap / 2));
    return box;
  };
  alerts_check = check(TR_NOOP("中断和恢复时发出桌面通知"), settings.alerts);
  sound_check = check(TR_NOOP("通知时播放声音"), settings.sound);
  tray_check = check(TR_NOOP("在系统托盘显示图标"), settings.tray_icon);
  minimise_check = check(TR_NOOP("最小化到托盘"), settings.minimise_to_tray);
  UpdateDependents();

  auto* top = new wxBoxSizer(wxVERTICAL);
  top->Add(rules_box, wxSizerFlags().Expand().Border(wxALL, gap));
  top->Add(tell_box, wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT, gap));
  top->Add(names_box, wxSizerFlags().Expand().Border(wxLEFT | wxRIGHT | wxTOP, gap));
  // In the window's language, which the toolkit's stock labels are not without its
  // translations.
  auto* buttons = new wxStdDialogButtonSizer;
  auto* ok = new wxButton(this, wxID_OK, _("确定"));
  ok->SetDefault();
  buttons->AddButton(ok);
  buttons->AddButton(new wxButton(this, wxID_CANCEL, _("取消")));
  buttons->Realize();
  top->Add(buttons, wxSizerFlags().Expand().Border(wxALL, gap));
  SetSizerAndFit(top);
  CentreOnParent();
}

wxSpinCtrl* CSettingsDlg::AddSpin(wxWindow* parent, wxSizer* grid, const char* label,
                                  SettingRange range, long value) {
  grid->Add(new wxStaticText(parent, wxID_ANY, _(label)), wxSizerFlags().CenterVertical());
  auto* spin = new wxSpinCtrl(parent, wxID_ANY, wxEmptyString, wxDefaultPosition, wxDefaultSize,
                              wxSP_ARROW_KEYS, static_cast<int>(range.low),
                              static_cast<int>(range.high), static_cast<int>(value));
  grid->Add(spin);
  return spin;
}

void CSettingsDlg::UpdateDependents() {
  sound_check->Enable(alerts_check->GetValue());
  minimise_check->Enable(tray_check->GetValue());
}

LumoretSettings CSettingsDlg::Result() const {
  LumoretSettings result = settings_;
  result.rules.down_after_lost = down_after_spin->GetValue();
  result.rules.window = window_spin->GetValue();
  result.rules.lossy_loss_percent = loss_spin->GetValue();
  result.rules.lossy_delay_ms = static_cast<std::uint32_t>(delay_spin->GetValue());
  result.alerts = alerts_check->GetValue();
  result.sound = sound_check->GetValue();
  result.tray_icon = tray_check->GetValue();
  result.minimise_to_tray = minimise_check->GetValue();
  result.resolve_minutes = resolve_spin->GetValue();
  return result;
}
