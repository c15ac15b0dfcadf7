#include "tests/common/temp_dir_fixture.h"

#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

void TempDirFixture::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "lumoret-test.XXXXXX").string();
  ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << pattern;
  dir_ = pattern;
}

void TempDirFixture::TearDown() {
  if (!dir_.empty()) {
    std::error_code error;  // a test that failed half-way may leave it unremovable
    std::filesystem::remove_all(dir_, error);
    EXPECT_FALSE(error) << dir_ << ": " << error.message();
  }
}

std::string TempDirFixture::FileText(const std::filesystem::path& file) {
  std::ostringstream text;
  text << std::ifstream(file, std::ios::binary).rdbuf();
  return text.str();
}
