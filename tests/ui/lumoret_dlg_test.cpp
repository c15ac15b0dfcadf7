// The main window over a real engine. Runs in a private network namespace
// (tests/isolated) on the X display in $DISPLAY. Every test has a window and an engine of
// its own, in a temporary working directory whose config.ini names loopback twice and a
// name that cannot resolve.
#include "ui/lumoret_dlg.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/hyperlink.h>
#include <wx/infobar.h>
#include <wx/init.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/delay_time_mgr.h"
#include "engine/name_resolver.h"
#include "lumoret_version.h"
#include "tests/common/temp_dir_fixture.h"
#include "ui/delay_graph.h"
#include "ui/host_details_dlg.h"
#include "ui/resolve_progress_dlg.h"
#include "ui/target_list_ctrl.h"
#ifdef LUMORET_HISTORY
#include "engine/history_store.h"
#include "ui/range_export.h"
#endif

namespace {

// The window of the test that runs, and its list: set by LumoretDlgTest for each test.
CLumoretDlg* dlg = nullptr;
TargetListCtrl* list = nullptr;

// Two rows for one host, and an unresolved one between them.
constexpr char kLoopbackTwice[] = "127.0.0.1\nnothing-here.invalid\n# again\n127.0.0.1\n";

std::string Cell(long row, Column column) {
  return list->GetItemText(row, ColumnIndex(column)).utf8_string();
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

// Makes a working directory with config.ini, an engine on it and the window over that
// engine, shown (which fills the list and starts the engine); takes all down after.
class LumoretDlgTest : public TempDirFixture {
 protected:
  void SetUp() override {
    TempDirFixture::SetUp();
    ASSERT_FALSE(HasFatalFailure());
    std::ofstream(dir_ / "config.ini") << ConfigText();
    std::filesystem::current_path(dir_);
    ASSERT_NO_THROW(manager_ = std::make_unique<DelayTimeMgr>());
    dlg = new CLumoretDlg(*manager_);
    dlg->Show();
    list = dlg->target_list;
  }

  void TearDown() override {
    if (dlg != nullptr) {
      manager_->Stop();
      wxObject* const window = dlg;
      dlg->Destroy();
      dlg = nullptr;
      list = nullptr;
      // Deleted on the next idle turn; its details windows go with it.
      const bool gone = WaitFor(
          [window] { return !wxPendingDelete.Member(window) && wxTopLevelWindows.IsEmpty(); },
          5000);
      EXPECT_TRUE(gone) << "a window outlived its test";
      if (!gone) {
        manager_.release();  // the window may still reach it
      }
    }
    manager_.reset();
    std::filesystem::current_path("/");
    TempDirFixture::TearDown();
  }

  // The text of config.ini.
  virtual std::string ConfigText() const { return kLoopbackTwice; }

  std::unique_ptr<DelayTimeMgr> manager_;  // the engine under the window
};

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

// A timer event with the given id, as the window's timer sends it.
void Tick(int id) {
  wxTimer timer(dlg, id);
  wxTimerEvent event(timer);
  dlg->GetEventHandler()->ProcessEvent(event);
}

TEST_F(LumoretDlgTest, LoopbackRowsAdvanceOnTheRefreshTimerAndTheUnresolvedRowNever) {
  ASSERT_EQ(list->GetItemCount(), 3);
  ASSERT_TRUE(WaitFor(
      [] { return Cell(0, Column::kReplies) != "0" && Cell(2, Column::kReplies) != "0"; }, 10000))
      << "no replies shown for 127.0.0.1";
  EXPECT_EQ(Cell(2, Column::kLoss), "0%");

  // The rows hold their texts until the next refresh, though the engine goes on. The event
  // loop does not turn meanwhile, so the window's own timer cannot refresh them.
  const std::string shown = Cell(0, Column::kReplies);
  const std::uint32_t replies_shown = static_cast<std::uint32_t>(std::stoul(shown));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  const auto replies = [this] { return manager_->targets[0]->reply_count.load(); };
  while (replies() <= replies_shown && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(replies(), replies_shown) << "the engine stood still";
  Tick(CLumoretDlg::kTimerId + 1);
  EXPECT_EQ(Cell(0, Column::kReplies), shown) << "another timer refreshed the rows";
  Tick(CLumoretDlg::kTimerId);
  EXPECT_NE(Cell(0, Column::kReplies), shown);
  EXPECT_EQ(Cell(1, Column::kHost), "*nothing-here.invalid");
  for (int column = ColumnIndex(Column::kAverage); column < kColumnCount; ++column) {
    EXPECT_EQ(list->GetItemText(1, column).utf8_string(), "*") << "column " << column;
  }
}

// The list in one text: each row's target, "*" after a selected one, then the sort
// indicator ("up", "down" or "unsorted").
std::string ListState() {
  std::string state;
  for (long row = 0; row < list->GetItemCount(); ++row) {
    state += std::to_string(list->TargetAt(row)) +
             (list->GetItemState(row, wxLIST_STATE_SELECTED) != 0 ? "* " : " ");
  }
  if (list->GetSortIndicator() == -1) {
    return state + "unsorted";
  }
  EXPECT_EQ(list->GetSortIndicator(), ColumnIndex(Column::kHost));
  return state + (list->IsAscendingSortIndicator() ? "up" : "down");
}

void ClickColumn(Column column) {
  wxListEvent event(wxEVT_LIST_COL_CLICK, list->GetId());
  event.SetEventObject(list);
  event.m_col = ColumnIndex(column);
  list->GetEventHandler()->ProcessEvent(event);
}

// Hosts in the order that natural sorting turns round, and text order would not.
class LumoretDlgSortTest : public LumoretDlgTest {
 protected:
  std::string ConfigText() const override {
    return "127.0.0.10\nnothing-here.invalid\n127.0.0.9\n";
  }
};

TEST_F(LumoretDlgSortTest, SortingAndRefreshesKeepTheSelectionOnItsHost) {
  list->SetItemState(-1, 0, wxLIST_STATE_SELECTED);
  list->SetItemState(2, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
  // The host column: .9 before .10, "*" last.
  ClickColumn(Column::kHost);
  EXPECT_EQ(ListState(), "2* 0 1 up");
  EXPECT_EQ(Cell(0, Column::kHost), "127.0.0.9");
  EXPECT_EQ(Cell(2, Column::kHost), "*nothing-here.invalid");
  Tick(CLumoretDlg::kTimerId);
  EXPECT_EQ(ListState(), "2* 0 1 up") << "a refresh undid the order";
  ClickColumn(Column::kHost);
  EXPECT_EQ(ListState(), "0 2* 1 down") << "reversed, with the \"*\" row still last";
  ClickColumn(Column::kHost);
  EXPECT_EQ(ListState(), "0 1 2* unsorted");

  // Ctrl+A selects every row, and all go to the copy under the titles.
  wxCommandEvent select_all(wxEVT_MENU, wxID_SELECTALL);
  dlg->GetEventHandler()->ProcessEvent(select_all);
  EXPECT_EQ(ListState(), "0* 1* 2* unsorted");
  const std::string text = list->SelectedText();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
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
  // Under a sanitizer the window manager may take the iconify after the restore: ask
  // again while the window is still iconized (once failed in a TSan run).
  EXPECT_TRUE(WaitFor(
      [&] {
        if (dlg->IsIconized()) {
          dlg->Iconize(false);
        }
        return !dlg->IsIconized() && covers();
      },
      3000))
      << "iconized " << dlg->IsIconized() << ", list " << list->GetSize().x << "x"
      << list->GetSize().y << " in " << dlg->GetClientSize().x << "x" << dlg->GetClientSize().y;
}

TEST_F(LumoretDlgTest, AboutBoxShowsItsTextsWhileTheListRefreshes) {
  std::string texts;  // the box's labels and link targets, a line each
  std::string before;
  bool refreshed = false;
  int ticks = 0;
  wxTimer probe;  // fires inside the About box's modal loop
  probe.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    wxDialog* about = ModalBox();
    if (about == nullptr) {
      return;
    }
    if (texts.empty()) {
      for (wxWindow* child : about->GetChildren()) {
        auto* link = dynamic_cast<wxHyperlinkCtrl*>(child);
        texts += (link != nullptr ? link->GetURL() : child->GetLabel()).utf8_string() + "\n";
      }
      before = Cell(0, Column::kSent);
    }
    refreshed = Cell(0, Column::kSent) != before;
    if (refreshed || ++ticks > 100) {
      about->EndModal(wxID_OK);
    }
  });
  probe.Start(100);
  dlg->OnSysCommand(CLumoretDlg::kAboutCommand);
  probe.Stop();
  // The project's version by its major and minor numbers, and the mail link's address.
  EXPECT_NE(texts.find("Lumoret, 版本 " + std::to_string(LUMORET_VERSION_MAJOR) + "." +
                       std::to_string(LUMORET_VERSION_MINOR) + "\n"),
            std::string::npos)
      << texts;
  EXPECT_NE(texts.find("mailto:lumoret@example.org\n"), std::string::npos) << texts;
  EXPECT_TRUE(refreshed) << "the list did not refresh behind the About box";
}

int DetailsWindows() {
  return static_cast<int>(std::count_if(
      wxTopLevelWindows.begin(), wxTopLevelWindows.end(),
      [](wxWindow* window) { return dynamic_cast<CHostDetailsDlg*>(window) != nullptr; }));
}

TEST_F(LumoretDlgTest, DetailsOfALoopbackRowAdvanceAndOpenOnce) {
  CHostDetailsDlg* details = dlg->OpenDetails(0);
  ASSERT_NE(details, nullptr);
  EXPECT_NE(details->graph, nullptr);
  EXPECT_EQ(details->detail_texts[DetailIndex(DetailField::kAddress)]->GetLabel(), "127.0.0.1");
  const auto probes = [details] {
    return details->cell_texts[ColumnIndex(Column::kSent)]->GetLabel().utf8_string();
  };
  const std::string before = probes();
  EXPECT_TRUE(WaitFor([&] { return probes() != before; }, 10000))
      << "the details stayed at " << before << " probes";
  EXPECT_EQ(details->detail_texts[DetailIndex(DetailField::kState)]->GetLabel().utf8_string().rfind(
                "正常 自 ", 0),
            0u);

  details->Iconize();
  EXPECT_EQ(dlg->OpenDetails(0), details);
  EXPECT_FALSE(details->IsIconized()) << "the open window was not brought back";
  EXPECT_EQ(DetailsWindows(), 1);

  CHostDetailsDlg* unresolved = dlg->OpenDetails(1);
  EXPECT_NE(unresolved, details);
  EXPECT_EQ(unresolved->graph, nullptr);
  EXPECT_EQ(unresolved->detail_texts[DetailIndex(DetailField::kState)], nullptr);
  EXPECT_EQ(DetailsWindows(), 2);

  // Closed, a host's window is gone; the next open makes a new one.
  unresolved->Close();
  details->Close();
  WaitFor([] { return DetailsWindows() == 0; }, 2000);
  EXPECT_EQ(DetailsWindows(), 0);
}

#ifdef LUMORET_HISTORY
TEST_F(LumoretDlgTest, DetailsDrawADayOfTheStoreAndNeedOneForLongerRanges) {
  // Without a store only the 10 minutes in memory can be shown.
  auto* bare = new CHostDetailsDlg(dlg, *manager_->targets[0], *manager_, [] {});
  EXPECT_TRUE(bare->range_buttons[0]->IsEnabled());
  EXPECT_FALSE(bare->range_buttons[3]->IsEnabled());
  EXPECT_FALSE(bare->range_buttons[3]->GetToolTipText().empty());
  EXPECT_FALSE(bare->export_button->IsEnabled());
  bare->Destroy();

  // Two hours of 127.0.0.1 ending now, a probe every 10 s, written in 10-minute batches;
  // its 31st to 36th minutes lost every probe.
  ProbeHistory ring;
  HistoryStore store((dir_ / "history.sqlite3").string(), {{"127.0.0.1", &ring}});
  ASSERT_TRUE(store.Open()) << store.TakeProblem();
  const HistoryStore::Clocks now = HistoryStore::Clocks::Now();
  const auto steady_start = now.steady - std::chrono::hours(2);
  for (int batch = 1; batch <= 12; ++batch) {
    for (int second = (batch - 1) * 600; second < batch * 600; second += 10) {
      const bool lost = second >= 30 * 60 && second < 36 * 60;
      ring.Add(steady_start + std::chrono::seconds(second),
               lost ? std::nullopt : std::optional<std::uint32_t>(5 + second % 7));
    }
    const std::chrono::seconds until_now((12 - batch) * 600);
    ASSERT_TRUE(store.WriteBatch({now.steady - until_now, now.wall_ms - until_now.count() * 1000}));
  }
  dlg->history = &store;
  CHostDetailsDlg* details = dlg->OpenDetails(0);
  ASSERT_TRUE(details->range_buttons[3]->IsEnabled());
  details->SelectRange(3);
  EXPECT_TRUE(details->range_buttons[3]->GetValue());
  EXPECT_FALSE(details->range_buttons[0]->GetValue());
  // Two hours of a day's 24: about a twelfth of the buckets the width holds.
  const int width = details->graph->PlotWidth();
  EXPECT_TRUE(WaitFor([&] { return details->graph->painted_buckets > width / 16; }, 5000))
      << details->graph->painted_buckets << " buckets drawn of " << width << " pixels";
  EXPECT_LE(details->graph->painted_buckets, width / 12 + 4);
  EXPECT_EQ(details->graph->view().span(), 86400);

  // Its export over the two hours: a row per probe (10 s buckets), the lost ones without
  // delays.
  const std::atomic<bool> going_on{false};
  const std::int64_t now_s = now.wall_ms / 1000;
  const std::string csv =
      RangeExport::Text(store, {"127.0.0.1"}, TimeView(now_s - 7200, now_s), going_on, "\n");
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 720);
  std::size_t lost_rows = 0;
  for (std::size_t at = csv.find(",1,1,,,\n"); at != std::string::npos;
       at = csv.find(",1,1,,,\n", at + 1)) {
    ++lost_rows;
  }
  EXPECT_EQ(lost_rows, 36u);

  details->Close();
  WaitFor([] { return DetailsWindows() == 0; }, 2000);
  dlg->history = nullptr;
}
#endif

TEST_F(LumoretDlgTest, NewDetailsWindowsCascadeInsteadOfCoveringEachOther) {
  const CHostDetailsDlg* windows[] = {dlg->OpenDetails(0), dlg->OpenDetails(2),
                                      dlg->OpenDetails(1)};
  // Until the window manager has placed all three.
  wxPoint at[3];
  WaitFor(
      [&] {
        bool settled = windows[0]->IsShownOnScreen() && windows[2]->IsShownOnScreen();
        for (int i = 0; i < 3; ++i) {
          settled = at[i] == windows[i]->GetScreenPosition() && settled;
          at[i] = windows[i]->GetScreenPosition();
        }
        return settled;
      },
      3000);
  const int step = dlg->ConvertDialogToPixels(wxSize(8, 0)).x;
  for (int i = 1; i < 3; ++i) {
    const std::string where = std::to_string(at[i - 1].x) + "," + std::to_string(at[i - 1].y) +
                              " then " + std::to_string(at[i].x) + "," + std::to_string(at[i].y);
    EXPECT_GE(at[i].x - at[i - 1].x, step) << where;
    EXPECT_GE(at[i].y - at[i - 1].y, step) << where;
  }
}

wxInfoBarGeneric* NoticeBar() {
  for (wxWindow* child : dlg->GetChildren()) {
    if (auto* bar = dynamic_cast<wxInfoBarGeneric*>(child)) {
      return bar;
    }
  }
  return nullptr;
}

TEST_F(LumoretDlgTest, KernelDropsAreToldOnceAboveTheListAndCountedInTheDetails) {
  DelayTimeMgr& manager = *dlg->manager();
  ASSERT_EQ(manager.kernel_drop_count.load(), 0u);
  Tick(CLumoretDlg::kTimerId);
  EXPECT_TRUE(NoticeBar() == nullptr || !NoticeBar()->IsShown()) << "told without a drop";

  manager.kernel_drop_count = 8328;
  Tick(CLumoretDlg::kTimerId);
  wxInfoBarGeneric* bar = NoticeBar();
  ASSERT_NE(bar, nullptr) << "no notice bar in the window";
  ASSERT_TRUE(bar->IsShown());
  std::string text;
  for (wxWindow* child : bar->GetChildren()) {
    text += child->GetLabel().utf8_string();
  }
  EXPECT_NE(text.find("8328 个回复"), std::string::npos) << text;
  EXPECT_NE(text.find("sudo sysctl net.core.rmem_max=16777216"), std::string::npos) << text;
  // The list makes room below the bar, and takes it back once the bar is closed.
  EXPECT_TRUE(WaitFor([bar] { return list->GetPosition().y >= bar->GetSize().y; }, 2000));
  EXPECT_EQ(list->GetPosition().y + list->GetSize().y, dlg->GetClientSize().y);

  CHostDetailsDlg* details = dlg->OpenDetails(0);
  ASSERT_NE(details->kernel_drop_text, nullptr);
  EXPECT_EQ(details->kernel_drop_text->GetLabel(), "8328");
  details->Close();

  bar->Dismiss();
  manager.kernel_drop_count = 9000;
  Tick(CLumoretDlg::kTimerId);
  EXPECT_FALSE(bar->IsShown()) << "a refresh brought the bar back";
  EXPECT_TRUE(WaitFor([] { return list->GetPosition().y == 0; }, 2000));
  EXPECT_EQ(list->GetSize(), dlg->GetClientSize());
}

// The text of the modal box that comes up within timeout_ms while action runs, closed
// again; empty when none came.
template <typename Action>
std::string BoxDuring(Action action, int timeout_ms) {
  std::string text;
  wxSize size;
  wxTimer probe;
  int ticks = 0;
  probe.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    if (auto* box = dynamic_cast<wxGenericMessageDialog*>(ModalBox())) {
      text = box->GetMessage().utf8_string();
      size = box->GetSize();
      box->EndModal(wxID_OK);
    }
    ++ticks;
  });
  probe.Start(50);
  action();
  WaitFor([&] { return !text.empty() || ticks * 50 > timeout_ms; }, timeout_ms + 1000);
  probe.Stop();
  EXPECT_LE(size.x, wxGetDisplaySize().x * 2 / 3) << "the box is wider than a readable line";
  return text;
}

std::string WithoutLineBreaks(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

TEST_F(LumoretDlgTest, HelpWithoutAViewerSaysWhereTheFileIs) {
  // A PATH with a shell but no opener.
  const std::filesystem::path bin = std::filesystem::current_path() / "bin";
  std::filesystem::create_directory(bin);
  std::filesystem::create_symlink("/bin/sh", bin / "sh");
  std::ofstream(std::filesystem::current_path() / "ReadMe.txt") << "help";
  const std::string old_path = std::getenv("PATH");
  ::setenv("PATH", bin.c_str(), 1);
  const std::string text = BoxDuring([] { dlg->OnSysCommand(CLumoretDlg::kHelpCommand); }, 3000);
  ::setenv("PATH", old_path.c_str(), 1);
  std::filesystem::remove_all(bin);
  std::filesystem::remove(std::filesystem::current_path() / "ReadMe.txt");
  EXPECT_NE(WithoutLineBreaks(text).find((std::filesystem::current_path() / "ReadMe.txt").string()),
            std::string::npos)
      << "no box naming the file: " << text;
}

TEST_F(LumoretDlgTest, ExportWritesEveryRowOrLeavesNothingAndSaysWhyInABoxThatFits) {
  // Every row, with the details columns (the address probed); the texts are
  // detail_texts_test's.
  EXPECT_FALSE(dlg->ExportTo("rows.csv"));
  std::ostringstream csv;
  csv << std::ifstream("rows.csv").rdbuf();
  const std::string text = csv.str();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
  EXPECT_NE(text.find("\n127.0.0.1,"), std::string::npos) << text;
  EXPECT_NE(text.find(",127.0.0.1,"), std::string::npos) << "no address probed";
  EXPECT_NE(text.find("\n*nothing-here.invalid,*,"), std::string::npos) << text;

  // A failed one names the whole file and the reason.
  const std::string name = "no-such-folder/" + std::string(250, 'n') + ".csv";
  const std::string box = BoxDuring([&] { dlg->SaveCsv(wxString::FromUTF8(name)); }, 2000);
  EXPECT_NE(WithoutLineBreaks(box).find(name), std::string::npos) << box;
  EXPECT_NE(WithoutLineBreaks(box).find("No such file or directory"), std::string::npos) << box;
  std::filesystem::remove("rows.csv");
  // Nothing half-written is left behind, by either export.
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(".")) {
    left.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(left, std::vector<std::string>{"config.ini"});
}

TEST(ResolveProgressDlg, CountsTheNameWaitedForAndCancelGivesUpOnTheRest) {
  // "fast" resolves at once; "slow" hangs until the test lets it go.
  auto release = std::make_shared<std::atomic<bool>>(false);
  NameResolver names(
      {"fast", "slow-\xFF", "slow-2"},
      [release](const std::string& host) -> std::optional<NameResolver::Address> {
        while (host != "fast" && !*release) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return NameResolver::Address();
      },
      2);
  CResolveProgressDlg progress(names);
  const std::string expected_count = "Resolving host names: 1 of 3 done";
  const std::string expected_waiting = "Waiting for: slow-\xEF\xBF\xBD";
  std::string count;
  std::string waiting;
  int ticks = 0;
  wxTimer probe;
  // Once the first name is done, until the texts have caught up with it (5 s at most).
  probe.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    if (names.done() != 1 || !progress.IsModal()) {
      return;
    }
    count = progress.count_text->GetLabel().utf8_string();
    waiting = progress.waiting_text->GetLabel().utf8_string();
    if ((count != expected_count || waiting != expected_waiting) && ++ticks < 100) {
      return;
    }
    wxCommandEvent click(wxEVT_BUTTON, wxID_CANCEL);
    progress.FindWindow(wxID_CANCEL)->GetEventHandler()->ProcessEvent(click);
  });
  probe.Start(50);
  EXPECT_EQ(progress.ShowModal(), wxID_CANCEL);
  probe.Stop();
  names.Cancel();
  EXPECT_EQ(count, expected_count);
  EXPECT_EQ(waiting, expected_waiting);
  const auto results = names.Results();
  EXPECT_TRUE(results[0]);
  EXPECT_FALSE(results[1] || results[2]);
  *release = true;
}

TEST_F(LumoretDlgTest, AnErrorThatEndsTheWorkerIsShownOnce) {
  boost::asio::post(manager_->io_service, [] { throw std::runtime_error("injected failure"); });
  int boxes = 0;
  std::string title;
  wxTimer probe;
  probe.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    if (wxDialog* box = ModalBox()) {
      ++boxes;
      title = box->GetTitle().utf8_string();
      box->EndModal(wxID_OK);
    }
  });
  probe.Start(50);
  ASSERT_TRUE(WaitFor([this] { return !manager_->LastError().empty(); }, 5000))
      << "the worker did not end";
  // Three refreshes at least: the error must come up once, not on every one.
  for (int i = 0; i < 3; ++i) {
    Tick(CLumoretDlg::kTimerId);
  }
  EXPECT_TRUE(WaitFor(
      [&] { return boxes > 0 && ModalBox() == nullptr && !wxTheApp->HasPendingEvents(); }, 5000));
  probe.Stop();
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
  ::setenv("NO_AT_BRIDGE", "1", 1);
  wxApp::SetInstance(new wxApp);
  if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
    std::puts("lumoret_dlg_test: cannot start wxWidgets on this display; skipped");
    return 77;
  }
  const int result = RUN_ALL_TESTS();
  wxTheApp->OnExit();
  wxEntryCleanup();
  return result;
}
