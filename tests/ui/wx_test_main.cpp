#include "tests/ui/wx_test_main.h"

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/evtloop.h>

#include <cstdio>
#include <cstdlib>

int RunWxTests(int argc, char** argv, const char* name, bool active_loop) {
  ::testing::InitGoogleTest(&argc, argv);
  if (std::getenv("DISPLAY") == nullptr) {
    std::printf("%s: no DISPLAY; skipped\n", name);
    return 77;
  }
  // No accessibility bus to wait for on a virtual display.
  ::setenv("NO_AT_BRIDGE", "1", 1);
  wxApp::SetInstance(new wxApp);
  if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit()) {
    std::printf("%s: cannot start wxWidgets on this display; skipped\n", name);
    return 77;
  }
  int result = 0;
  if (active_loop) {
    wxGUIEventLoop loop;
    wxEventLoopActivator active(&loop);
    result = RUN_ALL_TESTS();
  } else {
    result = RUN_ALL_TESTS();
  }
  wxTheApp->OnExit();
  wxEntryCleanup();
  return result;
}
