// The main window's filter at the list's limit: 65,536 rows (address literals of the test
// range, every eighth a name still being looked up, every tenth down) in the real list on
// a display. Each
// keystroke of a few typed texts, then each backspace, is timed from the new text to the
// list drawn again (SetFilter then Update), as is a refresh with a state word in force,
// which filters again. No engine: the targets are never probed, no packet leaves.
//   filter_bench [ROWS] [RUNS]   (on a display; defaults 65536 and 5)
#include <wx/app.h>
#include <wx/frame.h>
#include <wx/utils.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/state_board.h"
#include "tests/engine/offline_engine.h"
#include "ui/cell_rules.h"
#include "ui/target_list_ctrl.h"

namespace {

using Clock = std::chrono::steady_clock;
// What the user types, a keystroke at a time: a host's prefix, a name, a state word, a
// text found nowhere.
const char* const kTyped[] = {"198.18.200.1", "Host-12", "中断", "zz-none"};

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The rows: address literals, and every eighth a name whose look-up has not finished.
void AddTargets(OfflineEngine& engine, int rows) {
  engine.targets.reserve(static_cast<std::size_t>(rows));
  for (int i = 0; i < rows; ++i) {
    if (i % 8 == 7) {
      engine.targets.push_back(std::make_shared<DelayTarget>(
          engine.schedule, -1, "host-" + std::to_string(i) + ".example", i, std::nullopt,
          engine.send_errors, /*pending=*/true));
    } else {
      engine.AddTarget("198.18." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    }
  }
}

// The median and largest of times, in ms.
void Print(const char* what, std::vector<double> times) {
  std::sort(times.begin(), times.end());
  std::printf("%s: %zu times, median %.2f ms, largest %.2f ms\n", what, times.size(),
              times[times.size() / 2], times.back());
}

int Measure(int rows, int runs) {
  OfflineEngine engine;
  AddTargets(engine, rows);
  StateBoard board(engine.targets, HostStateRules());
  // Every tenth host down (two timeouts), so that the state word finds rows.
  const Clock::time_point sent = Clock::now() - std::chrono::seconds(20);
  for (std::size_t i = 0; i < engine.targets.size(); i += 10) {
    engine.targets[i]->history.Add(sent, std::nullopt);
    engine.targets[i]->history.Add(sent + std::chrono::seconds(1), std::nullopt);
  }
  board.Update(ClockPair::Now());
  auto* frame = new wxFrame(nullptr, wxID_ANY, "filter_bench", wxDefaultPosition, wxSize(900, 600));
  auto* list = new TargetListCtrl(frame, wxID_ANY, wxDefaultPosition, wxDefaultSize);
  for (int column = 0; column < kColumnCount; ++column) {
    list->InsertColumn(column, wxString::FromUTF8(kColumns[column].title), wxLIST_FORMAT_LEFT,
                       kColumns[column].width);
  }
  list->SetTargets(engine.targets);
  list->SetStateBoard(&board);
  frame->Show();
  wxMilliSleep(200);
  wxTheApp->Yield(true);

  std::vector<double> typing;
  std::vector<double> erasing;
  std::vector<double> refreshes;
  const auto key = [list](const std::string& text, std::vector<double>& times) {
    const Clock::time_point start = Clock::now();
    list->SetFilter(text);
    list->Update();
    times.push_back(MsSince(start));
  };
  for (int run = 0; run < runs; ++run) {
    for (const char* typed : kTyped) {
      const std::string text = typed;
      // A Chinese word comes whole from the input method; ASCII a byte at a time.
      const std::size_t step = static_cast<unsigned char>(text[0]) < 0x80 ? 1 : text.size();
      for (std::size_t length = step; length <= text.size(); length += step) {
        key(text.substr(0, length), typing);
      }
      for (std::size_t length = text.size(); length >= step; length -= step) {
        key(text.substr(0, length - step), erasing);
      }
    }
    list->SetFilter("中断");
    const Clock::time_point start = Clock::now();
    list->RefreshRows();
    list->Update();
    refreshes.push_back(MsSince(start));
    list->SetFilter("");
    wxTheApp->Yield(true);
  }
  std::printf("rows %d, runs %d\n", rows, runs);
  Print("keystroke typing", typing);
  Print("keystroke erasing", erasing);
  Print("refresh under a state word", refreshes);
  frame->Destroy();
  wxTheApp->Yield(true);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 65536) : 65536;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  ::setenv("NO_AT_BRIDGE", "1", 1);
  wxApp::SetInstance(new wxApp);
  int wx_argc = 1;
  if (!wxEntryStart(wx_argc, argv) || !wxTheApp->CallOnInit()) {
    std::fputs("filter_bench: cannot start wxWidgets (no display?)\n", stderr);
    return 1;
  }
  const int result = Measure(rows, runs);
  wxTheApp->OnExit();
  wxEntryCleanup();
  return result;
}
