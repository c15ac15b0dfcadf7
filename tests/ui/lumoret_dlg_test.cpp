// The main window over a real engine (tests/ui/window_test.h), on a config.ini that names
// two loopback addresses and, between them, a name that cannot resolve.
#include "ui/lumoret_dlg.h"

#include <gtest/gtest.h>
#include <unistd.h>
// The port's wxStaticText before the generic one, whose header would keep it out.
#include <wx/stattext.h>

#include <wx/app.h>
#include <wx/checkbox.h>
#include <wx/config.h>
#include <wx/display.h>
#include <wx/generic/stattextg.h>
#include <wx/hyperlink.h>
#include <wx/image.h>
#include <wx/imagpng.h>
#include <wx/infobar.h>
#include <wx/init.h>
#include <wx/msgdlg.h>
#include <wx/spinctrl.h>
#include <wx/utils.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/delay_time_mgr.h"
#include "engine/name_resolver.h"
#include "lumoret_version.h"
#include "tests/ui/window_test.h"
#include "tests/ui/wx_test_main.h"
#include "ui/delay_graph.h"
#include "ui/host_details_dlg.h"
#include "ui/lumoret_tray_icon.h"
#include "ui/outage_log_dlg.h"
#include "ui/outage_log_list.h"
#include "ui/resolve_progress_dlg.h"
#include "ui/settings_dlg.h"
#include "ui/settings_file.h"
#include "ui/target_list_ctrl.h"
#ifdef LUMORET_HISTORY
#include "engine/history_store.h"
#include "ui/range_export.h"
#endif

namespace {

// In the order that natural sorting turns round, and text order would not.
constexpr char kConfig[] = "127.0.0.10\nnothing-here.invalid\n127.0.0.9\n";

std::string Cell(long row, Column column) {
  return list->GetItemText(row, ColumnIndex(column)).utf8_string();
}

class LumoretDlgTest : public WindowTest {
 protected:
  LumoretDlgTest() : WindowTest(kConfig) {}
};

// A timer event with the given id, as the window's timer sends it.
void Tick(int id) {
  wxTimer timer(dlg, id);
  wxTimerEvent event(timer);
  dlg->GetEventHandler()->ProcessEvent(event);
}

TEST_F(LumoretDlgTest, LoopbackRowsAdvanceOnTheRefreshTimerOnly) {
  ASSERT_EQ(list->GetItemCount(), 3);
  ASSERT_TRUE(WaitFor(
      [] { return Cell(0, Column::kReplies) != "0" && Cell(2, Column::kReplies) != "0"; }, 10000))
      << "no replies shown for loopback";
  EXPECT_EQ(Cell(2, Column::kLoss), "0%");

  // The rows hold their texts until the next refresh, though the engine goes on. The event
  // loop does not turn meanwhile, so the window's own timer cannot refresh them.
  const std::string shown = Cell(0, Column::kReplies);
  const std::atomic<std::uint32_t>& replies = manager_->targets[0]->reply_count;
  for (int i = 0; i < 500 && replies <= std::stoul(shown); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(replies, std::stoul(shown)) << "the engine stood still";
  Tick(CLumoretDlg::kTimerId + 1);
  EXPECT_EQ(Cell(0, Column::kReplies), shown) << "another timer refreshed the rows";
  Tick(CLumoretDlg::kTimerId);
  EXPECT_NE(Cell(0, Column::kReplies), shown);
}

// The list in one text: each row's host, "*" after a selected one, then the sort
// indicator ("up", "down" or "unsorted").
std::string ListState() {
  std::string state;
  for (long row = 0; row < list->GetItemCount(); ++row) {
    state += Cell(row, Column::kHost) +
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

TEST_F(LumoretDlgTest, SortingAndRefreshesKeepTheSelectionOnItsHost) {
  list->SetItemState(-1, 0, wxLIST_STATE_SELECTED);
  list->SetItemState(2, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
  // The host column: .9 before .10, "*" last.
  ClickColumn(Column::kHost);
  const std::string up = "127.0.0.9* 127.0.0.10 *nothing-here.invalid up";
  EXPECT_EQ(ListState(), up);
  Tick(CLumoretDlg::kTimerId);
  EXPECT_EQ(ListState(), up) << "a refresh undid the order";
  ClickColumn(Column::kHost);
  EXPECT_EQ(ListState(), "127.0.0.10 127.0.0.9* *nothing-here.invalid down")
      << "reversed, with the \"*\" row still last";
  ClickColumn(Column::kHost);
  EXPECT_EQ(ListState(), "127.0.0.10 *nothing-here.invalid 127.0.0.9* unsorted");

  // Ctrl+A selects every row, and all go to the copy under the titles.
  wxCommandEvent select_all(wxEVT_MENU, wxID_SELECTALL);
  dlg->GetEventHandler()->ProcessEvent(select_all);
  EXPECT_EQ(ListState(), "127.0.0.10* *nothing-here.invalid* 127.0.0.9* unsorted");
  const std::string text = list->SelectedText();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
}

// Whether the filter box spans the client area's width from top, and the list from under
// it down to the status bar, which takes the bottom with little more than its text's height.
bool FillsClientArea(int top) {
  const wxSize client = dlg->GetClientSize();
  const wxRect filter = dlg->filter_box->GetRect();
  const wxRect rows = list->GetRect();
  const wxRect bar = dlg->status_bar->GetRect();
  return filter.GetTopLeft() == wxPoint(0, top) && filter.width == client.x && filter.height > 0 &&
         rows.GetTopLeft() == wxPoint(0, filter.GetBottom() + 1) && rows.width == client.x &&
         bar.GetTop() > rows.GetBottom() && bar.GetBottom() < client.y &&
         client.y - rows.GetBottom() <= 2 * bar.height && bar.height > 0;
}

TEST_F(LumoretDlgTest, ListCoversTheClientAreaAfterResizeAndRestore) {
  const auto covers = [] { return FillsClientArea(0); };
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
  EXPECT_NE(texts.find("mailto:maintainers@lumoret.org\n"), std::string::npos) << texts;
  EXPECT_TRUE(refreshed) << "the list did not refresh behind the About box";
}

int DetailsWindows() {
  return static_cast<int>(std::count_if(
      wxTopLevelWindows.begin(), wxTopLevelWindows.end(),
      [](wxWindow* window) { return dynamic_cast<CHostDetailsDlg*>(window) != nullptr; }));
}

TEST_F(LumoretDlgTest, DetailsOfALoopbackRowAdvanceOpenOnceAndCascade) {
  CHostDetailsDlg* const windows[] = {dlg->OpenDetails(0), dlg->OpenDetails(2),
                                      dlg->OpenDetails(1)};
  CHostDetailsDlg* const details = windows[0];
  ASSERT_NE(details, nullptr);
  EXPECT_NE(details->graph, nullptr);
  EXPECT_EQ(details->detail_texts[DetailIndex(DetailField::kAddress)]->GetLabel(), "127.0.0.10");
  const auto probes = [details] {
    return details->cell_texts[ColumnIndex(Column::kSent)]->GetLabel().utf8_string();
  };
  const std::string before = probes();
  EXPECT_TRUE(WaitFor([&] { return probes() != before; }, 10000))
      << "the details stayed at " << before << " probes";
  EXPECT_EQ(details->detail_texts[DetailIndex(DetailField::kState)]->GetLabel().utf8_string().rfind(
                "正常 自 ", 0),
            0u);
  EXPECT_EQ(windows[2]->graph, nullptr) << "a graph for the unresolved row";
  EXPECT_EQ(windows[2]->detail_texts[DetailIndex(DetailField::kState)], nullptr);

  // Each new window one step below and right of the one before, once the window manager
  // has placed all three.
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

  // A host's open window is brought back, not opened twice; closed, all are gone.
  details->Iconize();
  EXPECT_EQ(dlg->OpenDetails(0), details);
  EXPECT_FALSE(details->IsIconized()) << "the open window was not brought back";
  EXPECT_EQ(DetailsWindows(), 3);
  for (CHostDetailsDlg* window : windows) {
    window->Close();
  }
  EXPECT_TRUE(WaitFor([] { return DetailsWindows() == 0; }, 2000));
}

TEST_F(LumoretDlgTest, AChangedListKeepsTheSortSelectionAndDetailsOfTheHostsThatStay) {
  // Until the engine's worker follows a changed list itself, it must not run beside one.
  manager_->Stop();
  ClickColumn(Column::kHost);
  list->SetItemState(-1, 0, wxLIST_STATE_SELECTED);
  list->SetItemState(1, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
  list->SetItemState(2, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
  list->SetItemState(1, wxLIST_STATE_FOCUSED, wxLIST_STATE_FOCUSED);
  ASSERT_EQ(ListState(), "127.0.0.9 127.0.0.10* *nothing-here.invalid* up");
  CHostDetailsDlg* const kept = dlg->OpenDetails(0);
  dlg->OpenDetails(1);

  // A new name first, the one that did not resolve gone.
  const std::vector<std::size_t> previous =
      manager_->ChangeTargets({{DelayTimeMgr::kAdded, "127.0.0.1"}, {0, ""}, {2, ""}});
  dlg->ApplyTargetChange(previous);
  EXPECT_EQ(ListState(), "127.0.0.9 127.0.0.10* 127.0.0.1 up") << "the new name waits last";
  EXPECT_EQ(Cell(2, Column::kAverage), "…");
  const long focused = list->GetNextItem(-1, wxLIST_NEXT_ALL, wxLIST_STATE_FOCUSED);
  EXPECT_EQ(focused >= 0 ? Cell(focused, Column::kHost) : "none", "127.0.0.10");
  EXPECT_EQ(dlg->state_board()->counts(), (StateBoard::Counts{3, 0, 0, 0, 0}));

  EXPECT_EQ(DetailsWindows(), 1) << "the removed host's window is open";
  EXPECT_EQ(dlg->OpenDetails(1), kept) << "the kept host's window lost its row";
  Tick(CLumoretDlg::kTimerId);
  EXPECT_EQ(kept->detail_texts[DetailIndex(DetailField::kAddress)]->GetLabel(), "127.0.0.10");

  // Every host removed, the rows still sorted.
  dlg->ApplyTargetChange(manager_->ChangeTargets({}));
  EXPECT_EQ(ListState(), "up");
  EXPECT_EQ(DetailsWindows(), 0);
  Tick(CLumoretDlg::kTimerId);
}

TEST_F(LumoretDlgTest, TheFilterNarrowsTheRowsByHostOrStateUntilEscClearsIt) {
  const auto hosts = [] {
    std::string text;
    for (long row = 0; row < list->GetItemCount(); ++row) {
      text += Cell(row, Column::kHost) + ' ';
    }
    return text;
  };
  dlg->filter_box->SetValue(" NOTHING ");
  EXPECT_EQ(hosts(), "*nothing-here.invalid ");
  // The export writes what is shown.
  EXPECT_FALSE(dlg->ExportTo("rows.csv"));
  const std::string text = FileText("rows.csv");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;

  // A state word, followed as the states change.
  dlg->filter_box->SetValue(wxString::FromUTF8("正常"));
  EXPECT_TRUE(WaitFor(
      [&] {
        Tick(CLumoretDlg::kTimerId);
        return hosts() == "127.0.0.10 127.0.0.9 ";
      },
      10000))
      << hosts();

  KeyIn(dlg->filter_box, WXK_ESCAPE);
  EXPECT_TRUE(dlg->filter_box->IsEmpty());
  EXPECT_EQ(list->GetItemCount(), 3);
  EXPECT_TRUE(dlg->IsShown()) << "Esc closed the window instead of clearing the filter";
  KeyIn(dlg->filter_box, WXK_ESCAPE);
  EXPECT_FALSE(dlg->IsShown()) << "Esc in an empty filter should close the window";
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

  // Two hours of 127.0.0.10 ending now, a probe every 10 s, written in 10-minute batches;
  // its 31st to 36th minutes lost every probe.
  const auto shared_ring = std::make_shared<ProbeHistory>();
  ProbeHistory& ring = *shared_ring;
  HistoryStore store((dir_ / "history.sqlite3").string(), {{"127.0.0.10", shared_ring}});
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
      RangeExport::Text(store, {"127.0.0.10"}, TimeView(now_s - 7200, now_s), going_on, "\n");
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1 + 720);
  const std::regex lost(",1,1,,,\n");
  EXPECT_EQ(
      std::distance(std::sregex_iterator(csv.begin(), csv.end(), lost), std::sregex_iterator()),
      36);

  details->Close();
  WaitFor([] { return DetailsWindows() == 0; }, 2000);
  dlg->history = nullptr;
}
#endif

// The outage log window, if open.
COutageLogDlg* OutageLog() {
  for (wxWindow* window : wxTopLevelWindows) {
    if (auto* log = dynamic_cast<COutageLogDlg*>(window)) {
      return log;
    }
  }
  return nullptr;
}

#ifdef LUMORET_HISTORY
TEST_F(LumoretDlgTest, TheOutageLogShowsTheStoresChangesFollowsThemAndGoesWithTheWindow) {
  wxCommandEvent open(wxEVT_MENU, CLumoretDlg::kOutageLogCommand);
  // Without a store it says why, instead of an empty list.
  dlg->ProcessWindowEvent(open);
  COutageLogDlg* log = OutageLog();
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->log_list, nullptr);
  EXPECT_NE(log->summary_text->GetLabel().utf8_string().find("历史记录"), std::string::npos);
  log->Close();
  ASSERT_TRUE(WaitFor([] { return OutageLog() == nullptr; }, 2000));

  // 127.0.0.10 down for 2 s, a few seconds ago.
  const auto shared_ring = std::make_shared<ProbeHistory>();
  ProbeHistory& ring = *shared_ring;
  HistoryStore store((dir_ / "history.sqlite3").string(), {{"127.0.0.10", shared_ring}});
  ASSERT_TRUE(store.Open()) << store.TakeProblem();
  const HistoryStore::Clocks now = HistoryStore::Clocks::Now();
  const auto add = [&](int seconds_ago, const std::string& probes) {
    for (char probe : probes) {
      ring.Add(now.steady - std::chrono::seconds(seconds_ago--),
               probe == 'x' ? std::nullopt : std::optional<std::uint32_t>(3));
    }
    ASSERT_TRUE(store.WriteBatch(now));
  };
  add(20, "rxxr");
  dlg->history = &store;
  dlg->ProcessWindowEvent(open);
  log = OutageLog();
  ASSERT_NE(log->log_list, nullptr);
  ASSERT_TRUE(WaitFor([log] { return log->reads_shown > 0; }, 5000));
  ASSERT_EQ(log->log_list->GetItemCount(), 2);
  const auto cell = [log](long row, LogColumn column) {
    return log->log_list->GetItemText(row, static_cast<int>(column)).utf8_string();
  };
  EXPECT_EQ(cell(0, LogColumn::kTo), "正常");  // newest first
  EXPECT_EQ(cell(0, LogColumn::kOutage), "2 秒");
  EXPECT_EQ(cell(1, LogColumn::kTo), "中断");
  // Opened again, the same window comes up.
  dlg->ProcessWindowEvent(open);
  EXPECT_EQ(OutageLog(), log);

  // A later outage shows at the next refresh, the selected row staying selected.
  log->log_list->SetItemState(1, wxLIST_STATE_SELECTED, wxLIST_STATE_SELECTED);
  add(10, "xxxr");
  EXPECT_TRUE(
      WaitFor([log] { return log->log_list->GetItemCount() == 4; }, 2 * COutageLogDlg::kRefreshMs));
  EXPECT_EQ(cell(0, LogColumn::kOutage), "3 秒");
  EXPECT_EQ(log->log_list->SelectedText(), LogTabSeparated({LogRow(store.ReadLog(4)[3])}));
  EXPECT_FALSE(log->ExportTo("log.csv"));
  const std::string log_csv = FileText("log.csv");
  EXPECT_EQ(std::count(log_csv.begin(), log_csv.end(), '\n'), 5) << log_csv;

  // Left open, it goes with the main window (CloseWindow waits for every top window), before
  // the store it reads.
  CloseWindow();
}
#endif

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
  const std::string text = NoticeText();
  EXPECT_NE(text.find("8328 个回复"), std::string::npos) << text;
  EXPECT_NE(text.find("sudo sysctl net.core.rmem_max=16777216"), std::string::npos) << text;
  // The list makes room below the bar, and takes it back once the bar is closed.
  EXPECT_TRUE(WaitFor([bar] { return FillsClientArea(bar->GetSize().y); }, 2000));

  CHostDetailsDlg* details = dlg->OpenDetails(0);
  ASSERT_NE(details->kernel_drop_text, nullptr);
  EXPECT_EQ(details->kernel_drop_text->GetLabel(), "8328");
  details->Close();

  bar->Dismiss();
  manager.kernel_drop_count = 9000;
  Tick(CLumoretDlg::kTimerId);
  EXPECT_FALSE(bar->IsShown()) << "a refresh brought the bar back";
  EXPECT_TRUE(WaitFor([] { return FillsClientArea(0); }, 2000));
}

// The share of a row's pixels on screen, right of the host column, that are a light red;
// -1 when the screen could not be read. The toolkit cannot read back what the X server
// shows, so ImageMagick's import takes the picture.
double RedShare(long row) {
  wxRect rect;
  if (!list->GetItemRect(row, rect)) {
    return -1;
  }
  rect.x += kColumns[0].width;
  rect.width = std::min(rect.width, list->GetClientSize().x) - rect.x;
  rect.Deflate(0, 3);
  const wxPoint at = list->ClientToScreen(rect.GetTopLeft());
  const std::string command = "timeout 10 import -window root -crop " + std::to_string(rect.width) +
                              "x" + std::to_string(rect.height) + "+" + std::to_string(at.x) + "+" +
                              std::to_string(at.y) + " +repage row.png";
  if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr) {
    wxImage::AddHandler(new wxPNGHandler);
  }
  wxImage image;
  if (std::system(command.c_str()) != 0 || !image.LoadFile("row.png", wxBITMAP_TYPE_PNG)) {
    return -1;
  }
  std::filesystem::remove("row.png");
  int red = 0;
  for (int y = 0; y < image.GetHeight(); ++y) {
    for (int x = 0; x < image.GetWidth(); ++x) {
      const int r = image.GetRed(x, y), g = image.GetGreen(x, y), b = image.GetBlue(x, y);
      red += r > 200 && r - g > 40 && r - b > 40 ? 1 : 0;
    }
  }
  return static_cast<double>(red) / (image.GetWidth() * image.GetHeight());
}

TEST_F(LumoretDlgTest, ADownRowIsRedOnScreenAndTheStatusBarCountsItAndOpensTheLog) {
  // No more probes from the engine: the first row's ring gets two timeouts after all it
  // holds, which is an outage.
  manager_->Stop();
  ProbeHistory& ring = manager_->targets[0]->history;
  const auto after = ProbeHistory::Clock::now() + std::chrono::seconds(1);
  ring.Add(after, std::nullopt);
  ring.Add(after + std::chrono::seconds(1), std::nullopt);
  Tick(CLumoretDlg::kTimerId);
  EXPECT_EQ(dlg->state_board()->state(0), HostState::kDown);
  const std::string status = dlg->status_bar->GetLabel().utf8_string();
  EXPECT_NE(status.find(" · 中断 1 · 未解析 1"), std::string::npos) << status;

  list->SetItemState(-1, 0, wxLIST_STATE_SELECTED);
  dlg->Raise();
  list->Refresh();
  double down = 0;
  double other = 0;
  EXPECT_TRUE(WaitFor(
      [&] {
        down = RedShare(0);
        other = RedShare(2);
        return down > 0.8;
      },
      3000))
      << down << " of the down row is red (-1: no picture of the screen)";
  EXPECT_LT(other, 0.05) << "a row not down is red";

  // A click on the counts asks the window for the outage log.
  int asked = 0;
  dlg->Bind(
      wxEVT_MENU, [&](wxCommandEvent&) { ++asked; }, CLumoretDlg::kOutageLogCommand);
  wxMouseEvent click(wxEVT_LEFT_UP);
  click.SetEventObject(dlg->status_bar);
  dlg->status_bar->GetEventHandler()->ProcessEvent(click);
  EXPECT_TRUE(WaitFor([&] { return asked == 1; }, 2000));
}

TEST_F(LumoretDlgTest, TrayIconQuitsLikeTheCloseBox) {
  // Made by hand: the test display has no tray, so the window makes none.
  EXPECT_EQ(dlg->tray_icon(), nullptr);
  LumoretTrayIcon tray(*dlg);
  tray.ShowState(HostState::kDown, "中断 1");
  dlg->SetReturnCode(wxID_OK);
  wxCommandEvent quit(wxEVT_MENU, wxID_EXIT);
  tray.ProcessEvent(quit);
  EXPECT_FALSE(dlg->IsShown());
  EXPECT_EQ(dlg->GetReturnCode(), wxID_CANCEL);
}

// The text of the message box that comes up while action runs, without its line breaks,
// closed again.
std::string BoxDuring(const std::function<void()>& action) {
  wxSize size;
  std::string text = Answer(action, [&size](wxDialog* box) {
    size = box->GetSize();
    return Press(wxID_OK)(box);
  });
  EXPECT_LE(size.x, wxGetDisplaySize().x * 2 / 3) << "the box is wider than a readable line";
  text.erase(std::remove(text.begin(), text.end(), '\n'), text.end());
  return text;
}

TEST_F(LumoretDlgTest, HelpWithoutAViewerSaysWhereTheFileIs) {
  // A PATH with a shell but no opener.
  std::filesystem::create_directory(dir_ / "bin");
  std::filesystem::create_symlink("/bin/sh", dir_ / "bin" / "sh");
  std::ofstream(dir_ / "ReadMe.txt") << "help";
  const std::string old_path = std::getenv("PATH");
  ::setenv("PATH", (dir_ / "bin").c_str(), 1);
  const std::string text = BoxDuring([] { dlg->OnSysCommand(CLumoretDlg::kHelpCommand); });
  ::setenv("PATH", old_path.c_str(), 1);
  EXPECT_NE(text.find((dir_ / "ReadMe.txt").string()), std::string::npos)
      << "no box naming the file: " << text;
}

TEST_F(LumoretDlgTest, ExportWritesEveryRowOrLeavesNothingAndSaysWhyInABoxThatFits) {
  // Every row, with the details columns (the address probed); the texts are
  // detail_texts_test's.
  EXPECT_FALSE(dlg->ExportTo("rows.csv"));
  const std::string text = FileText("rows.csv");
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4) << text;
  EXPECT_NE(text.find("\n127.0.0.10,"), std::string::npos) << text;
  EXPECT_NE(text.find(",127.0.0.10,"), std::string::npos) << "no address probed";
  EXPECT_NE(text.find("\n*nothing-here.invalid,*,"), std::string::npos) << text;

  // A failed one names the whole file and the reason.
  const std::string name = "no-such-folder/" + std::string(250, 'n') + ".csv";
  const std::string box = BoxDuring([&] { dlg->SaveCsv(wxString::FromUTF8(name)); });
  EXPECT_NE(box.find(name), std::string::npos) << box;
  EXPECT_NE(box.find("No such file or directory"), std::string::npos) << box;
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
  // The window's own language, as in the C locale.
  const std::string expected = "正在解析主机名：已完成 1 / 3\n等待：slow-\xEF\xBF\xBD";
  std::string shown;  // the count and the name waited for, a line each
  int ticks = 0;
  wxTimer probe;
  // Once the first name is done, until the texts have caught up with it (5 s at most).
  probe.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    if (names.done() != 1 || !progress.IsModal()) {
      return;
    }
    shown =
        (progress.count_text->GetLabel() + "\n" + progress.waiting_text->GetLabel()).utf8_string();
    if (shown != expected && ++ticks < 100) {
      return;
    }
    wxCommandEvent click(wxEVT_BUTTON, wxID_CANCEL);
    progress.FindWindow(wxID_CANCEL)->GetEventHandler()->ProcessEvent(click);
  });
  probe.Start(50);
  EXPECT_EQ(progress.ShowModal(), wxID_CANCEL);
  probe.Stop();
  names.Cancel();
  EXPECT_EQ(shown, expected);
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

// The settings file at path as the program's config, opened afresh as at a start; taken
// away again when it goes.
class SettingsInUse {
 public:
  explicit SettingsInUse(const std::filesystem::path& path) : path_(path) { Reopen(); }
  ~SettingsInUse() { delete wxConfigBase::Set(nullptr); }
  void Reopen() {
    std::vector<std::string> problems;
    delete wxConfigBase::Set(SettingsFile::Open(path_.string(), &problems).release());
    EXPECT_TRUE(problems.empty()) << problems[0];
  }
  wxConfigBase& config() const { return *wxConfigBase::Get(false); }

 private:
  std::filesystem::path path_;  // the file
};

TEST_F(LumoretDlgTest, LayoutIsRememberedAcrossARestartButNeverPlacedOffTheScreen) {
  SettingsInUse settings(dir_ / "lumoret.conf");
  dlg->SetSize(700, 420);
  ASSERT_TRUE(WaitFor([] { return dlg->GetSize() == wxSize(700, 420); }, 3000));
  list->SetColumnWidth(ColumnIndex(Column::kLoss), 123);
  ClickColumn(Column::kHost);
  ClickColumn(Column::kHost);
  const std::string sorted = "127.0.0.10 127.0.0.9 *nothing-here.invalid down";
  ASSERT_EQ(ListState(), sorted);
  dlg->Close();
  CloseWindow();

  // Read back from the file, with the place moved off every screen (a screen since
  // unplugged).
  settings.Reopen();
  settings.config().Write("/Window/x", 20000L);
  settings.config().Write("/Window/y", 20000L);
  OpenWindow();
  EXPECT_TRUE(WaitFor([] { return dlg->GetSize() == wxSize(700, 420); }, 3000))
      << dlg->GetSize().x << "x" << dlg->GetSize().y;
  EXPECT_EQ(list->GetColumnWidth(ColumnIndex(Column::kLoss)), 123);
  EXPECT_EQ(list->GetColumnWidth(ColumnIndex(Column::kHost)),
            kColumns[ColumnIndex(Column::kHost)].width);
  EXPECT_EQ(ListState(), sorted);
  const wxRect screen = wxDisplay(0u).GetGeometry();
  EXPECT_TRUE(screen.Contains(dlg->GetScreenPosition()))
      << dlg->GetScreenPosition().x << "," << dlg->GetScreenPosition().y;
}

TEST_F(LumoretDlgTest, SettingsDialogOkKeepsAndSavesItsValuesAndCancelChangesNothing) {
  SettingsInUse settings(dir_ / "lumoret.conf");
  // Sets the rules' window to window and alerts off in the dialog, and leaves it by button.
  const auto set_in_dialog = [](int window, int button) {
    wxCommandEvent open(wxEVT_MENU, CLumoretDlg::kSettingsCommand);
    return Answer([&] { dlg->GetEventHandler()->ProcessEvent(open); },
                  [&](wxDialog* box) -> std::string {
                    auto* dialog = dynamic_cast<CSettingsDlg*>(box);
                    if (dialog == nullptr) {
                      box->EndModal(wxID_CANCEL);
                      return "not the settings dialog";
                    }
                    dialog->window_spin->SetValue(window);
                    dialog->alerts_check->SetValue(false);
                    dialog->resolve_spin->SetValue(0);
                    wxCommandEvent click(wxEVT_BUTTON, button);
                    dialog->FindWindow(button)->GetEventHandler()->ProcessEvent(click);
                    return dialog->GetTitle().utf8_string();
                  });
  };
  EXPECT_EQ(set_in_dialog(33, wxID_OK), "Lumoret: 设置");
  EXPECT_EQ(dlg->settings.rules.window, 33);
  EXPECT_FALSE(dlg->settings.alerts);
  const std::string file = FileText(dir_ / "lumoret.conf");
  EXPECT_NE(file.find("Window=33\n"), std::string::npos) << "not saved at once: " << file;
  EXPECT_NE(file.find("ResolveMinutes=0\n"), std::string::npos) << file;

  set_in_dialog(44, wxID_CANCEL);
  EXPECT_EQ(dlg->settings.rules.window, 33);
}

}  // namespace

int main(int argc, char** argv) {
  return RunWxTests(argc, argv, "lumoret_dlg_test", false);
}
