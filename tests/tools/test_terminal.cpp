// The example server on a terminal, driven through a pseudo-terminal as a
// person at a keyboard would: typed text survives the table's redraws, the
// history and the editing keys work, what the library prints on standard
// output shows in the messages pane, the table fits 80 columns, and identity
// texts of an earlier run are marked until read. Also its exit status for a
// bad command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Without the cursor control and carriage returns: the text as it reads.
std::string plain(const std::string& s) {
  std::string r;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r') continue;
    if (s[i] == '\x1b' && i + 1 < s.size() && s[i + 1] == '[') {
      // CSI: parameters, then one final letter.
      i += 2;
      while (i < s.size() && !std::isalpha(static_cast<unsigned char>(s[i]))) ++i;
      continue;
    }
    r += s[i];
  }
  return r;
}

class Terminal {
 public:
  // Starts the server in `dir` on a pseudo-terminal of 80 x 40.
  Terminal(const std::string& dir, const std::vector<std::string>& args) {
    winsize ws{};
    ws.ws_col = 80;
    ws.ws_row = 40;
    pid_ = ::forkpty(&fd_, nullptr, nullptr, &ws);
    if (pid_ == 0) {
      if (::chdir(dir.c_str()) != 0) ::_exit(126);
      ::setenv("TERM", "xterm", 1);
      ::unsetenv("INPUTRC");
      ::setenv("HOME", dir.c_str(), 1);  // no ~/.inputrc of the person running the tests
      std::vector<char*> argv{const_cast<char*>(ZUNTAL_SERVER)};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  bool started() const { return pid_ > 0; }

  void type(const std::string& keys) {
    ASSERT_EQ(::write(fd_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Reads the output until `pred` holds for it (at most 20 s).
  bool until(const std::function<bool(const std::string&)>& pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pred(out_)) {
      if (std::chrono::steady_clock::now() > end) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buf[4096];
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n <= 0) return pred(out_);
      out_.append(buf, static_cast<size_t>(n));
    }
    return true;
  }
  const std::string& output() const { return out_; }
  size_t size() const { return out_.size(); }
  // The screen as the last full redraw (cursor home) left it, as text.
  std::string screen() const {
    size_t home = out_.rfind("\x1b[H");
    return plain(home == std::string::npos ? out_ : out_.substr(home));
  }
  // Waits for the server's end; its exit status.
  int wait() {
    until([](const std::string&) { return false; });  // drains until the pty closes
    int st = 0;
    if (::waitpid(pid_, &st, 0) != pid_) return -1;
    pid_ = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string out_;
};

size_t count(const std::string& s, const std::string& what) {
  size_t n = 0;
  for (size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

class ServerTerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/zuntal-terminal-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::ifstream in(std::string(ZUNTAL_EXAMPLES_DIR) + "/zps48.eds");
    std::ofstream(dir_ + "/zps48.eds") << in.rdbuf();
    // A device without the identity objects: reading its name is aborted,
    // which the library reports on standard output.
    std::ofstream(dir_ + "/bare.eds") << "[DeviceInfo]\nProductName=Bare\n"
                                         "[MandatoryObjects]\nSupportedObjects=2\n1=0x1000\n"
                                         "2=0x1017\n"
                                         "[1000]\nParameterName=Device type\nDataType=0x0007\n"
                                         "AccessType=ro\nDefaultValue=0\n"
                                         "[1017]\nParameterName=Producer heartbeat time\n"
                                         "DataType=0x0006\nAccessType=rw\nDefaultValue=100\n";
    // NODE9 has texts from an earlier run but no device answers for it.
    std::ofstream(dir_ + "/server.conf")
        << "LOCATION CANOPEN.LINE1\n"
           "NODE5\t1 5 0 0\nNODE5.BAUDRATE\t6\n"
           "NODE7\t1 7 0 0\nNODE7.BAUDRATE\t6\n"
           "NODE9\t1 9 0 0\nNODE9.BAUDRATE\t6\nNODE9.MANU\t\"Old Supply\"\n"
           "NODE9.SWVER\t\"V0.9\"\n"
           "LOCATION SIMULATION\n"
           "DEVICE5\t1 5 \"zps48.eds\"\nDEVICE7\t1 7 \"bare.eds\"\n";
  }
  void TearDown() override {
    if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string dir_;
};

TEST_F(ServerTerminal, InputLineSurvivesRedrawsWithHistoryAndEditing) {
  Terminal t(dir_, {"--config", "server.conf", "--write-config", "out.conf"});
  ASSERT_TRUE(t.started());
  ASSERT_TRUE(t.until([](const std::string& o) {
    return plain(o).find("\n> ") != std::string::npos;
  })) << plain(t.output());

  // Half a command, then redraws (the nodes come up, NODE9 stays silent):
  // each redraw shows the prompt with the text typed so far.
  t.type("get NODE5.MA");
  const size_t typed = t.size();
  ASSERT_TRUE(t.until([&](const std::string& o) {
    return count(o.substr(typed), "\x1b[H") >= 2 &&
           t.screen().find("\n> get NODE5.MA") != std::string::npos;
  })) << t.screen();

  t.type("NU\r");
  ASSERT_TRUE(t.until([&](const std::string&) {
    return t.screen().find("  > get NODE5.MANU\n    ZPS-48 Power Supply") != std::string::npos;
  })) << t.screen();

  // Up brings the command back; Enter runs it again.
  t.type("\x1b[A\r");
  ASSERT_TRUE(t.until([&](const std::string&) {
    return count(t.screen(), "  > get NODE5.MANU\n    ZPS-48 Power Supply") == 2;
  })) << t.screen();

  // Backspace, and Ctrl-A to the start of the line.
  t.type("et NODE5.SWVEX\x7fR\x01g\r");
  ASSERT_TRUE(t.until([&](const std::string&) {
    return t.screen().find("  > get NODE5.SWVER\n    V1.04.2") != std::string::npos;
  })) << t.screen();

  // The library's line on standard output is in the messages pane, and the
  // stored texts of the node never reached are marked.
  ASSERT_TRUE(t.until([&](const std::string&) {
    const std::string s = t.screen();
    const size_t pane = s.find("messages:");
    return pane != std::string::npos &&
           s.find("Segmented transfer aborted with code 0x6020000", pane) != std::string::npos &&
           s.find("*Old Supply") != std::string::npos;
  })) << t.screen();
  const std::string s = t.screen();
  EXPECT_NE(s.find("* identity stored by an earlier run"), std::string::npos) << s;
  EXPECT_EQ(s.find("*ZPS-48"), std::string::npos) << "read in this run: not marked\n" << s;

  // Nothing on the screen is wider than the terminal.
  std::istringstream lines(s);
  for (std::string l; std::getline(lines, l);) EXPECT_LE(l.size(), 80u) << l;
  EXPECT_NE(s.find("NODE5 "), std::string::npos);

  t.type("quit\r");
  EXPECT_EQ(t.wait(), 0);
}

TEST_F(ServerTerminal, BadCommandLinesExitWith2) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{{"--bogus"},
                                                                             {"--period-ms", "5"},
                                                                             {"--period-ms", "x"},
                                                                             {"--plain", "--table"},
                                                                             {"--run-for", "-1"}}) {
    Terminal t(dir_, args);
    ASSERT_TRUE(t.started());
    EXPECT_EQ(t.wait(), 2) << args[0] << "\n" << plain(t.output());
    if (args[0] == "--run-for") {
      EXPECT_EQ(plain(t.output()).rfind("--run-for: Value -1 is not 0 or more\n", 0), 0u)
          << plain(t.output());
    }
  }
}

}  // namespace
