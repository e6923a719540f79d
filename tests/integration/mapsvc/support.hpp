#pragma once
// The mapsvc binary on a free port for tests, and blocking HTTP without any library.

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace mapsvc_test {
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

inline int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

inline int connect_to(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One request on its own connection: the status, or 0 when it failed.
inline int status_of(int port, const std::string& path) {
  const int fd = connect_to(port);
  if (fd < 0) return 0;
  const std::string req = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string reply;
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  if (!reply.starts_with("HTTP/1.1 ")) return 0;
  return std::stoi(reply.substr(9, 3));
}

inline std::vector<pid_t> children_of(pid_t parent) {
  std::vector<pid_t> out;
  DIR* proc = ::opendir("/proc");
  while (dirent* e = ::readdir(proc)) {
    const pid_t pid = std::atoi(e->d_name);
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // pid (comm) state ppid ...
    const auto close_paren = line.rfind(')');
    if (close_paren == std::string::npos) continue;
    int ppid = 0;
    char state = 0;
    if (std::sscanf(line.c_str() + close_paren + 1, " %c %d", &state, &ppid) == 2 && ppid == parent && state != 'Z')
      out.push_back(pid);
  }
  ::closedir(proc);
  return out;
}

// mapsvc on a free port, with Redis settings from the environment and no database needed by
// the routes these tests call.
class running_mapsvc {
 public:
  // `env`: extra environment variables of the service; `log`: a file for its output (else the
  // test's own).
  explicit running_mapsvc(int workers, std::vector<std::pair<std::string, std::string>> env = {},
                          const std::string& log = {})
      : port_(free_port()) {
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string port = std::to_string(port_), n = std::to_string(workers);
      if (!log.empty()) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
      }
      ::setenv("MAPSVC_LOG_LEVEL", "warning", 1);
      for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
      ::execl(MAPSVC_BIN, MAPSVC_BIN, "--port", port.c_str(), "--workers", n.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 200 && status_of(port_, "/gis/layers/") != 200; ++i) std::this_thread::sleep_for(25ms);
  }
  ~running_mapsvc() {
    ::kill(pid_, SIGKILL);
    for (const pid_t worker : children_of(pid_)) ::kill(worker, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::optional<int> exit_within(std::chrono::milliseconds limit) {
    const auto until = clock_type::now() + limit;
    while (clock_type::now() < until) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }

 private:
  int port_;
  pid_t pid_ = -1;
};

// One request on its own connection: status line code, headers (as received) and body.
struct reply {
  int status = 0;
  std::string head;
  std::string body;
};

inline reply fetch(int port, const std::string& method, const std::string& path, const std::string& extra_headers = "") {
  reply out;
  const int fd = connect_to(port);
  if (fd < 0) return out;
  const std::string req =
      method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra_headers + "Connection: close\r\n\r\n";
  ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  std::string raw;
  char buf[16384];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) raw.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  const auto end = raw.find("\r\n\r\n");
  if (!raw.starts_with("HTTP/1.1 ") || end == std::string::npos) return out;
  out.status = std::stoi(raw.substr(9, 3));
  out.head = raw.substr(0, end);
  out.body = raw.substr(end + 4);
  return out;
}

}  // namespace mapsvc_test
