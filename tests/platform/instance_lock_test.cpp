#include "platform/instance_lock.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "tests/common/temp_dir_fixture.h"

namespace {

namespace fs = std::filesystem;
using platform::InstanceLock;
using platform::InstanceState;

// The program as a whole is tested in program_test.sh; this is the lock alone, with its
// files in a folder of the test's own.
class InstanceLockTest : public TempDirFixture {
 protected:
  void SetUp() override {
    TempDirFixture::SetUp();
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    old_runtime_dir_ = old != nullptr ? old : "";
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    old_runtime_dir_.empty() ? ::unsetenv("XDG_RUNTIME_DIR")
                             : ::setenv("XDG_RUNTIME_DIR", old_runtime_dir_.c_str(), 1);
    TempDirFixture::TearDown();
  }

  std::string old_runtime_dir_;  // restored after the test
};

TEST_F(InstanceLockTest, TheHolderKeepsTheNameAndHearsLaterStartsUntilItIsDestroyed) {
  {
    InstanceLock first("test");
    EXPECT_EQ(first.state(), InstanceState::kOnly);
    EXPECT_FALSE(first.ActivationRequested());
    // A later start sees the holder, and its own end gives up nothing of the holder's.
    EXPECT_EQ(InstanceLock("test").state(), InstanceState::kOtherRunning);
    EXPECT_EQ(InstanceLock("test").state(), InstanceState::kOtherRunning);
    EXPECT_EQ(InstanceLock("other").state(), InstanceState::kOnly);
    // Two requests come together in one poll; then there is none.
    platform::ActivateOtherInstance("test", "Lumoret");
    platform::ActivateOtherInstance("test", "Lumoret");
    EXPECT_TRUE(first.ActivationRequested());
    EXPECT_FALSE(first.ActivationRequested());
  }
  // Destroyed, it leaves the name free and no socket behind; a request then reaches nobody.
  EXPECT_FALSE(fs::exists(dir_ / "lumoret-test.sock"));
  platform::ActivateOtherInstance("test", "Lumoret");
  InstanceLock next("test");
  EXPECT_EQ(next.state(), InstanceState::kOnly);
  EXPECT_FALSE(next.ActivationRequested());
  platform::ActivateOtherInstance("test", "Lumoret");
  EXPECT_TRUE(next.ActivationRequested());
}

}  // namespace
