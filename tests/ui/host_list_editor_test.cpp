// Hosts added, edited and deleted from the main window, and config.ini changed beside it
// by another process. Runs in a private network namespace (tests/isolated) on the X
// display in $DISPLAY, each test with its own engine on a config.ini of loopback
// addresses and comments in a temporary working directory.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/infobar.h>
#include <wx/init.h>
#include <wx/msgdlg.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/delay_time_mgr.h"
#include "engine/target_list.h"
#include "tests/common/temp_dir_fixture.h"
#include "ui/host_text_dlg.h"
#include "ui/lumoret_dlg.h"
#include "ui/target_list_ctrl.h"

namespace {

// Comments and a blank line around the hosts, which every change must keep.
constexpr char kConfig[] = "# office\n127.0.0.10\n\n127.0.0.9 # router\n# end\n";

CLumoretDlg* dlg = nullptr;
TargetListCtrl* list = nullptr;

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

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  return first == std::string::npos ? std::string()
                                    : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A row's host, without the mark of a name not (yet) resolved.
std::string RowHost(long row) {
  const std::string cell = list->GetItemText(row, ColumnIndex(Column::kHost)).utf8_string();
  return Trimmed(cell.rfind('*', 0) == 0 ? cell.substr(1) : cell);
}

// The rows' hosts in one text, in config.ini's order whatever the sort.
std::string Rows() {
  std::vector<std::pair<std::size_t, std::string>> rows;
  for (long row = 0; row < list->GetItemCount(); ++row) {
    rows.emplace_back(list->TargetAt(row), RowHost(row));
  }
  std::sort(rows.begin(), rows.end());
  std::string text;
  for (const auto& [target, host] : rows) {
    text += host + " ";
  }
  return text;
}

std::string FileText() {
  std::ostringstream text;
  text << std::ifstream("config.ini", std::ios::binary).rdbuf();
  return text.str();
}

// config.ini's hosts as the engine reads them, in one text.
std::string FileHosts() {
  std::istringstream in(FileText());
  std::string text;
  for (const std::string& host : ReadTargetList(in)) {
    text += Trimmed(host) + " ";
  }
  return text;
}

// Writes text to config.ini as editors and configuration tools do: another file, renamed
// over it.
void Rewrite(const std::string& text) {
  std::ofstream("config.ini.new", std::ios::binary) << text;
  std::filesystem::rename("config.ini.new", "config.ini");
}

void Select(const std::set<std::string>& hosts) {
  for (long row = 0; row < list->GetItemCount(); ++row) {
    const bool wanted = hosts.count(RowHost(row)) != 0;
    list->SetItemState(row, wanted ? wxLIST_STATE_SELECTED : 0, wxLIST_STATE_SELECTED);
  }
}

// A key pressed in the list, as the window's key hook sees it.
void PressInList(int key) {
  wxKeyEvent press(wxEVT_CHAR_HOOK);
  press.m_keyCode = key;
  press.SetEventObject(list);
  dlg->GetEventHandler()->ProcessEvent(press);
}

void Command(int id) {
  wxPostEvent(dlg, wxCommandEvent(wxEVT_MENU, id));
}

// The modal box open over the window, if any.
wxDialog* ModalBox() {
  for (wxWindow* window : wxTopLevelWindows) {
    auto* box = dynamic_cast<wxDialog*>(window);
    if (box != nullptr && box != dlg && box->IsModal()) {
      return box;
    }
  }
  return nullptr;
}

// Runs open, then answers the modal box it brings with answer(box) (which returns what
// the test wants to know), and waits until no box is left.
std::string Answer(const std::function<void()>& open,
                   const std::function<std::string(wxDialog*)>& answer) {
  std::string result;
  bool answered = false;
  wxTimer probe;
  probe.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    wxDialog* box = ModalBox();
    if (box != nullptr && !answered) {
      answered = true;
      result = answer(box);
    }
  });
  probe.Start(50);
  open();
  EXPECT_TRUE(WaitFor([&] { return answered && ModalBox() == nullptr; }, 5000)) << "no box came";
  probe.Stop();
  return result;
}

// Types text into the host dialog and presses Enter with modifiers; what the dialog
// says when it stays open, after which it is cancelled.
std::function<std::string(wxDialog*)> Type(const std::string& text, int modifiers) {
  return [text, modifiers](wxDialog* box) {
    auto* dialog = dynamic_cast<CHostTextDlg*>(box);
    if (dialog == nullptr) {
      ADD_FAILURE() << "not the host dialog: " << box->GetTitle().utf8_string();
      box->EndModal(wxID_CANCEL);
      return std::string();
    }
    dialog->text_field->SetValue(wxString::FromUTF8(text));
    wxKeyEvent enter(wxEVT_CHAR_HOOK);
    enter.m_keyCode = WXK_RETURN;
    enter.SetControlDown(modifiers == wxMOD_CONTROL);
    enter.SetEventObject(dialog->text_field);
    dialog->GetEventHandler()->ProcessEvent(enter);
    if (!dialog->IsModal()) {
      return std::string();
    }
    const std::string said =
        dialog->GetTitle().utf8_string() + ": " + dialog->message->GetLabel().utf8_string();
    dialog->EndModal(wxID_CANCEL);
    return said;
  };
}

// Answers the message box it finds with button; its text.
std::function<std::string(wxDialog*)> Press(int button) {
  return [button](wxDialog* box) {
    auto* message = dynamic_cast<wxGenericMessageDialog*>(box);
    const std::string text = message != nullptr ? message->GetMessage().utf8_string() : "";
    box->EndModal(button);
    return text;
  };
}

std::string NoticeText() {
  for (wxWindow* child : dlg->GetChildren()) {
    auto* bar = dynamic_cast<wxInfoBarGeneric*>(child);
    if (bar != nullptr && bar->IsShown()) {
      std::string text;
      for (wxWindow* part : bar->GetChildren()) {
        text += part->GetLabel().utf8_string();
      }
      return text;
    }
  }
  return std::string();
}

class HostListEditorTest : public TempDirFixture {
 protected:
  void SetUp() override {
    TempDirFixture::SetUp();
    ASSERT_FALSE(HasFatalFailure());
    std::ofstream(dir_ / "config.ini") << kConfig;
    std::filesystem::current_path(dir_);
    ASSERT_NO_THROW(manager_ = std::make_unique<DelayTimeMgr>());
    dlg = new CLumoretDlg(*manager_);
    dlg->Show();
    list = dlg->target_list;
    // The editor starts reading and watching config.ini once the loop turns.
    for (int i = 0; i < 10; ++i) {
      wxTheApp->Yield(true);
    }
    ASSERT_EQ(Rows(), "127.0.0.10 127.0.0.9 ");
  }

  void TearDown() override {
    if (dlg != nullptr) {
      manager_->Stop();
      wxObject* const window = dlg;
      dlg->Destroy();
      dlg = nullptr;
      list = nullptr;
      EXPECT_TRUE(WaitFor(
          [window] { return !wxPendingDelete.Member(window) && wxTopLevelWindows.IsEmpty(); },
          5000));
    }
    manager_.reset();
    std::filesystem::current_path("/");
    TempDirFixture::TearDown();
  }

  std::unique_ptr<DelayTimeMgr> manager_;  // the engine under the window
};

TEST_F(HostListEditorTest, AddEditDeleteByKeysAndMenuSaveConfigWithItsComments) {
  // Pasted lines; Enter alone makes a new line in that field, Ctrl+Enter adds.
  EXPECT_NE(Answer([] { PressInList(WXK_INSERT); }, Type("127.0.0.11\n127.0.0.12 # new", 0)), "")
      << "Enter closed the field of many lines";
  EXPECT_EQ(FileHosts(), "127.0.0.10 127.0.0.9 ");
  EXPECT_EQ(
      Answer([] { PressInList(WXK_INSERT); }, Type("127.0.0.11\n127.0.0.12 # new", wxMOD_CONTROL)),
      "");
  EXPECT_EQ(Rows(), "127.0.0.10 127.0.0.9 127.0.0.11 127.0.0.12 ");
  EXPECT_EQ(FileHosts(), "127.0.0.10 127.0.0.9 127.0.0.11 127.0.0.12 ");

  // A line that is no host keeps the dialog open and adds nothing, not even the good one.
  const std::string said = Answer([] { Command(CLumoretDlg::kAddHostsCommand); },
                                  Type("127.0.0.13\nbad\x01line", wxMOD_CONTROL));
  EXPECT_NE(said, "") << "a control character was taken";
  EXPECT_EQ(Rows(), "127.0.0.10 127.0.0.9 127.0.0.11 127.0.0.12 ");

  // Edited in place, the comment after the host kept on its line; the same text again is
  // no change, so the target keeps its figures.
  Select({"127.0.0.9"});
  EXPECT_EQ(Answer([] { PressInList(WXK_F2); }, Type("127.0.0.8", 0)), "");
  EXPECT_EQ(Rows(), "127.0.0.10 127.0.0.8 127.0.0.11 127.0.0.12 ");
  EXPECT_TRUE(std::regex_search(FileText(), std::regex("\n127\\.0\\.0\\.8\\s*# router\n")))
      << FileText();
  const DelayTarget* edited = manager_->targets[1].get();
  Select({"127.0.0.8"});
  EXPECT_EQ(
      Answer([] { Command(CLumoretDlg::kEditHostCommand); }, Type(manager_->targets[1]->host, 0)),
      "");
  EXPECT_EQ(manager_->targets[1].get(), edited) << "an unchanged text made a new target";

  // Up to 3 rows go at once; above that the user is asked, and No keeps them.
  Select({"127.0.0.11"});
  PressInList(WXK_DELETE);
  EXPECT_TRUE(WaitFor([] { return Rows() == "127.0.0.10 127.0.0.8 127.0.0.12 "; }, 2000)) << Rows();
  std::ofstream("config.ini", std::ios::app) << "127.0.0.14\n";
  ASSERT_TRUE(WaitFor([] { return list->GetItemCount() == 4; }, 3000));
  list->SelectAll();
  EXPECT_EQ(Answer([] { Command(CLumoretDlg::kDeleteHostsCommand); }, Press(wxID_NO)),
            "删除 4 台主机？");
  EXPECT_EQ(FileHosts(), "127.0.0.10 127.0.0.8 127.0.0.12 127.0.0.14 ");
  list->SelectAll();
  Answer([] { PressInList(WXK_DELETE); }, Press(wxID_YES));
  EXPECT_EQ(Rows(), "");
  EXPECT_EQ(FileHosts(), "");
  const std::string text = FileText();
  EXPECT_EQ(text.rfind("# office\n", 0), 0u) << text;
  EXPECT_NE(text.find("# end\n"), std::string::npos) << text;
}

TEST_F(HostListEditorTest, ConfigRewrittenByAnotherProcessShowsInTheRowsAndABadOneIsRefused) {
  const DelayTarget* kept = manager_->targets[0].get();
  Rewrite("# moved\n127.0.0.20\n127.0.0.10\n");
  EXPECT_TRUE(WaitFor([] { return Rows() == "127.0.0.20 127.0.0.10 "; }, 2000)) << Rows();
  EXPECT_EQ(manager_->targets[1].get(), kept) << "a host still listed lost its figures";

  // Too long a line: the rows stay, and the bar says which file and why.
  Rewrite("127.0.0.30\n" + std::string(70000, 'x') + "\n");
  EXPECT_TRUE(WaitFor([] { return NoticeText().find("config.ini") != std::string::npos; }, 2000))
      << NoticeText();
  EXPECT_EQ(Rows(), "127.0.0.20 127.0.0.10 ");
  EXPECT_EQ(FileText().size(), 70012u) << "the bad file was overwritten";

  Rewrite("127.0.0.30\n");
  EXPECT_TRUE(WaitFor([] { return Rows() == "127.0.0.30 "; }, 2000)) << Rows();
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (std::getenv("DISPLAY") == nullptr) {
    std::puts("host_list_editor_test: no DISPLAY; skipped");
    return 77;
  }
  ::setenv("NO_AT_BRIDGE", "1", 1);
  wxApp::SetInstance(new wxApp);
  if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
    std::puts("host_list_editor_test: cannot start wxWidgets on this display; skipped");
    return 77;
  }
  int result = 0;
  {
    // An active loop, as the program's window has, so that config.ini's watcher is the
    // system's and not only the regular look.
    wxGUIEventLoop loop;
    wxEventLoopActivator active(&loop);
    result = RUN_ALL_TESTS();
  }
  wxTheApp->OnExit();
  wxEntryCleanup();
  return result;
}
