#ifndef LUMORET_TESTS_PLATFORM_TEMPORARY_FOLDER_H
#define LUMORET_TESTS_PLATFORM_TEMPORARY_FOLDER_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

// A fixture with a fresh folder of its own under /tmp, removed with all it holds.
class TemporaryFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumoret_platform_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::filesystem::path dir_;  // the folder, made in SetUp
};

#endif  // LUMORET_TESTS_PLATFORM_TEMPORARY_FOLDER_H
