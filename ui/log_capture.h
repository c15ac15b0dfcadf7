#ifndef LUMORET_UI_LOG_CAPTURE_H
#define LUMORET_UI_LOG_CAPTURE_H

#include <wx/log.h>

#include <string>
#include <vector>

// Takes the toolkit's warnings and errors while it lives, one text each, instead of the
// message boxes it would show: for work whose problems the caller tells in its own way.
// Puts the log target that was active back when it goes. Only on the GUI thread.
class LogCapture : public wxLog {
 public:
  LogCapture();
  ~LogCapture() override;
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The texts logged so far, oldest first.
  const std::vector<std::string>& lines() const { return lines_; }

 protected:
  void DoLogRecord(wxLogLevel level, const wxString& text, const wxLogRecordInfo& info) override;

 private:
  wxLog* previous_;                 // the target active before, put back at the end
  std::vector<std::string> lines_;  // the warnings and errors, in UTF-8
};

#endif  // LUMORET_UI_LOG_CAPTURE_H
