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
using InstanceLockTest = TempDirFixture;

TEST_F(InstanceLockTest, TheHolderKeepsTheNameAndHearsLaterStartsUntilItIsDestroyed) {
  ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
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
