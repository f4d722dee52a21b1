// display.cpp - the node table on a terminal, or one line per change.
#include "display.h"

#include <algorithm>
#include <sstream>

#include "terminal.h"

namespace zserver {

namespace {

constexpr size_t kMessages = 8;
constexpr size_t kAnswers = 6;  // three commands with their answers

std::string cut(const std::string& s, size_t w) {
  if (w == 0) return "";
  return s.size() <= w ? s : s.substr(0, w - 1) + "~";
}

const char kStaleMark[] = "*";
const char kStaleLegend[] =
    "* identity stored by an earlier run, not read from the node in this run";

// What goes to the terminal shows no control character but the line ends:
// texts from clients, devices and the configuration file could otherwise
// move the cursor, clear the screen or set the window title.
std::string visible(std::string s) {
  for (char& c : s)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == '\x7f') c = '?';
  return s;
}

std::string state_line(const NodeRow& r) {
  std::ostringstream os;
  os << r.name << " (line " << r.line << ", node " << r.node << "): state " << r.state << " "
     << (r.condition.empty() ? "-" : r.condition);
  if (!r.note.empty()) os << " - " << r.note;
  return os.str();
}

}  // namespace

std::vector<std::string> change_lines(const NodeRow* before, const NodeRow& now) {
  std::vector<std::string> out;
  // Bit 7 of a node-guarding answer is its toggle bit: no change of state.
  if (!before || (before->state & 0x7F) != (now.state & 0x7F) ||
      before->condition != now.condition || before->note != now.note || before->line != now.line ||
      before->node != now.node)
    out.push_back(state_line(now));
  const bool has_identity = !now.manu.empty() || !now.hwver.empty() || !now.swver.empty();
  if ((before && (before->manu != now.manu || before->hwver != now.hwver ||
                  before->swver != now.swver || before->identity_stale != now.identity_stale)) ||
      (!before && has_identity))
    out.push_back(now.name + ": identity \"" + now.manu + "\", hardware \"" + now.hwver +
                  "\", software \"" + now.swver + "\"" +
                  (now.identity_stale && has_identity
                       ? " (stored by an earlier run, not read in this run)"
                       : ""));
  if (now.emergencies > (before ? before->emergencies : 0))
    out.push_back(now.name + ": emergency " + now.emergency);
  return out;
}

std::string render_table(const std::string& title, const std::vector<NodeRow>& rows,
                         const std::deque<std::string>& messages,
                         const std::deque<std::string>& answers, size_t width, bool prompt_below) {
  struct Col {
    const char* head;
    const char* short_head;  // when the terminal is too narrow for the full headings
    size_t max;
    size_t min;  // narrowest it gets before it is left out
    bool right;
  };
  enum { kNode, kLine, kId, kState, kCond, kManu, kHw, kSw, kEmcy, kFrames, kPdo, kNote, kCols };
  static const Col cols[kCols] = {
      {"NODE", "NODE", 16, 6, false},
      {"LINE", "LN", 4, 2, true},
      {"ID", "ID", 3, 3, true},
      {"STATE", "ST", 5, 3, true},
      {"CONDITION", "CONDITION", 16, 7, false},
      {"MANU", "MANU", 26, 8, false},
      {"HWVER", "HW", 10, 3, false},
      {"SWVER", "SW", 20, 6, false},
      {"LAST EMERGENCY", "EMERGENCY", 44, 9, false},
      {"FRAMES", "FR", 6, 3, true},
      {"TPDO VALUES", "TPDO", 72, 8, false},
      {"NOTE", "NOTE", 40, 4, false},
  };
  bool stale = false;
  std::vector<std::vector<std::string>> cells;
  for (const NodeRow& r : rows) {
    const std::string mark = r.identity_stale ? kStaleMark : "";
    auto ident = [&](const std::string& t) { return t.empty() ? t : mark + t; };
    stale =
        stale || (r.identity_stale && (!r.manu.empty() || !r.hwver.empty() || !r.swver.empty()));
    cells.push_back(
        {r.name, std::to_string(r.line), std::to_string(r.node), std::to_string(r.state),
         r.condition.empty() ? "-" : r.condition, ident(r.manu), ident(r.hwver), ident(r.swver),
         r.emergency.empty() ? "-" : r.emergency, std::to_string(r.frames), r.pdo, r.note});
  }
  // Without any PDO mapping the column is not shown at all.
  bool any_pdo = false;
  for (const NodeRow& r : rows) any_pdo = any_pdo || !r.pdo.empty();

  bool shown[kCols];
  bool short_heads = false;
  size_t w[kCols];
  auto measure = [&] {
    for (size_t c = 0; c < kCols; ++c) {
      shown[c] = c != kPdo || any_pdo;
      w[c] = std::string(short_heads ? cols[c].short_head : cols[c].head).size();
      for (const auto& row : cells) w[c] = std::max(w[c], std::min(row[c].size(), cols[c].max));
    }
  };
  auto total = [&] {
    size_t t = 0, n = 0;
    for (size_t c = 0; c < kCols; ++c)
      if (shown[c]) t += w[c], ++n;
    return n ? t + 2 * (n - 1) : 0;
  };
  measure();
  if (width > 0 && total() > width) {
    short_heads = true;
    measure();
    // Narrowed first where a cut text still says most, then left out what a
    // reader needs least; the node's name and condition are cut last.
    auto narrow = [&](std::initializer_list<int> which) {
      for (int c : which) {
        if (total() <= width) break;
        const size_t floor = std::max(cols[c].min, std::string(cols[c].short_head).size());
        if (w[c] > floor) w[c] -= std::min(w[c] - floor, total() - width);
      }
    };
    auto drop = [&](std::initializer_list<int> which) {
      for (int c : which) {
        if (total() <= width) break;
        shown[c] = false;
      }
    };
    // The TPDO values go first, whole, so that a narrow table looks as it
    // did without them.
    narrow({kPdo});
    drop({kPdo});
    narrow({kNote, kEmcy, kSw, kManu});
    drop({kFrames, kHw, kSw, kNote, kEmcy, kManu});
    narrow({kCond, kNode});
    drop({kLine});
  }
  size_t last = 0;
  for (size_t c = 0; c < kCols; ++c)
    if (shown[c]) last = c;
  auto line = [&](const std::vector<std::string>& v) {
    std::string s;
    bool first = true;
    for (size_t c = 0; c < kCols; ++c) {
      if (!shown[c]) continue;
      std::string t = cut(v[c], std::max(w[c], size_t{2}));
      std::string pad(w[c] - std::min(w[c], t.size()), ' ');
      if (!first) s += "  ";
      first = false;
      s += cols[c].right ? pad + t : t + (c < last ? pad : "");
    }
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  };
  // Lines outside the table are cut to the width too: a wrapped line would
  // push the input line off its place.
  auto fit = [width](const std::string& s) { return width > 0 ? cut(s, width) : s; };

  std::ostringstream os;
  // The title is wrapped at its "; " parts rather than cut: where the
  // configuration is written must stay readable.
  if (width > 0 && title.size() > width) {
    std::string cur;
    size_t from = 0;
    while (from <= title.size()) {
      size_t end = title.find("; ", from);
      std::string part =
          title.substr(from, end == std::string::npos ? std::string::npos : end + 1 - from);
      if (!cur.empty() && cur.size() + 1 + part.size() > width) {
        os << fit(cur) << "\n";
        cur = "  " + part;
      } else {
        cur += (cur.empty() ? "" : " ") + part;
      }
      if (end == std::string::npos) break;
      from = end + 2;
    }
    os << fit(cur) << "\n\n";
  } else {
    os << title << "\n\n";
  }
  std::vector<std::string> head;
  for (const Col& c : cols) head.push_back(short_heads ? c.short_head : c.head);
  os << line(head) << "\n";
  for (const auto& row : cells) os << line(row) << "\n";
  if (rows.empty()) os << "(no nodes)\n";
  if (stale) os << fit(kStaleLegend) << "\n";
  os << "\nmessages:\n";
  for (const std::string& m : messages) os << fit("  " + m) << "\n";
  if (!answers.empty()) {
    os << "\nanswers:\n";
    for (const std::string& a : answers) os << fit("  " + a) << "\n";
  }
  os << "\n"
     << fit(prompt_below ? "command: get NAME | set NAME VALUE... | list | sdo NODE read|write ... "
                           "| pdo NODE [N VALUE...] | help | "
                           "quit"
                         : "command (get NAME | set NAME VALUE... | list | sdo NODE read|write ... "
                           "| pdo NODE [N VALUE...] | help | "
                           "quit), then Enter:");
  return visible(os.str());
}

Display::Display(Mode mode, std::ostream& out, std::string title)
    : mode_(mode), out_(out), title_(std::move(title)) {}

void Display::update(const std::vector<NodeRow>& rows, bool force) {
  std::lock_guard<std::mutex> g(mx_);
  if (mode_ == Mode::Plain) {
    for (const NodeRow& r : rows) {
      auto it = last_.find(r.name);
      for (const std::string& l : change_lines(it == last_.end() ? nullptr : &it->second, r))
        out_ << visible(l) << "\n";
      last_[r.name] = r;
    }
    out_.flush();
    return;
  }
  rows_ = rows;
  dirty_ = true;
  redraw_locked(force);
}

void Display::message(const std::string& label, const std::string& text) {
  std::lock_guard<std::mutex> g(mx_);
  if (mode_ == Mode::Plain) {
    out_ << visible(label + " " + text) << "\n";
    out_.flush();
    return;
  }
  push_message_locked(label + " " + text);
}

void Display::output_line(const std::string& text) {
  std::lock_guard<std::mutex> g(mx_);
  if (mode_ == Mode::Plain) {
    out_ << visible(text) << "\n";
    out_.flush();
    return;
  }
  push_message_locked(text);
}

void Display::push_message_locked(std::string m) {
  for (char& c : m)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  messages_.push_back(m);
  while (messages_.size() > kMessages) messages_.pop_front();
  dirty_ = true;
}

void Display::set_editor(LineEditor* editor) {
  std::lock_guard<std::mutex> g(mx_);
  editor_ = editor;
  if (editor_) {
    // The prompt appears with the first drawing of the table.
    dirty_ = true;
    redraw_locked(true);
  }
}

std::vector<std::string> Display::read_input(bool* eof) {
  std::lock_guard<std::mutex> g(mx_);
  *eof = false;
  if (!editor_) return {};
  return editor_->feed(eof);
}

void Display::answer(const std::string& command, const std::string& answer) {
  std::lock_guard<std::mutex> g(mx_);
  if (mode_ == Mode::Plain) {
    out_ << visible(answer) << "\n";
    out_.flush();
    return;
  }
  answers_.push_back("> " + command);
  answers_.push_back("  " + answer);
  while (answers_.size() > kAnswers) answers_.pop_front();
  dirty_ = true;
  redraw_locked(true);
}

void Display::finish() {
  std::lock_guard<std::mutex> g(mx_);
  if (mode_ == Mode::Table) {
    LineEditor* editor = editor_;
    editor_ = nullptr;
    if (editor) editor->remove();
    dirty_ = true;
    redraw_locked(true);
    out_ << "\n";
    out_.flush();
  }
}

void Display::redraw_locked(bool force) {
  auto now = std::chrono::steady_clock::now();
  if (width_fd_ >= 0) {
    const int w = terminal_width(width_fd_);
    if (w != width_) {
      width_ = w;
      dirty_ = true;
      force = true;
      if (editor_) editor_->resized();
    }
  }
  if (!dirty_) return;
  if (!force && now - drawn_ < std::chrono::milliseconds(200)) return;
  std::string text =
      render_table(title_, rows_, messages_, answers_, static_cast<size_t>(width_), editor_);
  dirty_ = false;
  if (text == shown_ && !force) return;
  drawn_ = now;
  // Home, every line cleared to its end, the rest of the screen cleared: the
  // table is rewritten in place without flicker.
  std::string out = shown_.empty() ? "\x1b[2J\x1b[H" : "\x1b[H";
  std::istringstream in(text);
  std::string l;
  bool first = true;
  while (std::getline(in, l)) {
    if (!first) out += "\x1b[K\n";
    out += l;
    first = false;
  }
  // With an input line, the cursor goes to the start of the line below the
  // table, where the editor draws its prompt and what has been typed.
  out += editor_ ? "\x1b[K\n\x1b[J" : "\x1b[K\x1b[J";
  out_ << out;
  out_.flush();
  if (editor_) editor_->redraw();
  shown_ = text;
}

}  // namespace zserver
