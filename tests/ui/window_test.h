// The main window over a real engine, for the window tests: each test has a window and an
// engine of its own in a temporary working directory with the config.ini it names. Runs in
// a private network namespace (tests/isolated) on the X display in $DISPLAY.
#ifndef LUMORET_TESTS_UI_WINDOW_TEST_H
#define LUMORET_TESTS_UI_WINDOW_TEST_H

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/infobar.h>
#include <wx/msgdlg.h>
#include <wx/timer.h>
#include <wx/utils.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "engine/delay_time_mgr.h"
#include "tests/common/temp_dir_fixture.h"
#include "ui/lumoret_dlg.h"
#include "ui/target_list_ctrl.h"

// The window of the test that runs, and its list: set by WindowTest for each test.
inline CLumoretDlg* dlg = nullptr;
inline TargetListCtrl* list = nullptr;

// Turns the event loop until pred holds or timeout_ms has passed.
template <typename Pred>
bool WaitFor(Pred pred, int timeout_ms) {
  const wxLongLong deadline = wxGetLocalTimeMillis() + timeout_ms;
  while (!pred()) {
    if (wxGetLocalTimeMillis() > deadline) {
      return false;
    }
    wxTheApp->Yield(true);
    wxMilliSleep(10);
  }
  return true;
}

// The modal box open over the window, if any.
inline wxDialog* ModalBox() {
  for (wxWindow* window : wxTopLevelWindows) {
    auto* box = dynamic_cast<wxDialog*>(window);
    if (box != nullptr && box != dlg && box->IsModal()) {
      return box;
    }
  }
  return nullptr;
}

// A key pressed in from (the list, the filter box), as the window's key hook sees it.
inline void KeyIn(wxWindow* from, int key) {
  wxKeyEvent press(wxEVT_CHAR_HOOK);
  press.m_keyCode = key;
  press.SetEventObject(from);
  dlg->GetEventHandler()->ProcessEvent(press);
}

// The notice bar above the list, if the window made one.
inline wxInfoBarGeneric* NoticeBar() {
  for (wxWindow* child : dlg->GetChildren()) {
    if (auto* bar = dynamic_cast<wxInfoBarGeneric*>(child)) {
      return bar;
    }
  }
  return nullptr;
}

// The texts of the notice bar while it shows, else empty.
inline std::string NoticeText() {
  std::string text;
  if (wxInfoBarGeneric* bar = NoticeBar(); bar != nullptr && bar->IsShown()) {
    for (wxWindow* part : bar->GetChildren()) {
      text += part->GetLabel().utf8_string();
    }
  }
  return text;
}

inline std::string FileText(const std::filesystem::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// Runs open, answers the modal boxes it brings in turn with answers (each returns what
// the test wants to know of its box), and waits until no box is left; the last answer's.
using Answerer = std::function<std::string(wxDialog*)>;
inline std::string Answer(const std::function<void()>& open, const std::vector<Answerer>& answers) {
  std::string result;
  std::size_t answered = 0;
  wxDialog* last = nullptr;
  wxTimer probe;
  probe.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    wxDialog* box = ModalBox();
    if (box != nullptr && box != last && answered < answers.size()) {
      last = box;
      result = answers[answered++](box);
    }
  });
  probe.Start(50);
  open();
  EXPECT_TRUE(WaitFor([&] { return answered == answers.size() && ModalBox() == nullptr; }, 5000))
      << answered << " of " << answers.size() << " boxes came";
  return result;
}
inline std::string Answer(const std::function<void()>& open, const Answerer& answer) {
  return Answer(open, std::vector<Answerer>{answer});
}

// Presses button in a message box; its text.
inline Answerer Press(int button) {
  return [button](wxDialog* box) {
    auto* message = dynamic_cast<wxGenericMessageDialog*>(box);
    box->EndModal(button);
    return message != nullptr ? message->GetMessage().utf8_string() : "";
  };
}

// Writes config_ to config.ini in the test's folder, makes that the working directory and
// opens the window there; takes all down after.
class WindowTest : public TempDirFixture {
 protected:
  explicit WindowTest(const char* config) : config_(config) {}

  void SetUp() override {
    TempDirFixture::SetUp();
    ASSERT_FALSE(HasFatalFailure());
    std::ofstream(dir_ / "config.ini") << config_;
    std::filesystem::current_path(dir_);
    OpenWindow();
  }

  // An engine on config.ini and the window over it, shown, as the program's start makes them.
  void OpenWindow() {
    ASSERT_NO_THROW(manager_ = std::make_unique<DelayTimeMgr>());
    dlg = new CLumoretDlg(*manager_);
    dlg->Show();
    list = dlg->target_list;
  }

  void TearDown() override {
    CloseWindow();
    manager_.reset();
    std::filesystem::current_path("/");
    TempDirFixture::TearDown();
  }

  // Stops the engine and takes the window down, as the program's end does.
  void CloseWindow() {
    if (dlg == nullptr) {
      return;
    }
    manager_->Stop();
    wxObject* const window = dlg;
    dlg->Destroy();
    dlg = nullptr;
    list = nullptr;
    // Deleted on the next idle turn; its other windows go with it.
    const bool gone = WaitFor(
        [window] { return !wxPendingDelete.Member(window) && wxTopLevelWindows.IsEmpty(); }, 5000);
    EXPECT_TRUE(gone) << "a window outlived its test";
    if (!gone) {
      manager_.release();  // the window may still reach it
    }
  }

  const char* config_;                     // config.ini's text at the start
  std::unique_ptr<DelayTimeMgr> manager_;  // the engine under the window
};

#endif  // LUMORET_TESTS_UI_WINDOW_TEST_H
