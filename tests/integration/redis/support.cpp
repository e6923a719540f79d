#include "support.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace redis_test {

namespace {
std::string env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

bool accepts_connections(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}
}  // namespace

redis::options shared_server() {
  redis::options o;
  o.host = env_or("REDIS_HOST", "127.0.0.1");
  o.port = std::stoi(env_or("REDIS_PORT", "56379"));
  return o;
}

std::string unique_prefix() {
  return "redis_client_test:" + std::to_string(::getpid()) + ":" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ":";
}

int free_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

redis_child::redis_child() : port_(free_port()) { start(); }

redis_child::~redis_child() { kill(); }

redis::options redis_child::options() const {
  redis::options o;
  o.host = "127.0.0.1";
  o.port = port_;
  return o;
}

void redis_child::start() {
  const std::string port = std::to_string(port_);
  pid_ = ::fork();
  if (pid_ == 0) {
    const int null = ::open("/dev/null", O_WRONLY);  // keep the server's banner out of test output
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execlp("redis-server", "redis-server", "--port", port.c_str(), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--loglevel", "warning", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 500 && !accepts_connections(port_); ++i) std::this_thread::sleep_for(10ms);
  if (!accepts_connections(port_)) throw std::runtime_error("redis-server did not start on port " + port);
}

void redis_child::pause() { ::kill(pid_, SIGSTOP); }
void redis_child::resume() { ::kill(pid_, SIGCONT); }

void redis_child::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace redis_test
