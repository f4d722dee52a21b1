// terminal.cpp - line editing with readline, and output caught into the pane.
#include "terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <readline/history.h>
#include <readline/readline.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace zserver {

namespace {

// readline's callback interface has one handler and no user pointer: the
// lines it completes are collected here, under the caller's lock.
std::vector<std::string>* g_lines = nullptr;
bool g_eof = false;

extern "C" void on_line(char* line) {
  if (!line) {
    g_eof = true;
    return;
  }
  if (*line) add_history(line);
  if (g_lines) g_lines->push_back(line);
  std::free(line);
}

}  // namespace

LineEditor::LineEditor(std::FILE* in, std::FILE* out, std::string prompt)
    : prompt_(std::move(prompt)) {
  rl_instream = in;
  rl_outstream = out;
  // The server handles SIGINT, SIGTERM and the terminal's size itself, and
  // LINES and COLUMNS stay as they are.
  rl_catch_signals = 0;
  rl_catch_sigwinch = 0;
  rl_change_environment = 0;
  rl_readline_name = "zuntal_server";
  stifle_history(200);
}

LineEditor::~LineEditor() {
  remove();
}

void LineEditor::install() {
  if (installed_) return;
  rl_callback_handler_install(prompt_.c_str(), on_line);
  installed_ = true;
}

void LineEditor::remove() {
  if (!installed_) return;
  rl_callback_handler_remove();
  installed_ = false;
}

std::vector<std::string> LineEditor::feed(bool* eof) {
  std::vector<std::string> lines;
  if (!installed_) return lines;
  g_lines = &lines;
  g_eof = false;
  rl_callback_read_char();
  g_lines = nullptr;
  *eof = g_eof;
  if (g_eof) remove();
  return lines;
}

void LineEditor::redraw() {
  if (!installed_) return;
  rl_forced_update_display();
}

void LineEditor::resized() {
  if (installed_) rl_resize_terminal();
}

// ---- OutputCapture ------------------------------------------------------------

OutputCapture::~OutputCapture() {
  stop();
}

int OutputCapture::start(const std::vector<int>& fds, Line line) {
  line_ = std::move(line);
  for (int fd : fds) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) break;
    const int saved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (saved < 0 || ::dup2(p[1], fd) < 0) {
      if (saved >= 0) ::close(saved);
      ::close(p[0]);
      ::close(p[1]);
      break;
    }
    ::close(p[1]);
    redirects_.push_back({fd, saved, p[0]});
  }
  if (redirects_.size() != fds.size() || ::pipe2(wake_, O_CLOEXEC) != 0) {
    stop();
    return -1;
  }
  thread_ = std::thread([this] {
    std::vector<std::string> pending(redirects_.size());
    std::vector<bool> open(redirects_.size(), true);
    auto deliver = [this](std::string* buf, bool all) {
      size_t nl;
      while ((nl = buf->find('\n')) != std::string::npos) {
        std::string l = buf->substr(0, nl);
        buf->erase(0, nl + 1);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (!l.empty()) line_(l);
      }
      // A line without its end is delivered when it grows long or at the end.
      if ((all || buf->size() > 4096) && !buf->empty()) {
        line_(*buf);
        buf->clear();
      }
    };
    bool stopping = false;
    while (true) {
      std::vector<pollfd> pfds;
      std::vector<size_t> which;
      for (size_t k = 0; k < redirects_.size(); ++k)
        if (open[k]) {
          pfds.push_back({redirects_[k].read, POLLIN, 0});
          which.push_back(k);
        }
      if (pfds.empty()) break;
      if (!stopping) pfds.push_back({wake_[0], POLLIN, 0});
      const int r = ::poll(pfds.data(), pfds.size(), stopping ? kDrainMs : -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (r == 0) {
        // Stopping, and quiet for kDrainMs although a writer is still there.
        for (std::string& buf : pending) deliver(&buf, true);
        break;
      }
      for (size_t i = 0; i < which.size(); ++i) {
        if (!pfds[i].revents) continue;
        const size_t k = which[i];
        char buf[4096];
        const ssize_t n = ::read(redirects_[k].read, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          open[k] = false;
          deliver(&pending[k], true);
          continue;
        }
        pending[k].append(buf, static_cast<size_t>(n));
        deliver(&pending[k], false);
      }
      if (!stopping && pfds.back().fd == wake_[0] && pfds.back().revents) stopping = true;
    }
  });
  return 0;
}

void OutputCapture::stop() {
  std::fflush(stdout);
  std::fflush(stderr);
  // Putting the descriptors back closes the pipes' writing ends: the thread
  // reads what is left and ends.
  for (const Redirect& r : redirects_) {
    ::dup2(r.saved, r.fd);
    ::close(r.saved);
  }
  if (thread_.joinable()) {
    const char one = 1;
    while (::write(wake_[1], &one, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  for (const Redirect& r : redirects_) ::close(r.read);
  redirects_.clear();
  for (int& fd : wake_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

int terminal_width(int fd) {
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) != 0) return 0;
  return ws.ws_col;
}

}  // namespace zserver
