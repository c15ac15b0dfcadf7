#ifndef LUMORET_TESTS_UI_WX_TEST_MAIN_H
#define LUMORET_TESTS_UI_WX_TEST_MAIN_H

// Runs the GoogleTest cases of a window test program named name under wxWidgets, inside an
// active event loop when active_loop says so (what a file system watcher needs, as in the
// program). Returns 77, which CTest takes for skipped, where there is no display.
int RunWxTests(int argc, char** argv, const char* name, bool active_loop);

#endif  // LUMORET_TESTS_UI_WX_TEST_MAIN_H
