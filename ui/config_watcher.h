#ifndef LUMORET_UI_CONFIG_WATCHER_H
#define LUMORET_UI_CONFIG_WATCHER_H

#include <wx/event.h>
#include <wx/timer.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

class wxFileSystemWatcherBase;
class wxFileSystemWatcherEvent;

// Tells when a file was changed by anyone, a moment after the last of a burst of writes.
// The system's watcher looks at the file's folder, since editors and configuration tools
// replace a file by renaming another over it; a look at the file's size and time every
// 2 s backs it up where there is no watcher, and for a file that is a link elsewhere.
class ConfigWatcher : public wxEvtHandler {
 public:
  // changed runs on this (the GUI) thread.
  ConfigWatcher(const std::filesystem::path& path, std::function<void()> changed);
  ~ConfigWatcher() override;
  ConfigWatcher(const ConfigWatcher&) = delete;
  ConfigWatcher& operator=(const ConfigWatcher&) = delete;

  // Starts following the file as it is now; the system's watcher needs a running event
  // loop, and without one the file is only looked at every 2 s.
  void Start();
  // Whether the system's watcher follows the folder.
  bool watching() const { return watcher_ != nullptr; }

 private:
  // What a look at the file sees; equal looks: no change.
  struct Stamp {
    bool exists = false;                     // a file (or a link to one) is there
    std::uintmax_t size = 0;                 // its length in bytes
    std::filesystem::file_time_type time{};  // when it was last written
    bool operator==(const Stamp& other) const {
      return exists == other.exists && size == other.size && time == other.time;
    }
  };

  Stamp Look() const;
  // Opens the system's watcher on the folder; false where there is none.
  bool WatchFolder();
  void OnFileSystemEvent(wxFileSystemWatcherEvent& event);
  // A burst of events is over: says so, once.
  void OnSettled(wxTimerEvent& event);
  void OnPoll(wxTimerEvent& event);
  // Waits for the burst that event is part of to end, but not past a bound.
  void Settle();
  void Tell();

  const std::filesystem::path path_;                  // the file followed
  std::function<void()> changed_;                     // told of each change
  std::unique_ptr<wxFileSystemWatcherBase> watcher_;  // on the folder; null without one
  wxTimer settle_;                                    // the quiet time after a burst
  wxTimer poll_;                                      // the regular look at the file
  wxLongLong burst_start_ms_ = 0;                     // the first event of the burst waited on
  Stamp stamp_;                                       // what the last look saw
};

#endif  // LUMORET_UI_CONFIG_WATCHER_H
