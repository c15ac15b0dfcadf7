#include "platform/privileges.h"

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace platform {
namespace {

// A decimal id from the environment (SUDO_UID, SUDO_GID); false when absent or malformed.
bool EnvId(const char* name, unsigned long* value) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text < '0' || *text > '9') {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  *value = std::strtoul(text, &end, 10);
  return errno == 0 && *end == '\0' && *value < UINT_MAX;
}

// The calling thread's capability sets, as capget and capset take them.
struct CapSets {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};  // version, this thread
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};       // 32 capabilities a word
};

// Capabilities belong to a thread: these change the calling thread's sets only.
bool GetCaps(CapSets* caps) {
  return ::syscall(SYS_capget, &caps->header, caps->data) == 0;
}

bool SetCaps(CapSets* caps) {
  return ::syscall(SYS_capset, &caps->header, caps->data) == 0;
}

constexpr unsigned kNetRawBit = 1u << (CAP_NET_RAW % 32);
constexpr int kNetRawWord = CAP_NET_RAW / 32;
// Beyond the highest capability any kernel has; dropping stops at the first one unknown.
constexpr int kMaxCapability = 63;

// Clears CAP_NET_RAW (with every, all capabilities) from the effective, permitted and
// inheritable sets.
void GiveUpCapabilities(bool every) {
  CapSets caps;
  if (!GetCaps(&caps)) {
    throw RightsError(RightsError::Step::kDropRight, errno, "reading the capabilities");
  }
  if (every) {
    for (auto& word : caps.data) {
      word = {};
    }
  } else {
    auto& word = caps.data[kNetRawWord];
    word.effective &= ~kNetRawBit;
    word.permitted &= ~kNetRawBit;
    word.inheritable &= ~kNetRawBit;
  }
  if (!SetCaps(&caps)) {
    throw RightsError(RightsError::Step::kDropRight, errno,
                      every ? "giving up every capability" : "giving up CAP_NET_RAW");
  }
}

// Takes CAP_NET_RAW (with all, every capability) out of the bounding set, where the
// process may. The bounding set needs CAP_SETPCAP, which only a root process has; without
// it nothing the process runs can gain a right through a file capability anyway. The
// loop ends at the first capability this kernel does not know.
void DropFromBoundingSet(bool all) {
  for (int cap = all ? 0 : CAP_NET_RAW; cap <= (all ? kMaxCapability : CAP_NET_RAW); ++cap) {
    if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
      if (errno == EINVAL) {
        break;
      }
      if (errno != EPERM) {
        throw RightsError(RightsError::Step::kDropRight, errno,
                          "dropping capabilities from the bounding set");
      }
    }
  }
}

// The one rule for a sudo start: a root process with SUDO_UID set. Then SUDO_UID and
// SUDO_GID must both be plain ids; anything else is an error, never a silent root run.
bool SudoIds(unsigned long* uid, unsigned long* gid) {
  if (::geteuid() != 0 || std::getenv("SUDO_UID") == nullptr) {
    return false;
  }
  if (!EnvId("SUDO_UID", uid) || !EnvId("SUDO_GID", gid)) {
    throw RightsError(RightsError::Step::kSudoIds, EINVAL,
                      "reading SUDO_UID and SUDO_GID, set by sudo");
  }
  return true;
}

// Groups, then gid, then uid: once the uid is gone, so is the right to change the others.
void BecomeUser(uid_t uid, gid_t gid) {
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
  const auto fail = [](const char* what) {
    throw RightsError(RightsError::Step::kSwitchUser, errno, what);
  };
  if (found != nullptr ? ::initgroups(found->pw_name, gid) != 0 : ::setgroups(1, &gid) != 0) {
    fail("setting the groups of the user who ran sudo");
  }
  if (::setresgid(gid, gid, gid) != 0) {
    fail("becoming the group of the user who ran sudo");
  }
  if (::setresuid(uid, uid, uid) != 0) {
    fail("becoming the user who ran sudo");
  }
  // Files the toolkit keeps under $HOME belong in the user's home, not root's.
  if (found != nullptr) {
    ::setenv("HOME", found->pw_dir, 1);
    ::setenv("USER", found->pw_name, 1);
    ::setenv("LOGNAME", found->pw_name, 1);
  }
}

}  // namespace

void DropPrivileges(Rights rights) {
  const bool all = rights == Rights::kAll;
  DropFromBoundingSet(all);
  // Ambient capabilities would survive an exec of the help viewer.
  (void)::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  GiveUpCapabilities(false);
  // Last but one, so that a start whose switch fails is at least without the right.
  unsigned long uid = 0;
  unsigned long gid = 0;
  if (SudoIds(&uid, &gid) && uid != 0) {
    BecomeUser(static_cast<uid_t>(uid), static_cast<gid_t>(gid));
  }
  // The switch needed CAP_SETUID and CAP_SETGID; a plain root process keeps them
  // otherwise.
  if (all) {
    GiveUpCapabilities(true);
  }
}

bool RawSocketsInProcess() {
  return ::getauxval(AT_SECURE) == 0 && ::geteuid() == 0 && std::getenv("SUDO_UID") == nullptr;
}

}  // namespace platform
