// Output files by way of a temporary file and rename.
#include "common/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

// The temporary files being written, for the signal handler: a signal that
// ends the program removes them first. A run may hold a few outputs open at
// once (a table, a model and a picture, committed together at its end).
constexpr int kSlots = 8;
char pending[kSlots][PATH_MAX + 32];
volatile sig_atomic_t armed[kSlots] = {};
int holders = 0;  // slots in use: the handlers are installed while it is positive

// Signals whose default action ends the process, caught while a temporary
// file exists; SIGXFSZ (a file size limit) is ignored meanwhile, so that the
// write fails and the run ends through its own message.
constexpr int kFatal[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2};
struct sigaction saved[sizeof kFatal / sizeof kFatal[0]];
struct sigaction saved_xfsz;

void OnSignal(int sig) {
  for (int k = 0; k < kSlots; ++k)
    if (armed[k]) {
      unlink(pending[k]);
      armed[k] = 0;
    }
  for (size_t i = 0; i < sizeof kFatal / sizeof kFatal[0]; ++i)
    if (kFatal[i] == sig) sigaction(sig, &saved[i], nullptr);
  raise(sig);
}

// The slot that now holds `temporary`, or -1 when every slot is taken (the
// output then cannot be opened).
int Arm(const std::string& temporary) {
  int slot = 0;
  while (slot < kSlots && armed[slot]) ++slot;
  if (slot == kSlots) return -1;
  std::memcpy(pending[slot], temporary.c_str(), temporary.size() + 1);
  if (holders++ == 0) {
    struct sigaction act {};
    act.sa_handler = OnSignal;
    sigemptyset(&act.sa_mask);
    for (size_t i = 0; i < sizeof kFatal / sizeof kFatal[0]; ++i) {
      sigaction(kFatal[i], nullptr, &saved[i]);
      // A signal the caller ignores stays ignored: it cannot end the run.
      if (saved[i].sa_handler != SIG_IGN) sigaction(kFatal[i], &act, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &saved_xfsz);
  }
  armed[slot] = 1;
  return slot;
}

void Disarm(int slot) {
  if (slot < 0 || !armed[slot]) return;
  armed[slot] = 0;
  if (--holders > 0) return;
  for (size_t i = 0; i < sizeof kFatal / sizeof kFatal[0]; ++i)
    sigaction(kFatal[i], &saved[i], nullptr);
  sigaction(SIGXFSZ, &saved_xfsz, nullptr);
}

std::string Folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Base(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Whether st is the file standard output is open on (/dev/stdout, or the
// output's own name given while standard output is redirected to it).
bool IsStandardOutput(const struct stat& st) {
  struct stat out;
  return fstat(STDOUT_FILENO, &out) == 0 && out.st_dev == st.st_dev && out.st_ino == st.st_ino;
}

}  // namespace

bool OutputFile::Open(const char* path) {
  Abandon();
  struct stat st;
  const bool exists = stat(path, &st) == 0;
  std::string target;
  if (exists && S_ISREG(st.st_mode) && !IsStandardOutput(st)) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved)) target = resolved;  // the file a symlink names
  } else if (!exists && errno == ENOENT) {
    struct stat link;
    if (lstat(path, &link) != 0) target = path;  // a new file (not a dangling link)
  }
  if (!target.empty()) {
    std::string temporary = Folder(target) + "/." + Base(target).substr(0, 64) + ".XXXXXX";
    if (temporary.size() < PATH_MAX) {
      const int fd = mkstemp(temporary.data());
      if (fd >= 0) {
        if (exists) {
          (void)fchown(fd, st.st_uid, st.st_gid);  // kept where we may
          fchmod(fd, st.st_mode & 07777);
        } else {
          const mode_t mask = umask(0);
          umask(mask);
          fchmod(fd, 0666 & ~mask);
        }
        const int slot = Arm(temporary);
        stream_ = slot < 0 ? nullptr : fdopen(fd, "wb");
        if (!stream_) {
          close(fd);
          unlink(temporary.c_str());
          Disarm(slot);
          return false;
        }
        target_ = target;
        temporary_ = temporary;
        slot_ = slot;
        return true;
      }
    }
    // No temporary file can be made beside the target (a folder we may not
    // write in): an existing file is written in place, a new one cannot be.
    if (!exists) return false;
  }
  stream_ = std::fopen(path, "wb");
  return stream_ != nullptr;
}

bool OutputFile::Seal() {
  if (sealed_) return true;
  if (!stream_) return false;
  bool ok = std::fflush(stream_) == 0 && !std::ferror(stream_);
  if (ok && !temporary_.empty()) ok = fsync(fileno(stream_)) == 0;
  ok = std::fclose(stream_) == 0 && ok;
  stream_ = nullptr;
  if (!ok) Abandon();
  sealed_ = ok;
  return ok;
}

bool OutputFile::Commit() {
  bool ok = Seal();
  sealed_ = false;
  if (!temporary_.empty()) {
    ok = ok && std::rename(temporary_.c_str(), target_.c_str()) == 0;
    if (!ok) unlink(temporary_.c_str());
    Disarm(slot_);
    slot_ = -1;
    temporary_.clear();
  }
  return ok;
}

void OutputFile::Abandon() {
  if (stream_) std::fclose(stream_);
  stream_ = nullptr;
  sealed_ = false;
  if (!temporary_.empty()) {
    unlink(temporary_.c_str());
    Disarm(slot_);
    slot_ = -1;
    temporary_.clear();
  }
}
