#include "ui/settings_file.h"

#include <wx/mstream.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "platform/file_write.h"
#include "ui/log_capture.h"

namespace {

namespace fs = std::filesystem;

// A file that is no settings file is kept under its name with this after it.
const char kAsideSuffix[] = ".bad";

// Why the file at path cannot be read as settings; empty when bytes holds it (or there is
// none, the first start).
std::string ReadBytes(const std::string& path, std::string* bytes) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::not_found) {
    return std::string();
  }
  if (error) {
    return error.message();
  }
  if (status.type() != fs::file_type::regular) {
    // A FIFO would block the start until something writes to it.
    return "it is not a regular file";
  }
  if (fs::file_size(path, error) > SettingsFile::kMaxBytes) {
    return "it is larger than " + std::to_string(SettingsFile::kMaxBytes) + " bytes";
  }
  std::ifstream in(path, std::ios::binary);
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in.is_open() || in.bad()) {
    return std::error_code(errno, std::generic_category()).message();
  }
  return std::string();
}

// Whether bytes are text the toolkit reads whole: UTF-8 without NULs (it would stop at
// the first NUL, and take the rest for nothing).
bool IsText(const std::string& bytes) {
  return bytes.find('\0') == std::string::npos &&
         wxConvUTF8.ToWChar(nullptr, 0, bytes.data(), bytes.size()) != wxCONV_FAILED;
}

// The settings text of the file at path in bytes (empty when there is none to take),
// each problem with it in problems; false when the file must not be written over.
bool ReadSettingsText(const std::string& path, std::string* bytes,
                      std::vector<std::string>* problems) {
  const std::string why = ReadBytes(path, bytes);
  bool writable = why.empty();
  if (!writable) {
    problems->push_back(path + ": cannot be read (" + why +
                        "); every setting has its default, and the file is left as it is.");
    bytes->clear();
  } else if (!IsText(*bytes)) {
    // Moved aside, not written over: the user may want it back, and settings can be saved.
    const std::string aside = path + kAsideSuffix;
    std::error_code error;
    fs::rename(path, aside, error);
    writable = !error;
    problems->push_back(path + ": is not a text file of settings; every setting has its default, " +
                        (error ? "and it is left as it is (" + error.message() + ")."
                               : "and it is kept as " + aside + "."));
    bytes->clear();
  }
  return writable;
}

// A complaint of the toolkit's as one line: without the name of the file it was not told
// (it read from memory), control characters written out.
std::string OneLine(const std::string& complaint) {
  // "file '', line 3: ..." and "file '': unexpected ...".
  const std::string kNoName = "file ''";
  const std::size_t start =
      complaint.compare(0, kNoName.size(), kNoName) == 0 ? kNoName.size() + 2 : 0;
  std::string line;
  for (char c : complaint.substr(std::min(start, complaint.size()))) {
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\r') {
      line += "\\r";
    } else {
      line += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
    }
  }
  return line;
}

}  // namespace

std::unique_ptr<SettingsFile> SettingsFile::Open(const std::string& path,
                                                 std::vector<std::string>* problems) {
  std::string bytes;
  const bool writable = ReadSettingsText(path, &bytes, problems);
  wxMemoryInputStream text(bytes.data(), bytes.size());
  LogCapture complaints;
  std::unique_ptr<SettingsFile> file(new SettingsFile(path, text, writable));
  const std::vector<std::string>& lines = complaints.lines();
  for (std::size_t i = 0; i < lines.size() && i < kToldLines; ++i) {
    problems->push_back(path + ": " + OneLine(lines[i]));
  }
  if (lines.size() > kToldLines) {
    problems->push_back(path + ": " + std::to_string(lines.size() - kToldLines) +
                        " more lines like these are ignored.");
  }
  return file;
}

SettingsFile::SettingsFile(const std::string& path, wxInputStream& text, bool writable)
    : wxFileConfig(text, wxConvUTF8), path_(path), writable_(writable) {}

bool SettingsFile::Flush(bool /*current_only*/) {
  if (!writable_) {
    problem_ = "it could not be read at the start, and is not written over";
  } else {
    wxMemoryOutputStream out;
    Save(out, wxConvUTF8);
    std::string text(out.GetLength(), '\0');
    out.CopyTo(text.data(), text.size());
    std::error_code error;
    const fs::path folder = fs::path(path_).parent_path();
    if (!folder.empty()) {
      fs::create_directories(folder, error);
    }
    if (!error) {
      error = platform::WriteFileReplacing(path_, text);
    }
    problem_ = error ? error.message() : std::string();
  }
  if (!problem_.empty()) {
    std::fprintf(stderr, "Lumoret: the settings are not saved in %s: %s.\n", path_.c_str(),
                 problem_.c_str());
  }
  return problem_.empty();
}
