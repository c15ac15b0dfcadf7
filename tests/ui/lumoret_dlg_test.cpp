// The main window over a real engine. Runs in a private network namespace
// (tests/isolated) on the X display in $DISPLAY, in a temporary working directory whose
// config.ini names loopback twice and a name that cannot resolve.
#include "ui/lumoret_dlg.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/button.h>
#include <wx/hyperlink.h>
#include <wx/init.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/utils.h>

#include <boost/asio/post.hpp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>

#include "engine/delay_time_mgr.h"

namespace {

namespace fs = std::filesystem;

fs::path work_dir;

std::string Cell(wxListCtrl* list, long row, int column) {
  return list->GetItemText(row, column).utf8_string();
}

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

// One window for the whole suite: the engine starts once per process.
class LumoretDlgTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dlg = new CLumoretDlg();
    dlg->Show();  // sends the init-dialog event, which creates and starts the engine
    list = dlg->target_list;
  }
  static void TearDownTestSuite() {
    if (dlg->manager() != nullptr) {
      dlg->manager()->Stop();
    }
    dlg->Destroy();
    WaitFor([] { return false; }, 50);
    dlg = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(dlg->startup_error().empty()) << dlg->startup_error();
    ASSERT_NE(dlg->manager(), nullptr);
  }

  static CLumoretDlg* dlg;
  static wxListCtrl* list;
};

CLumoretDlg* LumoretDlgTest::dlg = nullptr;
wxListCtrl* LumoretDlgTest::list = nullptr;

TEST_F(LumoretDlgTest, InitialRowsAndColumns) {
  EXPECT_EQ(dlg->GetTitle(), "Lumoret");
  ASSERT_EQ(list->GetColumnCount(), 9);
  const char* titles[] = {"IP或域名", "平均延迟", "当前延迟", "最大延迟", "最小延迟",
                          "丢包率",   "ping总数", "成功次数", "超时次数"};
  const int widths[] = {125, 75, 75, 75, 75, 75, 75, 75, 75};
  for (int column = 0; column < 9; ++column) {
    wxListItem item;
    item.SetMask(wxLIST_MASK_TEXT | wxLIST_MASK_WIDTH);
    ASSERT_TRUE(list->GetColumn(column, item));
    EXPECT_EQ(item.GetText().utf8_string(), titles[column]);
    EXPECT_EQ(item.GetWidth(), widths[column]);
  }
  // The first counted reply comes a second after the first request, so these are
  // still the texts of the fill.
  ASSERT_EQ(list->GetItemCount(), 3);
  const char* fresh[] = {"- ms", "- ms", "- ms", "- ms", "-%", "0", "0", "0"};
  for (long row : {0L, 2L}) {
    EXPECT_EQ(Cell(list, row, 0), "127.0.0.1");
    for (int column = 1; column < 9; ++column) {
      EXPECT_EQ(Cell(list, row, column), fresh[column - 1]) << "row " << row << " col " << column;
    }
  }
  EXPECT_EQ(Cell(list, 1, 0), "*nothing-here.invalid");
  for (int column = 1; column < 9; ++column) {
    EXPECT_EQ(Cell(list, 1, column), "*");
  }
}

TEST_F(LumoretDlgTest, LoopbackRowsAdvanceAndTheUnresolvedRowNeverChanges) {
  ASSERT_TRUE(WaitFor([] { return Cell(list, 0, 7) != "0" && Cell(list, 2, 7) != "0"; }, 10000))
      << "no replies shown for 127.0.0.1";
  for (long row : {0L, 2L}) {
    EXPECT_NE(Cell(list, row, 1), "- ms");
    EXPECT_EQ(Cell(list, row, 5), "0%");
    EXPECT_EQ(Cell(list, row, 8), "0");
  }
  EXPECT_EQ(Cell(list, 1, 0), "*nothing-here.invalid");
  for (int column = 1; column < 9; ++column) {
    EXPECT_EQ(Cell(list, 1, column), "*");
  }
}

TEST_F(LumoretDlgTest, OnlyTheRefreshTimerRewritesCells) {
  list->SetItem(0, 6, "stale");
  wxTimer other(dlg, CLumoretDlg::kTimerId + 1);
  wxTimerEvent other_tick(other);
  dlg->GetEventHandler()->ProcessEvent(other_tick);
  EXPECT_EQ(Cell(list, 0, 6), "stale");

  wxTimer refresh(dlg, CLumoretDlg::kTimerId);
  wxTimerEvent refresh_tick(refresh);
  dlg->GetEventHandler()->ProcessEvent(refresh_tick);
  EXPECT_NE(Cell(list, 0, 6), "stale");
  EXPECT_EQ(Cell(list, 1, 6), "*");
}

TEST_F(LumoretDlgTest, ListCoversTheClientAreaAfterResizeAndRestore) {
  const auto covers = [] {
    return list->GetPosition() == wxPoint(0, 0) && list->GetSize() == dlg->GetClientSize();
  };
  ASSERT_TRUE(WaitFor(covers, 3000));
  dlg->SetClientSize(640, 300);
  EXPECT_TRUE(WaitFor([&] { return dlg->GetClientSize() == wxSize(640, 300) && covers(); }, 3000))
      << "list " << list->GetSize().x << "x" << list->GetSize().y;
  dlg->Maximize();
  EXPECT_TRUE(WaitFor([&] { return dlg->GetClientSize().x > 640 && covers(); }, 3000));
  dlg->Maximize(false);
  dlg->Iconize();
  WaitFor([] { return dlg->IsIconized(); }, 2000);
  dlg->Iconize(false);
  dlg->Raise();
  EXPECT_TRUE(WaitFor([&] { return !dlg->IsIconized() && covers(); }, 3000));
}

// Texts of a window's controls, whatever their kind.
std::set<std::string> ControlTexts(wxWindow* window) {
  std::set<std::string> texts;
  for (wxWindow* child : window->GetChildren()) {
    if (auto* link = dynamic_cast<wxHyperlinkCtrl*>(child)) {
      texts.insert(link->GetURL().utf8_string());
    }
    texts.insert(child->GetLabel().utf8_string());
  }
  return texts;
}

TEST_F(LumoretDlgTest, AboutBoxShowsItsTextsWhileTheListRefreshes) {
  std::set<std::string> texts;
  std::string title;
  std::string before;
  bool refreshed = false;
  int ticks = 0;
  // Runs inside the About box's modal loop.
  wxTimer probe;
  probe.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    wxDialog* about = nullptr;
    for (wxWindow* window : wxTopLevelWindows) {
      auto* dialog = dynamic_cast<wxDialog*>(window);
      if (dialog != nullptr && dialog != dlg && dialog->IsModal()) {
        about = dialog;
      }
    }
    ++ticks;
    if (about == nullptr) {
      return;
    }
    if (title.empty()) {
      title = about->GetTitle().utf8_string();
      texts = ControlTexts(about);
      before = Cell(list, 0, 6);
    } else if (Cell(list, 0, 6) != before) {
      refreshed = true;
    }
    if (refreshed || ticks > 100) {
      about->EndModal(wxID_OK);
    }
  });
  probe.Start(100);
  dlg->OnSysCommand(CLumoretDlg::kAboutCommand);
  probe.Stop();

  EXPECT_EQ(title, "关于 Lumoret");
  for (const char* text : {"Lumoret, 版本 1.4", "确定", "版本信息",
                           "Email : ", "mailto:lumoret@example.org", "lumoret@example.org"}) {
    EXPECT_EQ(texts.count(text), 1u) << text;
  }
  EXPECT_TRUE(refreshed) << "the list did not refresh behind the About box";
}

// Last: it ends the engine's worker for good.
TEST_F(LumoretDlgTest, AnErrorThatEndsTheWorkerIsShownOnce) {
  boost::asio::post(dlg->manager()->io_service,
                    [] { throw std::runtime_error("injected failure"); });
  int boxes = 0;
  std::string title;
  wxTimer probe;
  probe.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    for (wxWindow* window : wxTopLevelWindows) {
      auto* box = dynamic_cast<wxDialog*>(window);
      if (box != nullptr && box != dlg && box->IsModal()) {
        ++boxes;
        title = box->GetTitle().utf8_string();
        box->EndModal(wxID_OK);
      }
    }
  });
  probe.Start(50);
  // Three refreshes at least: the error must come up once, not on every tick.
  WaitFor([] { return false; }, 3500);
  probe.Stop();
  EXPECT_EQ(dlg->manager()->LastError(), "injected failure");
  EXPECT_EQ(boxes, 1);
  EXPECT_EQ(title, "Lumoret: engine stopped");
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (std::getenv("DISPLAY") == nullptr) {
    std::puts("lumoret_dlg_test: no DISPLAY; skipped");
    return 77;
  }
  char pattern[] = "/tmp/lumoret_dlg_test.XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    return 1;
  }
  work_dir = pattern;
  std::ofstream(work_dir / "config.ini") << "127.0.0.1\nnothing-here.invalid\n# again\n127.0.0.1\n";
  fs::current_path(work_dir);

  ::setenv("NO_AT_BRIDGE", "1", 1);
  wxApp::SetInstance(new wxApp);
  if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
    std::puts("lumoret_dlg_test: cannot start wxWidgets on this display; skipped");
    return 77;
  }
  const int result = RUN_ALL_TESTS();
  wxTheApp->OnExit();
  wxEntryCleanup();
  fs::current_path("/");
  fs::remove_all(work_dir);
  return result;
}
