#ifndef LUMORET_PLATFORM_INSTANCE_LOCK_H
#define LUMORET_PLATFORM_INSTANCE_LOCK_H

#include <string>

namespace platform {

// Whether a start is the only one, or another process holds the name already.
enum class InstanceState { kOnly, kOtherRunning };

// Single instance. The first InstanceLock made with a name holds it until it is
// destroyed or the process ends, however it ends, so a crash never blocks the next
// start. On POSIX this is a per-user lock file (flock) in $XDG_RUNTIME_DIR,
// /run/user/<uid> or a private folder under /tmp, with a Unix socket beside it on which
// a later start asks the holder to raise its window. A lock that cannot be made at all
// counts as kOnly: better two windows than none.
class InstanceLock {
 public:
  explicit InstanceLock(const std::string& name);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // kOtherRunning when another holds the name; this one then holds nothing.
  InstanceState state() const { return state_; }
  // True when later starts have asked for the window since the last call (the holder
  // polls this from a GUI timer; requests made before it first polls are kept).
  bool ActivationRequested();

 private:
  // Gives the instance up; safe to call when nothing is held.
  void Release();

  InstanceState state_ = InstanceState::kOnly;  // what the constructor found
#ifdef _WIN32
  void* mutex_ = nullptr;  // its existence is the lock; nobody waits on it
#else
  int lock_fd_ = -1;             // holds the flock while we are the instance
  int activation_fd_ = -1;       // listening socket for "raise your window" requests
  std::string activation_path_;  // the socket's file, unlinked again on release
#endif
};

// Asks the instance holding name to bring its window titled title to the front, if it
// has one. Does not wait for an answer and gives up after about a second when the
// holder does not take the request; nothing happens when nobody listens.
void ActivateOtherInstance(const std::string& name, const std::string& title);

}  // namespace platform

#endif  // LUMORET_PLATFORM_INSTANCE_LOCK_H
