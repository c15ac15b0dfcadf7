#ifndef LUMORET_UI_HOST_LIST_EDITOR_H
#define LUMORET_UI_HOST_LIST_EDITOR_H

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/config_file.h"
#include "engine/delay_time_mgr.h"
#include "engine/target_list.h"
#include "ui/host_text_dlg.h"

class CLumoretDlg;
class ConfigWatcher;
class DelayTarget;

// Changes the host list of the window's engine and config.ini together. Each change is
// checked, made on a copy of the file's lines, saved (atomically), and only then given to
// the engine and the rows: a file that cannot be saved changes nothing. A config.ini that
// someone else changes is read again and the rows follow; one that cannot be used keeps
// the list as it is and the notice bar says why.
class HostListEditor {
 public:
  HostListEditor(CLumoretDlg& dlg, DelayTimeMgr& manager,
                 const std::filesystem::path& path = kConfigFile);
  ~HostListEditor();
  HostListEditor(const HostListEditor&) = delete;
  HostListEditor& operator=(const HostListEditor&) = delete;

  // Reads the file, takes in a list that differs from the engine's, and follows the file
  // from now on.
  void Start();
  // The hosts of the file as last read or saved.
  std::vector<std::string> Hosts() const;
  // Says why the list cannot be changed now in a message box; false then.
  bool CheckReady() const;

  // Judges text typed to add: its hosts in input. Problems and an empty or too long
  // list block; duplicates are said.
  CHostTextDlg::Verdict CheckNewHosts(const std::string& text, HostInput* input) const;
  // Judges text typed to replace the host of target: its one host in host.
  CHostTextDlg::Verdict CheckEdit(const std::string& text, const DelayTarget& target,
                                  std::string* host) const;

  // Puts hosts at the end of the list; false when nothing changed (the user was told).
  bool Add(const std::vector<std::string>& hosts);
  // Takes the targets out of the list (those already gone are passed over).
  bool Remove(const std::vector<const DelayTarget*>& targets);
  // Makes target a new target of text host, at the same place.
  bool Replace(const DelayTarget& target, const std::string& host);
  // Reads the file again, as its watcher does after a change; why the file cannot be
  // used (the list is kept then), or empty.
  std::string Reload();

  // The file's full name, for messages.
  const std::string& path() const { return path_; }

 private:
  // The position of target in the engine's list, or DelayTimeMgr::kAdded when gone.
  std::size_t PositionOf(const DelayTarget& target) const;
  // Saves changed; then makes the engine's list and the rows entries. Message boxes say
  // what stopped it.
  bool Commit(const ConfigFile& changed, const std::vector<DelayTimeMgr::ListEntry>& entries);
  // Whether the file no longer holds what was last read or saved: another program wrote
  // it, and the watcher has not read it yet.
  bool ChangedElsewhere() const;
  // Gives the engine and the rows the list of entries.
  void Apply(const std::vector<DelayTimeMgr::ListEntry>& entries);
  // The message of a change the file could not take.
  void ShowError(const std::string& text) const;

  CLumoretDlg& dlg_;                        // the window whose rows follow
  DelayTimeMgr& manager_;                   // the engine whose list changes
  const std::string path_;                  // config.ini's full name
  std::optional<ConfigFile> file_;          // the lines last read or saved; none: unusable
  std::string load_error_;                  // why the file could not be read, if so
  std::unique_ptr<ConfigWatcher> watcher_;  // tells of changes by others
};

#endif  // LUMORET_UI_HOST_LIST_EDITOR_H
