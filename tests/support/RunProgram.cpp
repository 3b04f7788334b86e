// The child-process runner of the end-to-end tests.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "FastCgiWorker.h"
#include "TestSupport.h"

namespace orvo::test {
namespace {

// Both ends close on exec; the child gets its copies through dup2.
struct Pipe {
  int fd[2] = {-1, -1};
  Pipe() {
    if (pipe2(fd, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  }
  ~Pipe() {
    CloseEnd(0);
    CloseEnd(1);
  }
  void CloseEnd(int end) {
    if (fd[end] >= 0) close(fd[end]);
    fd[end] = -1;
  }
};

// Reads what is available on `fd` into `sink`; false at the end of the channel.
bool Drain(int fd, std::string& sink) {
  char buffer[65536];
  ssize_t n = read(fd, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (n <= 0) return false;
  sink.append(buffer, static_cast<size_t>(n));
  return true;
}

}  // namespace

ProgramResult RunProgram(const std::string& path,
                         const std::map<std::string, std::string>& environment,
                         const std::string& input) {
  if (TestFront() == "fastcgi") return RunThroughFastCgi(path, environment, input);
  if (TargetIsWine()) return RunUnderWine(path, environment, input);
  return RunCommand({path}, environment, input);
}

ProgramResult RunCommand(const std::vector<std::string>& command,
                         const std::map<std::string, std::string>& environment,
                         const std::string& input, const std::string& folder) {
  signal(SIGPIPE, SIG_IGN);  // a child that stops reading early must not end the test
  Pipe in, out, err;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.fd[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.fd[1], STDERR_FILENO);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());

  std::vector<std::string> entries;
  for (const auto& [name, value] : environment) entries.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> arguments = command;
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int spawned = posix_spawn(&pid, command[0].c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    throw std::runtime_error("cannot start " + command[0] + ": " + strerror(spawned));
  }
  in.CloseEnd(0);
  out.CloseEnd(1);
  err.CloseEnd(1);

  // Feed standard input while reading both outputs, so that no side waits on a full pipe.
  fcntl(in.fd[1], F_SETFL, O_NONBLOCK);
  ProgramResult result;
  size_t written = 0;
  if (input.empty()) in.CloseEnd(1);
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    std::vector<pollfd> fds;
    if (outOpen) fds.push_back({out.fd[0], POLLIN, 0});
    if (errOpen) fds.push_back({err.fd[0], POLLIN, 0});
    if (in.fd[1] >= 0) fds.push_back({in.fd[1], POLLOUT, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == out.fd[0]) outOpen = Drain(p.fd, result.out);
      if (p.fd == err.fd[0]) errOpen = Drain(p.fd, result.err);
      if (p.fd == in.fd[1]) {
        ssize_t n = write(p.fd, input.data() + written, input.size() - written);
        if (n > 0) written += static_cast<size_t>(n);
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
          in.CloseEnd(1);
        }
      }
    }
  }
  in.CloseEnd(1);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

// A script is not the program under test: it runs as it is on every front and target.
ProgramResult RunScript(const std::string& script, std::map<std::string, std::string> environment) {
  environment.emplace("PATH", "/usr/sbin:/usr/bin:/sbin:/bin");
  return RunCommand({"/bin/bash"}, environment, script);
}

}  // namespace orvo::test
