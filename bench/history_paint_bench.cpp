// The details window's 30-day graph on a full history store: from the click on the
// range's button (SelectRange) until the graph's first paint that shows the range's
// buckets, in the real window on the GUI thread; beside it, the same query timed alone
// on a store of its own and a repaint of the data shown. "cold" drops the page cache
// before each run (needs root). The engine is built on the hosts but never started: no
// packet leaves.
//   history_paint_bench DB RUNS warm|cold HOST...   (on a display)
#include <unistd.h>
#include <wx/app.h>
#include <wx/utils.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/delay_target.h"
#include "engine/delay_time_mgr.h"
#include "engine/history_store.h"
#include "ui/delay_graph.h"
#include "ui/host_details_dlg.h"

namespace {

using Clock = std::chrono::steady_clock;
// The 30-day range's index among the window's ranges.
constexpr int kThirtyDays = 5;
// Longest wait for a paint, in ms: past it the run counts as failed.
constexpr double kPaintTimeoutMs = 10000;
// Time the new window gets to be mapped and painted before the click, in ms.
constexpr int kSettleMs = 300;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Handles the GUI thread's events until done() or timeout_ms; false on the timeout.
bool YieldUntil(const std::function<bool()>& done, double timeout_ms) {
  const Clock::time_point start = Clock::now();
  while (!done()) {
    if (MsSince(start) > timeout_ms) {
      return false;
    }
    wxTheApp->Yield(true);
    usleep(200);
  }
  return true;
}

void DropPageCache() {
  sync();
  std::ofstream("/proc/sys/vm/drop_caches") << "3\n";
}

// One run's times, in ms.
struct Run {
  double total = -1;  // click to the first paint with the range's buckets
  double query = 0;   // the store's query alone, on a store of its own
  double draw = 0;    // a repaint of the same buckets; -1 when it did not happen at once
};

Run MeasureOnce(const std::string& path, const DelayTarget& target, const DelayTimeMgr& manager,
                bool cold) {
  Run run;
  HistoryStore store(path, {});
  if (!store.Open()) {
    std::fprintf(stderr, "history_paint_bench: %s\n", store.TakeProblem().c_str());
    return run;
  }
  auto* dlg = new CHostDetailsDlg(
      nullptr, target, manager, [] {}, &store);
  dlg->Show();
  YieldUntil([] { return false; }, kSettleMs);
  if (cold) {
    DropPageCache();
  }
  const Clock::time_point click = Clock::now();
  dlg->SelectRange(kThirtyDays);
  DelayGraph* graph = dlg->graph;
  if (YieldUntil([graph] { return graph->painted_buckets > 0; }, kPaintTimeoutMs)) {
    run.total = MsSince(click);
  }
  const TimeView view = graph->view();
  const auto width = static_cast<std::size_t>(graph->PlotWidth());
  graph->painted_buckets = -1;
  const Clock::time_point repaint = Clock::now();
  graph->Refresh();
  graph->Update();
  run.draw = graph->painted_buckets > 0 ? MsSince(repaint) : -1;  // -1: Update did not paint
  dlg->Destroy();
  YieldUntil([] { return wxTopLevelWindows.IsEmpty(); }, kPaintTimeoutMs);
  if (cold) {
    DropPageCache();
  }
  HistoryStore alone(path, {});
  const Clock::time_point query = Clock::now();
  const HistoryStore::Range range = alone.Query(target.host, view.from_s, view.to_s, width);
  run.query = MsSince(query);
  if (range.points.empty()) {
    run.total = -1;  // no data: not the figure asked for
  }
  return run;
}

void Report(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  std::printf("  %-6s median %7.1f ms, worst %7.1f ms\n", what, ms[ms.size() / 2], ms.back());
}

int Measure(const std::string& path, int runs, bool cold, const std::vector<std::string>& hosts) {
  // The engine's targets, as the window takes them; config.ini in a folder of its own.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("history_paint_bench." + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  {
    std::ofstream config(dir / "config.ini");
    for (const std::string& host : hosts) {
      config << host << "\n";
    }
  }
  std::filesystem::current_path(dir);
  int failures = 0;
  {
    DelayTimeMgr manager;
    for (std::size_t h = 0; h < hosts.size(); ++h) {
      std::vector<double> total, query, draw;
      for (int i = 0; i < runs; ++i) {
        const Run run = MeasureOnce(path, *manager.targets[h], manager, cold);
        failures += run.total < 0 ? 1 : 0;
        total.push_back(run.total);
        query.push_back(run.query);
        draw.push_back(run.draw);
      }
      std::printf("%s, %s, %d runs: click to the first paint with data\n", hosts[h].c_str(),
                  cold ? "cold" : "warm", runs);
      Report("total", total);
      Report("query", query);
      Report("draw", draw);
    }
  }
  std::filesystem::current_path("/");
  std::filesystem::remove_all(dir);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || (std::string(argv[3]) != "warm" && std::string(argv[3]) != "cold")) {
    std::fputs("usage: history_paint_bench DB RUNS warm|cold HOST...\n", stderr);
    return 2;
  }
  const std::string path = argv[1];
  const int runs = std::max(1, std::atoi(argv[2]));
  const bool cold = std::string(argv[3]) == "cold";
  const std::vector<std::string> hosts(argv + 4, argv + argc);
  ::setenv("NO_AT_BRIDGE", "1", 1);
  wxApp::SetInstance(new wxApp);
  int wx_argc = 1;
  if (!wxEntryStart(wx_argc, argv) || !wxTheApp->CallOnInit()) {
    std::fputs("history_paint_bench: cannot start wxWidgets (no display?)\n", stderr);
    return 1;
  }
  const int result = Measure(path, runs, cold, hosts);
  wxTheApp->OnExit();
  wxEntryCleanup();
  return result;
}
