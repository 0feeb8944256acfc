// Running the real programs from tests: fork, exec, pipes for the three streams.
#include "tests/support/run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/error.h"

RunResult Run(const std::string& program, const std::vector<std::string>& args,
              const std::string& input, const std::vector<std::string>& env) {
  const std::string path = std::string(SUITE_BIN_DIR) + "/" + program;
  // A program that exits before reading all its input must not kill the test.
  std::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    for (const std::string& e : env) {
      const size_t eq = e.find('=');
      if (eq == std::string::npos) {
        unsetenv(e.c_str());
        continue;
      }
      const std::string name = e.substr(0, eq), value = e.substr(eq + 1);
      if (name == "STDIN" || name == "STDOUT" || name == "STDERR") {
        const int fd = name == "STDIN" ? 0 : name == "STDOUT" ? 1 : 2;
        dup2(open(value.c_str(), fd == 0 ? O_RDONLY : O_WRONLY), fd);
      } else if (name == "RLIMIT_AS" || name == "RLIMIT_FSIZE" || name == "RLIMIT_STACK") {
        const rlim_t bytes = std::stoull(value);
        const rlimit limit{bytes, bytes};
        setrlimit(name == "RLIMIT_AS"      ? RLIMIT_AS
                  : name == "RLIMIT_STACK" ? RLIMIT_STACK
                                           : RLIMIT_FSIZE,
                  &limit);
        // Files may not grow beyond the limit; with SIGXFSZ ignored the
        // write that would pass it fails (EFBIG) instead of killing.
        if (name == "RLIMIT_FSIZE") std::signal(SIGXFSZ, SIG_IGN);
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    std::vector<char*> argv;
#ifdef SUITE_EMULATOR
    // The program is a foreign binary: the emulator runs it, found on PATH.
    static char emulator[] = SUITE_EMULATOR;
    for (char* word = std::strtok(emulator, " "); word; word = std::strtok(nullptr, " "))
      argv.push_back(word);
#endif
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
#ifdef SUITE_EMULATOR
    execvp(argv[0], argv.data());
#else
    execv(path.c_str(), argv.data());
#endif
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  RunResult r;
  size_t written = 0;
  if (input.empty()) {
    close(in[1]);
    in[1] = -1;
  }
  bool out_open = true, err_open = true;
  char buf[65536];
  while (out_open || err_open) {
    pollfd fds[3];
    int n = 0;
    if (out_open) fds[n++] = {out[0], POLLIN, 0};
    if (err_open) fds[n++] = {err[0], POLLIN, 0};
    if (in[1] >= 0) fds[n++] = {in[1], POLLOUT, 0};
    poll(fds, static_cast<nfds_t>(n), -1);
    for (int k = 0; k < n; ++k) {
      if (!fds[k].revents) continue;
      if (fds[k].fd == in[1]) {
        const ssize_t w = write(in[1], input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 || written == input.size()) {
          close(in[1]);
          in[1] = -1;
        }
        continue;
      }
      const ssize_t got = read(fds[k].fd, buf, sizeof buf);
      std::string& dst = fds[k].fd == out[0] ? r.out : r.err;
      if (got > 0) {
        dst.append(buf, static_cast<size_t>(got));
      } else {
        (fds[k].fd == out[0] ? out_open : err_open) = false;
      }
    }
  }
  if (in[1] >= 0) close(in[1]);
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

std::string DataPath(const std::string& name) {
  return std::string(TEST_DATA_DIR) + "/" + name;
}

std::string TempDir() {
  // Removed when the test program ends.
  static struct Made {
    std::vector<std::string> dirs;
    ~Made() {
      for (const std::string& d : dirs) std::filesystem::remove_all(d);
    }
  } made;
  char tmpl[] = "/tmp/polyfield-test-XXXXXX";
  const char* dir = mkdtemp(tmpl);
  if (!dir) throw std::runtime_error("mkdtemp");
  made.dirs.push_back(dir);
  return dir;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary);
  f << data;
}

void InstallErrorHook() {
  SetErrorHook([](const char* message) { throw ErrorCalled(message); });
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream s(text);
  while (std::getline(s, line)) lines.push_back(line);
  return lines;
}

std::vector<double> Numbers(const std::string& line) {
  std::vector<double> v;
  const char* p = line.c_str();
  char* end;
  for (;;) {
    const double d = std::strtod(p, &end);
    if (end == p) break;
    v.push_back(d);
    p = end;
  }
  return v;
}

void ExpectFailure(const RunResult& r, const std::string& message, const std::string& what) {
  EXPECT_EQ(r.status, 1) << what;
  EXPECT_EQ(r.err, message + "\n") << what;
}

std::string BlueMap() {
  static const std::string path = [] {
    const std::string p = TempDir() + "/blue.cm";
    WriteFile(p, "- 0 0 255\n");
    return p;
  }();
  return path;
}
