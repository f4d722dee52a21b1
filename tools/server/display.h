// display.h - what the example server shows of its nodes.
//
// On a terminal a table refreshed in place (ANSI cursor control): one row per
// node with its line, node id, state number and condition text, identity
// texts, last emergency and frames of the last cycle, below it the latest
// messages and client answers. Otherwise (or with --plain) one line per
// change on the output stream.
#ifndef ZUNTAL_SERVER_DISPLAY_H
#define ZUNTAL_SERVER_DISPLAY_H

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace zserver {

// One node as the display shows it.
struct NodeRow {
  std::string name;  // the node property's name, e.g. NODE5
  int line = 0;
  int node = 0;
  int state = 0;          // .ALIVE
  std::string condition;  // .CONDITION
  std::string manu, hwver, swver;
  // The identity texts are what an earlier run stored: the node has not
  // been read in this run.
  bool identity_stale = false;
  std::string emergency;  // the last emergency, decoded; "" when none came
  int emergencies = 0;    // emergencies seen so far
  int frames = 0;         // frames taken by the node's last fill
  std::string pdo;        // the latest TPDO values, "" without PDO mappings
  std::string note;       // what the server is doing about the node, "" when all is well
};

// The lines that tell a change from `before` (null: the node is new) to
// `now`: its state, its identity, a new emergency. Frame counts are not a
// change worth a line.
std::vector<std::string> change_lines(const NodeRow* before, const NodeRow& now);

// The table as text, lines separated by '\n', without cursor control. With
// `width` > 0 no line is longer: columns are narrowed, their headings
// abbreviated and, where that is not enough, the least needed ones left out.
// With `prompt_below` the last line is the command summary, for an input
// line that follows it; otherwise the summary ends with "then Enter:".
std::string render_table(const std::string& title, const std::vector<NodeRow>& rows,
                         const std::deque<std::string>& messages,
                         const std::deque<std::string>& answers, size_t width = 0,
                         bool prompt_below = false);

class LineEditor;

class Display {
 public:
  enum class Mode { Table, Plain };
  Display(Mode mode, std::ostream& out, std::string title);
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;

  Mode mode() const { return mode_; }

  // New state of the nodes. Plain: the change lines. Table: a redraw when
  // anything shown changed, at most every 200 ms unless `force`.
  void update(const std::vector<NodeRow>& rows, bool force = false);
  // A message of the framework's sink (table mode keeps the latest ones).
  void message(const std::string& label, const std::string& text);
  // A line the process wrote on its standard output or error.
  void output_line(const std::string& text);
  // Table mode on a terminal: the input line below the table, redrawn after
  // the table (null: none), and the descriptor whose terminal width the
  // table fits (-1: no limit).
  void set_editor(LineEditor* editor);
  void set_width_fd(int fd) { width_fd_ = fd; }
  // Reads typed input through the editor, under the display's lock; the
  // completed lines. *eof when the input ended.
  std::vector<std::string> read_input(bool* eof);
  // A client command typed on the terminal and its answer.
  void answer(const std::string& command, const std::string& answer);
  // Leaves the table: the cursor goes below it.
  void finish();

 private:
  void redraw_locked(bool force);
  void push_message_locked(std::string m);

  const Mode mode_;
  std::ostream& out_;
  const std::string title_;
  std::mutex mx_;
  std::map<std::string, NodeRow> last_;  // plain: what was last reported, by name
  std::vector<NodeRow> rows_;
  std::deque<std::string> messages_, answers_;
  std::string shown_;
  std::chrono::steady_clock::time_point drawn_{};
  bool dirty_ = true;
  LineEditor* editor_ = nullptr;
  int width_fd_ = -1;
  int width_ = 0;
};

}  // namespace zserver

#endif  // ZUNTAL_SERVER_DISPLAY_H
