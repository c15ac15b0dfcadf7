#ifndef LUMORET_TESTS_COMMON_TEMP_DIR_FIXTURE_H
#define LUMORET_TESTS_COMMON_TEMP_DIR_FIXTURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

// Gives each test a fresh, empty folder of its own under the system's temporary folder,
// removed with everything in it after the test.
class TempDirFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // The whole of file, byte for byte; empty when it cannot be read.
  static std::string FileText(const std::filesystem::path& file);

  std::filesystem::path dir_;  // the test's folder; empty if it could not be made
};

#endif  // LUMORET_TESTS_COMMON_TEMP_DIR_FIXTURE_H
