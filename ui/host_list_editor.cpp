#include "ui/host_list_editor.h"

#include <wx/icon.h>
#include <wx/msgdlg.h>

#include <exception>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/config_error.h"
#include "engine/delay_target.h"
#include "engine/target_list.h"
#include "engine/user_text.h"
#include "ui/config_watcher.h"
#include "ui/lumoret_dlg.h"
#include "ui/message_box.h"

namespace {
// Lines of a list said in the dialog; the rest are counted.
constexpr std::size_t kListedLines = 8;

// heading, then lines, a line each, at most kListedLines of them.
std::string Listed(const std::string& heading, const std::vector<std::string>& lines) {
  std::string text = heading;
  for (std::size_t i = 0; i < lines.size() && i < kListedLines; ++i) {
    text += "\n" + lines[i];
  }
  if (lines.size() > kListedLines) {
    text += "\n" + Fill(Tr("……另有 %s 行"), {std::to_string(lines.size() - kListedLines)});
  }
  return text;
}

// Every target of the engine kept where it is.
std::vector<DelayTimeMgr::ListEntry> KeepAll(std::size_t count) {
  std::vector<DelayTimeMgr::ListEntry> entries(count);
  for (std::size_t i = 0; i < count; ++i) {
    entries[i].kept = i;
  }
  return entries;
}
}  // namespace

HostListEditor::HostListEditor(CLumoretDlg& dlg, DelayTimeMgr& manager,
                               const std::filesystem::path& path)
    : dlg_(dlg), manager_(manager), path_(std::filesystem::absolute(path).u8string()) {}

HostListEditor::~HostListEditor() = default;

void HostListEditor::Start() {
  Reload();
  watcher_ = std::make_unique<ConfigWatcher>(std::filesystem::u8path(path_), [this] { Reload(); });
  watcher_->Start();
}

std::vector<std::string> HostListEditor::Hosts() const {
  return file_ ? file_->Hosts() : std::vector<std::string>();
}

bool HostListEditor::CheckReady() const {
  if (!file_ && load_error_.empty()) {
    ShowError(Fill(Tr("主机列表还没有从 %s 读入，请稍后再试。"), {path_}));
    return false;
  }
  if (!load_error_.empty()) {
    ShowError(Fill(
        Tr("现在不能修改主机列表：%s 无法使用（%s）。\n请先改正这个文件，改正后会自动重新读取。"),
        {path_, load_error_}));
    return false;
  }
  return true;
}

CHostTextDlg::Verdict HostListEditor::CheckNewHosts(const std::string& text,
                                                    HostInput* input) const {
  const std::vector<std::string> existing = Hosts();
  *input = ReadHostInput(text, existing);
  if (!input->problems.empty()) {
    return {Listed(Tr("这些行不能添加，请改正后再确定："), input->problems), true};
  }
  if (input->hosts.empty()) {
    return {Tr("没有要添加的主机：每行写一台主机的地址或名称。"), true};
  }
  if (existing.size() + input->hosts.size() > kMaxTargets) {
    return {
        Fill(Tr("添加后共有 %s 台主机，超过上限 %s 台。"),
             {std::to_string(existing.size() + input->hosts.size()), std::to_string(kMaxTargets)}),
        true};
  }
  if (!input->duplicates.empty()) {
    return {Listed(Tr("这些主机已在列表中或在此重复，仍会各占一行；再次确定即添加："),
                   input->duplicates),
            false};
  }
  return {};
}

CHostTextDlg::Verdict HostListEditor::CheckEdit(const std::string& text, const DelayTarget& target,
                                                std::string* host) const {
  std::vector<std::string> others = Hosts();
  const std::size_t position = PositionOf(target);
  if (position < others.size()) {
    others.erase(others.begin() + static_cast<std::ptrdiff_t>(position));
  }
  const HostInput input = ReadHostInput(text, others);
  if (!input.problems.empty()) {
    return {Listed(Tr("这一行不能用，请改正后再确定："), input.problems), true};
  }
  if (input.hosts.size() != 1) {
    return {Tr("请输入一台主机的地址或名称。"), true};
  }
  *host = input.hosts.front();
  if (!input.duplicates.empty()) {
    return {Tr("这台主机已在列表中，仍会另占一行；再次确定即修改。"), false};
  }
  return {};
}

bool HostListEditor::Add(const std::vector<std::string>& hosts) {
  if (hosts.empty() || !CheckReady()) {
    return false;
  }
  ConfigFile changed = *file_;
  changed.Insert(changed.size(), hosts);
  std::vector<DelayTimeMgr::ListEntry> entries = KeepAll(manager_.targets.size());
  for (const std::string& host : hosts) {
    entries.push_back({DelayTimeMgr::kAdded, host});
  }
  return Commit(changed, entries);
}

bool HostListEditor::Remove(const std::vector<const DelayTarget*>& targets) {
  if (!CheckReady()) {
    return false;
  }
  const std::unordered_set<const DelayTarget*> going(targets.begin(), targets.end());
  std::vector<std::size_t> positions;
  std::vector<DelayTimeMgr::ListEntry> entries;
  for (std::size_t i = 0; i < manager_.targets.size(); ++i) {
    if (going.count(manager_.targets[i].get()) != 0) {
      positions.push_back(i);
    } else {
      entries.push_back({i, {}});
    }
  }
  if (positions.empty()) {
    return false;
  }
  ConfigFile changed = *file_;
  changed.Remove(positions);
  return Commit(changed, entries);
}

bool HostListEditor::Replace(const DelayTarget& target, const std::string& host) {
  const std::size_t position = PositionOf(target);
  if (host == target.host || position == DelayTimeMgr::kAdded || !CheckReady()) {
    return false;
  }
  ConfigFile changed = *file_;
  changed.Replace(position, host);
  std::vector<DelayTimeMgr::ListEntry> entries = KeepAll(manager_.targets.size());
  entries[position] = {DelayTimeMgr::kAdded, host};
  return Commit(changed, entries);
}

std::string HostListEditor::Reload() {
  std::optional<ConfigFile> read;
  try {
    read = ConfigFile::Load(path_);
  } catch (const std::exception& error) {
    // Said once for each new reason, so that a closed bar stays closed.
    if (load_error_ != error.what()) {
      load_error_ = error.what();
      dlg_.ShowNotice(Fill(Tr("%s 无法使用，主机列表保持原样：%s"), {path_, load_error_}));
    }
    return path_ + ": " + load_error_;
  }
  const bool recovered = !load_error_.empty();
  load_error_.clear();
  std::vector<std::string> hosts = read->Hosts();
  // Kept even when the hosts are the same: the next save keeps the other lines as they now are.
  file_ = std::move(read);
  std::vector<std::string> shown;
  shown.reserve(manager_.targets.size());
  for (const auto& target : manager_.targets) {
    shown.push_back(target->host);
  }
  // Our own saves come back here and match.
  if (hosts != shown) {
    Apply(DelayTimeMgr::MatchHosts(manager_.targets, hosts));
  }
  if (recovered) {
    dlg_.ShowNotice(
        Fill(TrN("已重新读取 %s：%s 台主机。", "已重新读取 %s：%s 台主机。", hosts.size()),
             {path_, std::to_string(hosts.size())}),
        wxICON_INFORMATION);
  }
  return {};
}

std::size_t HostListEditor::PositionOf(const DelayTarget& target) const {
  for (std::size_t i = 0; i < manager_.targets.size(); ++i) {
    if (manager_.targets[i].get() == &target) {
      return i;
    }
  }
  return DelayTimeMgr::kAdded;
}

bool HostListEditor::Commit(const ConfigFile& changed,
                            const std::vector<DelayTimeMgr::ListEntry>& entries) {
  if (changed.size() > kMaxTargets) {
    ShowError(Fill(Tr("主机太多：最多 %s 台。主机列表没有改变。"), {std::to_string(kMaxTargets)}));
    return false;
  }
  if (ChangedElsewhere()) {
    // Another program wrote the file since it was read: saving would undo its change.
    Reload();
    ShowError(
        Fill(Tr("%s 刚被其他程序修改，已读入新内容。主机列表没有按这次操作改变，请再做一次。"),
             {path_}));
    return false;
  }
  if (const std::error_code error = changed.Save(path_)) {
    ShowError(Fill(Tr("无法保存 %s：%s\n主机列表没有改变。"), {path_, error.message()}));
    return false;
  }
  file_ = changed;
  try {
    // The bytes as written, which the next check compares: on Windows the line ends changed.
    file_ = ConfigFile::Load(path_);
  } catch (const std::exception&) {
    // Gone or unusable already: the watcher's reload says so.
  }
  Apply(entries);
  return true;
}

bool HostListEditor::ChangedElsewhere() const {
  try {
    return ConfigFile::Load(path_).Text() != file_->Text();
  } catch (const std::exception&) {
    return true;  // Reload says why
  }
}

void HostListEditor::Apply(const std::vector<DelayTimeMgr::ListEntry>& entries) {
  const std::vector<std::size_t> previous = manager_.ChangeTargets(entries);
  dlg_.ApplyTargetChange(previous);
}

void HostListEditor::ShowError(const std::string& text) const {
  ShowMessageBox(&dlg_, text, Tr("Lumoret: 主机列表"), wxOK | wxICON_ERROR);
}
