#include "SlaveProcess.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tovik::test {
namespace {

using Clock = std::chrono::steady_clock;

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

SlaveProcess::~SlaveProcess() {
  Kill();
  if (!logPath_.empty()) std::remove(logPath_.c_str());
}

const char* SlaveProcess::Program() {
#ifdef TOVIK_SLAVE_PROGRAM
  return TOVIK_SLAVE_PROGRAM;
#else
  return "";
#endif
}

unsigned SlaveProcess::FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  unsigned port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

bool SlaveProcess::Start(const std::vector<std::string>& options, unsigned port) {
  Kill();
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = port ? port : FreePort();
    if (!port_) return false;
    char logName[] = "/tmp/tovik-slave-log-XXXXXX";
    const int logFd = mkstemp(logName);
    if (logFd < 0) return false;
    close(logFd);
    if (!logPath_.empty()) std::remove(logPath_.c_str());
    logPath_ = logName;

    std::vector<std::string> args = {Program(), "--port", std::to_string(port_)};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath_.c_str(), O_WRONLY | O_APPEND, 0);
    posix_spawn_file_actions_addopen(&actions, 2, logPath_.c_str(), O_WRONLY | O_APPEND, 0);
    // The slave leads a process group of its own, with the processes it
    // forks per connection: Kill ends them all at once, as when the machine
    // goes (they would otherwise follow their supervisor only once its exit
    // is done, which takes a while under the sanitizers).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      pid_ = -1;
      return false;
    }
    if (WaitListening(2000)) return true;
    Kill();  // the port was taken meanwhile, or the slave failed: try another
    if (port) return false;
  }
  return false;
}

// True when a socket listens on 127.0.0.1 (or any address) at `port`: a line
// of /proc/net/tcp in state 0A (LISTEN) with that local port.
static bool Listens(unsigned port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    const size_t colon = local.find(':');
    if (state != "0A" || colon == std::string::npos) continue;
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) return true;
  }
  return false;
}

bool SlaveProcess::WaitListening(int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    if (Listens(port_)) return true;
    SleepMs(5);
  }
  return false;
}

void SlaveProcess::Reap(int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    SleepMs(2);
  }
  pid_ = -1;
}

void SlaveProcess::Kill() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGKILL);  // the whole group: the supervisor and its connections
  kill(pid_, SIGKILL);
  Reap(2000);
}

void SlaveProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  Reap(1000);
}

int OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory's own descriptor
}

}  // namespace tovik::test
