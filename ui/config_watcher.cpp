#include "ui/config_watcher.h"

#include <wx/evtloop.h>
#include <wx/filename.h>
#include <wx/fswatcher.h>
#include <wx/time.h>

#include <system_error>
#include <utility>

namespace {
// A burst of writes (an editor's save, a script's lines) is over when the folder has been
// quiet this long; it is waited on no longer than the bound, so a file written without
// pause is still read within 2 s.
constexpr int kQuietMs = 300;
constexpr int kBurstBoundMs = 1200;
// How often the file's size and time are looked at.
constexpr int kPollMs = 2000;
// The timers' ids, which tell their events apart at this handler.
constexpr int kSettleTimerId = 1;
constexpr int kPollTimerId = 2;
}  // namespace

ConfigWatcher::ConfigWatcher(const std::filesystem::path& path, std::function<void()> changed)
    : path_(std::filesystem::absolute(path)),
      changed_(std::move(changed)),
      settle_(this, kSettleTimerId),
      poll_(this, kPollTimerId) {
  Bind(wxEVT_TIMER, &ConfigWatcher::OnSettled, this, kSettleTimerId);
  Bind(wxEVT_TIMER, &ConfigWatcher::OnPoll, this, kPollTimerId);
}

ConfigWatcher::~ConfigWatcher() {
  settle_.Stop();
  poll_.Stop();
}

void ConfigWatcher::Start() {
  stamp_ = Look();
  WatchFolder();
  poll_.Start(kPollMs);
}

bool ConfigWatcher::WatchFolder() {
#if wxUSE_FSWATCHER
  // The watcher hangs on the running loop, and asserts without one.
  if (wxEventLoopBase::GetActive() == nullptr) {
    return false;
  }
  auto watcher = std::make_unique<wxFileSystemWatcher>();
  watcher->SetOwner(this);
  const wxFileName folder = wxFileName::DirName(wxString::FromUTF8(path_.parent_path().u8string()));
  const int kinds = wxFSW_EVENT_CREATE | wxFSW_EVENT_DELETE | wxFSW_EVENT_RENAME |
                    wxFSW_EVENT_MODIFY | wxFSW_EVENT_WARNING | wxFSW_EVENT_ERROR;
  if (!watcher->Add(folder, kinds)) {
    return false;
  }
  Bind(wxEVT_FSWATCHER, &ConfigWatcher::OnFileSystemEvent, this);
  watcher_ = std::move(watcher);
  return true;
#else
  return false;
#endif
}

void ConfigWatcher::OnFileSystemEvent(wxFileSystemWatcherEvent& event) {
#if wxUSE_FSWATCHER
  const int kind = event.GetChangeType();
  if (kind == wxFSW_EVENT_ERROR) {
    // The watcher gave up: the regular look carries on alone.
    watcher_.reset();
    return;
  }
  // Lost events (a full queue) may have been about the file.
  const wxString name = wxString::FromUTF8(path_.filename().u8string());
  const bool ours = kind == wxFSW_EVENT_WARNING || event.GetPath().GetFullName() == name ||
                    (kind == wxFSW_EVENT_RENAME && event.GetNewPath().GetFullName() == name);
  if (ours) {
    Settle();
  }
#else
  (void)event;
#endif
}

void ConfigWatcher::Settle() {
  const wxLongLong now = wxGetLocalTimeMillis();
  if (!settle_.IsRunning()) {
    burst_start_ms_ = now;
  } else if (now - burst_start_ms_ > kBurstBoundMs) {
    return;  // keeps the time already set, so the burst is read anyway
  }
  settle_.StartOnce(kQuietMs);
}

void ConfigWatcher::OnSettled(wxTimerEvent& /*event*/) {
  Tell();
}

void ConfigWatcher::OnPoll(wxTimerEvent& /*event*/) {
  if (!settle_.IsRunning() && !(Look() == stamp_)) {
    Tell();
  }
}

void ConfigWatcher::Tell() {
  stamp_ = Look();
  changed_();
}

ConfigWatcher::Stamp ConfigWatcher::Look() const {
  Stamp stamp;
  std::error_code error;
  stamp.exists = std::filesystem::is_regular_file(path_, error);
  if (stamp.exists) {
    stamp.size = std::filesystem::file_size(path_, error);
    stamp.time = std::filesystem::last_write_time(path_, error);
  }
  return stamp;
}
