// Shared by the benchmarks that time an external tool next to our code.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

// Processor time (user + system) of one run of a program, in milliseconds;
// negative when it could not run or failed.
inline double RunProgram(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage use{};
  if (pid < 0 || wait4(pid, &status, 0, &use) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  auto ms = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
  return ms(use.ru_utime) + ms(use.ru_stime);
}
