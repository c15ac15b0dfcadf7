// Hosts added, edited and deleted from the main window (tests/ui/window_test.h), and
// config.ini changed beside it by another process; config.ini holds loopback addresses
// and comments.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <wx/app.h>
#include <wx/evtloop.h>
#include <wx/infobar.h>
#include <wx/init.h>
#include <wx/msgdlg.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/utils.h>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/delay_time_mgr.h"
#include "engine/target_list.h"
#include "tests/ui/window_test.h"
#include "tests/ui/wx_test_main.h"
#include "ui/host_text_dlg.h"
#include "ui/lumoret_dlg.h"
#include "ui/target_list_ctrl.h"

namespace {

// Comments and a blank line around the hosts, which every change must keep.
constexpr char kConfig[] = "# office\n127.0.0.10\n\n127.0.0.9 # router\n# end\n";

// A host without the blanks before a comment, nor the row's mark of a name not resolved.
std::string Bare(const std::string& host) {
  return std::regex_replace(host, std::regex("^[*\\s]+|\\s+$"), "");
}

// The rows' hosts in one text, in config.ini's order whatever the sort.
std::string Rows() {
  std::vector<std::string> hosts(static_cast<std::size_t>(list->GetItemCount()));
  for (long row = 0; row < list->GetItemCount(); ++row) {
    hosts.at(list->TargetAt(row)) =
        list->GetItemText(row, ColumnIndex(Column::kHost)).utf8_string();
  }
  std::string text;
  for (const std::string& host : hosts) {
    text += Bare(host) + " ";
  }
  return text;
}

// config.ini's hosts as the engine reads them, in one text.
std::string FileHosts() {
  std::istringstream in(FileText("config.ini"));
  std::string text;
  for (const std::string& host : ReadTargetList(in)) {
    text += Bare(host) + " ";
  }
  return text;
}

// Writes config.ini as editors and configuration tools do: another file renamed over it.
void Rewrite(const std::string& text) {
  std::ofstream("config.ini.new", std::ios::binary) << text;
  std::filesystem::rename("config.ini.new", "config.ini");
}

void SelectOnly(const std::string& host) {
  for (long row = 0; row < list->GetItemCount(); ++row) {
    const bool wanted =
        Bare(list->GetItemText(row, ColumnIndex(Column::kHost)).utf8_string()) == host;
    list->SetItemState(row, wanted ? wxLIST_STATE_SELECTED : 0, wxLIST_STATE_SELECTED);
  }
}

void Command(int id) {
  wxPostEvent(dlg, wxCommandEvent(wxEVT_MENU, id));
}

// Types text into the host dialog and presses Enter, with Ctrl or not; what the dialog
// says if it stays open, after which it is cancelled.
std::function<std::string(wxDialog*)> Type(const std::string& text, bool ctrl) {
  return [text, ctrl](wxDialog* box) {
    auto* dialog = dynamic_cast<CHostTextDlg*>(box);
    if (dialog == nullptr) {
      box->EndModal(wxID_CANCEL);
      return std::string("not the host dialog");
    }
    dialog->text_field->SetValue(wxString::FromUTF8(text));
    wxKeyEvent enter(wxEVT_CHAR_HOOK);
    enter.m_keyCode = WXK_RETURN;
    enter.SetControlDown(ctrl);
    dialog->GetEventHandler()->ProcessEvent(enter);
    if (!dialog->IsModal()) {
      return std::string();
    }
    dialog->EndModal(wxID_CANCEL);
    return "still open: " + dialog->message->GetLabel().utf8_string();
  };
}

class HostListEditorTest : public WindowTest {
 protected:
  HostListEditorTest() : WindowTest(kConfig) {}

  void SetUp() override {
    WindowTest::SetUp();
    // The editor starts reading and watching config.ini once the loop turns.
    for (int i = 0; i < 10 && !HasFatalFailure(); ++i) {
      wxTheApp->Yield(true);
    }
    ASSERT_EQ(Rows(), "127.0.0.10 127.0.0.9 ");
  }
};

TEST_F(HostListEditorTest, AddEditDeleteByKeysAndMenuSaveConfigWithItsComments) {
  // Pasted lines; Enter alone makes a new line in that field, Ctrl+Enter adds.
  const std::string added = "127.0.0.11\n127.0.0.12 # new\n127.0.0.13";
  EXPECT_NE(Answer([] { KeyIn(list, WXK_INSERT); }, Type(added, false)), "")
      << "Enter closed the field of many lines";
  EXPECT_EQ(Answer([] { KeyIn(list, WXK_INSERT); }, Type(added, true)), "");
  EXPECT_EQ(Rows(), "127.0.0.10 127.0.0.9 127.0.0.11 127.0.0.12 127.0.0.13 ");
  EXPECT_EQ(FileHosts(), Rows());

  // A line that is no host keeps the dialog open and adds nothing, not even the good one.
  EXPECT_NE(
      Answer([] { Command(CLumoretDlg::kAddHostsCommand); }, Type("127.0.0.14\nbad\x01line", true)),
      "");
  EXPECT_EQ(FileHosts(), "127.0.0.10 127.0.0.9 127.0.0.11 127.0.0.12 127.0.0.13 ");

  // Edited in place, the comment after it kept; the same text again is no change, so the
  // target keeps its figures.
  SelectOnly("127.0.0.9");
  EXPECT_EQ(Answer([] { KeyIn(list, WXK_F2); }, Type("127.0.0.8", false)), "");
  EXPECT_EQ(Rows(), "127.0.0.10 127.0.0.8 127.0.0.11 127.0.0.12 127.0.0.13 ");
  EXPECT_TRUE(
      std::regex_search(FileText("config.ini"), std::regex("\n127\\.0\\.0\\.8\\s*# router\n")))
      << FileText("config.ini");
  const DelayTarget* edited = manager_->targets[1].get();
  SelectOnly("127.0.0.8");
  Answer([] { Command(CLumoretDlg::kEditHostCommand); }, Type(manager_->targets[1]->host, false));
  EXPECT_EQ(manager_->targets[1].get(), edited) << "an unchanged text made a new target";

  // Up to 3 rows go at once; above that the user is asked, and No keeps them.
  SelectOnly("127.0.0.11");
  KeyIn(list, WXK_DELETE);
  EXPECT_TRUE(WaitFor([] { return list->GetItemCount() == 4; }, 2000));
  EXPECT_EQ(FileHosts(), "127.0.0.10 127.0.0.8 127.0.0.12 127.0.0.13 ");
  list->SelectAll();
  EXPECT_EQ(Answer([] { Command(CLumoretDlg::kDeleteHostsCommand); }, Press(wxID_NO)),
            "删除 4 台主机？");
  EXPECT_EQ(FileHosts(), "127.0.0.10 127.0.0.8 127.0.0.12 127.0.0.13 ");
  Answer([] { KeyIn(list, WXK_DELETE); }, Press(wxID_YES));
  EXPECT_EQ(Rows(), "");
  const std::string text = FileText("config.ini");
  EXPECT_EQ(FileHosts(), "") << text;
  EXPECT_EQ(text.rfind("# office\n", 0), 0u) << text;
  EXPECT_NE(text.find("# end\n"), std::string::npos) << text;
}

TEST_F(HostListEditorTest, AFileThatCannotBeSavedChangesNothingAndSaysWhy) {
  // Writes past a few bytes fail (EFBIG), for root too.
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit small{8, limit.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &small);
  const std::string said = Answer([] { Command(CLumoretDlg::kAddHostsCommand); },
                                  {Type("127.0.0.11", true), Press(wxID_OK)});
  ::setrlimit(RLIMIT_FSIZE, &limit);
  EXPECT_EQ(Rows(), "127.0.0.10 127.0.0.9 ");
  EXPECT_EQ(FileText("config.ini"), kConfig);
  EXPECT_NE(said.find("config.ini："), std::string::npos) << said;
  EXPECT_NE(said.find(std::strerror(EFBIG)), std::string::npos) << said;
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

  Rewrite("127.0.0.30\n");
  EXPECT_TRUE(WaitFor([] { return Rows() == "127.0.0.30 "; }, 2000)) << Rows();
}

// Another program writes config.ini while the add dialog is open, so that the window has
// not read it yet when the dialog confirms: its write is kept, and the rows follow it.
TEST_F(HostListEditorTest, AChangeNeverSavesOverWhatAnotherProgramJustWrote) {
  const Answerer write_then_add = [](wxDialog* box) {
    Rewrite("127.0.0.20 # theirs\n");
    return Type("127.0.0.11", true)(box);
  };
  const std::string said =
      Answer([] { Command(CLumoretDlg::kAddHostsCommand); }, {write_then_add, Press(wxID_OK)});
  EXPECT_NE(said.find("其他程序"), std::string::npos) << said;
  EXPECT_EQ(FileText("config.ini"), "127.0.0.20 # theirs\n");
  EXPECT_EQ(Rows(), "127.0.0.20 ");
}

}  // namespace

// An active loop, as the program's window has, so that config.ini's watcher is the
// system's and not only the regular look.
int main(int argc, char** argv) {
  return RunWxTests(argc, argv, "host_list_editor_test", true);
}
