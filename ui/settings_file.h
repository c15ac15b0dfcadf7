#ifndef LUMORET_UI_SETTINGS_FILE_H
#define LUMORET_UI_SETTINGS_FILE_H

#include <wx/fileconf.h>

#include <memory>
#include <string>
#include <vector>

// The user's settings file, as the toolkit's own config so that everything kept between
// starts goes through it. Read once, whole; saved whole by Flush, written beside and
// renamed into place (the toolkit's own save deletes the old file before the rename, and a
// crash between the two would lose every setting).
class SettingsFile : public wxFileConfig {
 public:
  // The largest file read: settings are a few hundred bytes, and anything far larger is
  // not a settings file.
  static constexpr std::uintmax_t kMaxBytes = 1 << 20;
  // At most this many of the toolkit's complaints about a file's lines are told, and how
  // many more there were.
  static constexpr std::size_t kToldLines = 3;

  // Reads the file at path. A missing one starts empty. One that cannot be read (no
  // access, not a regular file, too large) starts empty too and is never written over.
  // Each such problem, and each line the toolkit cannot make sense of, is a line in
  // problems.
  static std::unique_ptr<SettingsFile> Open(const std::string& path,
                                            std::vector<std::string>* problems);

  // Writes every setting to the file (making its folder if needed); false, with the
  // reason in problem() and on stderr, when it could not.
  bool Flush(bool current_only = false) override;

  const std::string& path() const { return path_; }
  // Why the latest Flush failed; empty after one that succeeded.
  const std::string& problem() const { return problem_; }

 private:
  SettingsFile(const std::string& path, wxInputStream& text, bool writable);

  std::string path_;     // the file, in the file system's encoding
  bool writable_;        // false when the file there could not be read
  std::string problem_;  // why the latest save failed
};

#endif  // LUMORET_UI_SETTINGS_FILE_H
