// Stands for code a user has GTK load into the program (GTK_MODULES, or gtk-modules in
// the user's GTK settings): it looks through the process's descriptors for raw sockets,
// the way such code would find one to abuse, and tries to make each write whole IP
// headers. The counts go to the file named by LUMORET_SOCKETS, as "raw N hdrincl M", the
// most seen at once, at start-up and every half second for ten seconds.
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr int kLooks = 20;
constexpr std::chrono::milliseconds kPause(500);

struct Findings {
  int raw = 0;      // raw sockets among the descriptors
  int hdrincl = 0;  // of those, IPv4 ones that took IP_HDRINCL
};

Findings Look() {
  Findings found;
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) {
    return found;
  }
  while (const dirent* entry = ::readdir(folder)) {
    const int fd = std::atoi(entry->d_name);
    int type = 0;
    int domain = 0;
    socklen_t size = sizeof type;
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_RAW) {
      continue;
    }
    ++found.raw;
    size = sizeof domain;
    const int on = 1;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 && domain == AF_INET &&
        ::setsockopt(fd, IPPROTO_IP, IP_HDRINCL, &on, sizeof on) == 0) {
      ++found.hdrincl;
    }
  }
  ::closedir(folder);
  return found;
}

void Report(const Findings& most) {
  const char* path = std::getenv("LUMORET_SOCKETS");
  if (path == nullptr) {
    return;
  }
  const std::string temporary = std::string(path) + ".tmp";
  if (FILE* file = std::fopen(temporary.c_str(), "w")) {
    std::fprintf(file, "raw %d hdrincl %d\n", most.raw, most.hdrincl);
    if (std::fclose(file) == 0) {
      std::rename(temporary.c_str(), path);
    }
  }
}

void Watch() {
  Findings most;
  for (int look = 0; look < kLooks; ++look) {
    const Findings found = Look();
    most.raw = std::max(most.raw, found.raw);
    most.hdrincl = std::max(most.hdrincl, found.hdrincl);
    Report(most);
    std::this_thread::sleep_for(kPause);
  }
}

}  // namespace

// GTK calls this while the toolkit starts, before the program's window exists.
extern "C" void gtk_module_init(int* /*argc*/, char*** /*argv*/) {
  std::thread(Watch).detach();
}
