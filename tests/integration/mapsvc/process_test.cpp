// The mapsvc binary as operators run it: worker processes that are replaced when they die
// while clients keep being answered, and signals that drain or, the second time, end at once.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

int free_port() {
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

int connect_to(int port) {
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
int status_of(int port, const std::string& path) {
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

std::vector<pid_t> children_of(pid_t parent) {
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
  explicit running_mapsvc(int workers) : port_(free_port()) {
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string port = std::to_string(port_), n = std::to_string(workers);
      ::setenv("MAPSVC_LOG_LEVEL", "warning", 1);
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

TEST(Workers, AWorkerKilledUnderLoadIsReplacedAndClientsKeepBeingAnswered) {
  running_mapsvc svc(2);
  ASSERT_EQ(status_of(svc.port(), "/gis/layers/"), 200);
  const auto workers = children_of(svc.pid());
  ASSERT_EQ(workers.size(), 2u);

  std::atomic<bool> stop = false, killed = false;
  std::atomic<int> answered_after = 0, failed_after = 0;
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i)
    clients.emplace_back([&] {
      while (!stop) {
        const bool after = killed;
        const int status = status_of(svc.port(), "/gis/layers/");
        if (!after) continue;
        (status == 200 ? answered_after : failed_after)++;
      }
    });
  std::this_thread::sleep_for(300ms);
  ::kill(workers[0], SIGKILL);
  killed = true;
  std::this_thread::sleep_for(1500ms);
  stop = true;
  for (auto& c : clients) c.join();

  // Only a request the killed worker had already taken may fail.
  EXPECT_GT(answered_after, 100);
  EXPECT_LE(failed_after, 4);
  const auto now = children_of(svc.pid());
  EXPECT_EQ(now.size(), 2u);
  EXPECT_EQ(std::set<pid_t>(now.begin(), now.end()).count(workers[0]), 0u);
}

TEST(Signals, TheFirstDrainsTheSecondEndsAtOnce) {
  running_mapsvc svc(1);
  // A request still arriving holds the drain for up to the grace period (10 s).
  const int slow = connect_to(svc.port());
  ASSERT_GE(slow, 0);
  const std::string partial = "GET /gis/layers/ HTTP/1.1\r\nHo";
  ::send(slow, partial.data(), partial.size(), MSG_NOSIGNAL);
  std::this_thread::sleep_for(100ms);
  ::kill(svc.pid(), SIGTERM);
  EXPECT_FALSE(svc.exit_within(500ms));
  const auto t0 = clock_type::now();
  ::kill(svc.pid(), SIGTERM);
  EXPECT_TRUE(svc.exit_within(2s));
  EXPECT_LT(clock_type::now() - t0, 1s);
  ::close(slow);
}

TEST(Signals, AnIdleServiceStopsCleanly) {
  running_mapsvc svc(2);
  ::kill(svc.pid(), SIGTERM);
  EXPECT_EQ(svc.exit_within(3s), 0);
}

}  // namespace
