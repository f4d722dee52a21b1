// child.h - a program the peer tests run beside them (the gateway, the
// node-canopen peer): its standard input and output are pipes of the test,
// its standard error is the test's. Every line it prints is kept, so a test
// can wait for a line and look back at what came before.
#ifndef ZUNTAL_TESTS_PEER_CHILD_H
#define ZUNTAL_TESTS_PEER_CHILD_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace peertest {

class Child {
 public:
  Child() = default;
  ~Child();  // stop(1000, false)
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Runs argv[0] (a path) with the arguments that follow. The child is
  // killed when the thread that started it ends, so a crashed test leaves
  // nothing running. False with *error when it could not be started.
  bool start(const std::vector<std::string>& argv, std::string* error);
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Writes one line to the child's standard input.
  bool send(const std::string& line);

  // Waits at most timeout_ms (real time) for a line, from the `from`-th line
  // on, for which `match` holds; returns its index, or -1 when none came in
  // time or the child's output ended.
  int wait_for(const std::function<bool(const std::string&)>& match, int timeout_ms,
               size_t from = 0);
  // The same for a line equal to `line`.
  int wait_for_line(const std::string& line, int timeout_ms, size_t from = 0);

  // Every line printed so far, and how many.
  const std::vector<std::string>& lines() const { return lines_; }
  size_t line_count() const { return lines_.size(); }

  // Ends the child: closes its input and, when input_first, gives it
  // grace_ms to end on that; then SIGTERM, and SIGKILL after another
  // grace_ms. Returns its exit status as waitpid gives it, or -1 when there
  // was no child.
  int stop(int grace_ms = 1000, bool input_first = true);

 private:
  // Reads what is there, waiting at most timeout_ms; false at end of output.
  bool pump(int timeout_ms);

  pid_t pid_ = -1;
  int in_fd_ = -1;   // the child's standard input
  int out_fd_ = -1;  // the child's standard output
  std::string partial_;
  std::vector<std::string> lines_;
};

// The path of an executable found in PATH, or "" when there is none.
std::string find_in_path(const std::string& name);

}  // namespace peertest

#endif  // ZUNTAL_TESTS_PEER_CHILD_H
