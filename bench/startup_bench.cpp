// Start-up: constructing the manager on a config.ini of address literals (reading the
// file and resolving every line). Prints each run and the median.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine/delay_time_mgr.h"

int main(int argc, char** argv) {
  const int targets = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
  if (targets <= 0 || targets > 65536 || runs <= 0 || runs > 100) {
    std::fprintf(stderr, "usage: startup_bench [TARGETS (10000)] [RUNS (7)]\n");
    return 2;
  }
  char dir[] = "/tmp/lumoret-startup-bench.XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) {
    std::perror("startup_bench: temporary directory");
    return 1;
  }
  {
    std::ofstream config("config.ini");
    config << "# start-up benchmark\n";
    for (int i = 0; i < targets; ++i) {
      config << "198.18." << i / 250 << "." << 1 + i % 250 << "\n";
    }
  }
  std::vector<double> seconds;
  int status = 0;
  try {
    for (int run = 0; run < runs; ++run) {
      const auto start = std::chrono::steady_clock::now();
      DelayTimeMgr manager;
      const auto end = std::chrono::steady_clock::now();
      seconds.push_back(std::chrono::duration<double>(end - start).count());
      if (manager.targets.size() != static_cast<std::size_t>(targets)) {
        std::fprintf(stderr, "startup_bench: %zu targets read, %d expected\n",
                     manager.targets.size(), targets);
        status = 1;
      }
      std::printf("run %d: %.3f s\n", run + 1, seconds.back());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "startup_bench: %s (raw sockets need root or CAP_NET_RAW)\n", e.what());
    status = 1;
  }
  std::filesystem::remove_all(dir);
  if (!seconds.empty()) {
    std::sort(seconds.begin(), seconds.end());
    std::printf("startup: %d literals, median %.3f s over %zu runs (min %.3f, max %.3f)\n", targets,
                seconds[seconds.size() / 2], seconds.size(), seconds.front(), seconds.back());
  }
  return status;
}
