#ifndef LUMORET_UI_STATE_COUNTS_H
#define LUMORET_UI_STATE_COUNTS_H

#include <cstddef>
#include <string>

#include "engine/host_state.h"
#include "engine/state_board.h"

// What the status bar and the tray icon say about the rows' states, free of any toolkit
// type.

// A count with thousands separators: "9,812".
std::string GroupedCount(std::size_t count);
// The rows per state, as the status bar shows them: "正常 9,812 · 丢包 165 · 中断 23 · 未解析 2",
// then "等待 N" while hosts wait for their first answer; a state no row is in is left out,
// except 正常. A probe mode, when given, ends it ("… · 原始套接字").
std::string StateCountsText(const StateBoard::Counts& counts, const std::string& mode = {});
// The state the tray icon shows: the worst one any row is in, down first, then lossy,
// unresolved and waiting; up only when every row is up (or there are none).
HostState WorstState(const StateBoard::Counts& counts);

#endif  // LUMORET_UI_STATE_COUNTS_H
