// terminal.h - the example server's terminal: an input line with history
// and editing that survives the table's redraws, and the process's own
// standard output and error caught into the messages pane.
//
// LineEditor wraps GNU readline's callback interface. readline is not
// thread-safe: every call of a LineEditor must be made under one lock, the
// one that also guards drawing the table (the Display's).
#ifndef ZUNTAL_SERVER_TERMINAL_H
#define ZUNTAL_SERVER_TERMINAL_H

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace zserver {

class LineEditor {
 public:
  // Edits lines read from `in` and echoes on `out` (the terminal); history
  // keeps the last 200 lines. Takes the terminal when install() is called.
  LineEditor(std::FILE* in, std::FILE* out, std::string prompt);
  ~LineEditor();  // remove()
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  // Puts the terminal into the editor's mode and shows the prompt.
  void install();
  // Gives the terminal back as it was (also after a signal stopped us).
  void remove();
  // Reads what the input has (call when it is readable) and returns the
  // lines completed by it; *eof when the input ended (Ctrl-D on an empty line).
  std::vector<std::string> feed(bool* eof);
  // The cursor is at the start of an empty line: draws the prompt and what
  // has been typed so far, cursor where it was.
  void redraw();
  // The terminal's width changed.
  void resized();

 private:
  std::string prompt_;
  bool installed_ = false;
};

// Sends what is written to the given descriptors (standard output 1 and
// error 2) to `line`, one call per line, until stop() puts them back.
class OutputCapture {
 public:
  using Line = std::function<void(const std::string&)>;
  OutputCapture() = default;
  ~OutputCapture();  // stop()
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Returns 0, or -1 (nothing is redirected then).
  int start(const std::vector<int>& fds, Line line);
  // Restores the descriptors and delivers what is left, a last partial
  // line included. A child process that inherited a caught descriptor (the
  // line supervision's wget) keeps its pipe open: what it wrote until the
  // pipe has been quiet for kDrainMs is delivered, and stop() does not wait
  // for its end.
  void stop();
  static constexpr int kDrainMs = 200;

 private:
  struct Redirect {
    int fd;     // the descriptor caught
    int saved;  // a copy of what it was
    int read;   // the pipe's reading end
  };
  std::vector<Redirect> redirects_;
  int wake_[2] = {-1, -1};  // stop() writes to [1] to end the thread's wait
  std::thread thread_;
  Line line_;
};

// Columns of the terminal on `fd`, or 0 when it is no terminal.
int terminal_width(int fd);

}  // namespace zserver

#endif  // ZUNTAL_SERVER_TERMINAL_H
