#ifndef LUMORET_TESTS_NET_SKIP_UNLESS_ROOT_H
#define LUMORET_TESTS_NET_SKIP_UNLESS_ROOT_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

// The scenario suites build network namespaces and open raw sockets: root only. Exit 77
// tells CTest the suite was skipped.
inline int RunIfRoot(int argc, char** argv) {
  if (geteuid() != 0) {
    std::fprintf(stderr,
                 "skipped: the network scenario tests need root (network namespaces and raw "
                 "sockets)\n");
    return 77;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

#endif  // LUMORET_TESTS_NET_SKIP_UNLESS_ROOT_H
