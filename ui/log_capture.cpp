#include "ui/log_capture.h"

LogCapture::LogCapture() : previous_(wxLog::SetActiveTarget(this)) {}

LogCapture::~LogCapture() {
  wxLog::SetActiveTarget(previous_);
}

void LogCapture::DoLogRecord(wxLogLevel level, const wxString& text,
                             const wxLogRecordInfo& /*info*/) {
  // Debug and trace texts are for developers, not for the user's stderr.
  if (level <= wxLOG_Warning) {
    lines_.push_back(text.utf8_string());
  }
}
