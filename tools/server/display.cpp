// display.cpp - the node table on a terminal, or one line per change.
#include "display.h"

#include <algorithm>
#include <sstream>

namespace zserver {

namespace {

constexpr size_t kMessages = 8;
constexpr size_t kAnswers = 6;  // three commands with their answers

std::string cut(const std::string& s, size_t w) {
  return s.size() <= w ? s : s.substr(0, w - 1) + "~";
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
  if ((before &&
       (before->manu != now.manu || before->hwver != now.hwver || before->swver != now.swver)) ||
      (!before && has_identity))
    out.push_back(now.name + ": identity \"" + now.manu + "\", hardware \"" + now.hwver +
                  "\", software \"" + now.swver + "\"");
  if (now.emergencies > (before ? before->emergencies : 0))
    out.push_back(now.name + ": emergency " + now.emergency);
  return out;
}

std::string render_table(const std::string& title, const std::vector<NodeRow>& rows,
                         const std::deque<std::string>& messages,
                         const std::deque<std::string>& answers) {
  struct Col {
    const char* head;
    size_t max;
    bool right;
  };
  static const Col cols[] = {
      {"NODE", 16, false},  {"LINE", 4, true},        {"ID", 3, true},
      {"STATE", 5, true},   {"CONDITION", 16, false}, {"MANU", 26, false},
      {"HWVER", 10, false}, {"SWVER", 20, false},     {"LAST EMERGENCY", 44, false},
      {"FRAMES", 6, true},  {"NOTE", 40, false},
  };
  constexpr size_t kCols = sizeof cols / sizeof cols[0];
  std::vector<std::vector<std::string>> cells;
  for (const NodeRow& r : rows)
    cells.push_back({r.name, std::to_string(r.line), std::to_string(r.node),
                     std::to_string(r.state), r.condition.empty() ? "-" : r.condition, r.manu,
                     r.hwver, r.swver, r.emergency.empty() ? "-" : r.emergency,
                     std::to_string(r.frames), r.note});
  size_t w[kCols];
  for (size_t c = 0; c < kCols; ++c) {
    w[c] = std::string(cols[c].head).size();
    for (const auto& row : cells) w[c] = std::max(w[c], std::min(row[c].size(), cols[c].max));
  }
  auto line = [&](const std::vector<std::string>& v) {
    std::string s;
    for (size_t c = 0; c < kCols; ++c) {
      std::string t = cut(v[c], std::max(w[c], size_t{2}));
      std::string pad(w[c] - std::min(w[c], t.size()), ' ');
      if (c) s += "  ";
      s += cols[c].right ? pad + t : t + (c + 1 < kCols ? pad : "");
    }
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  };

  std::ostringstream os;
  os << title << "\n\n";
  std::vector<std::string> head;
  for (const Col& c : cols) head.push_back(c.head);
  os << line(head) << "\n";
  for (const auto& row : cells) os << line(row) << "\n";
  if (rows.empty()) os << "(no nodes)\n";
  os << "\nmessages:\n";
  for (const std::string& m : messages) os << "  " << m << "\n";
  if (!answers.empty()) {
    os << "\nanswers:\n";
    for (const std::string& a : answers) os << "  " << a << "\n";
  }
  os << "\ncommand (get NAME | set NAME VALUE... | list | help | quit), then Enter:";
  return os.str();
}

Display::Display(Mode mode, std::ostream& out, std::string title)
    : mode_(mode), out_(out), title_(std::move(title)) {}

void Display::update(const std::vector<NodeRow>& rows, bool force) {
  std::lock_guard<std::mutex> g(mx_);
  if (mode_ == Mode::Plain) {
    for (const NodeRow& r : rows) {
      auto it = last_.find(r.name);
      for (const std::string& l : change_lines(it == last_.end() ? nullptr : &it->second, r))
        out_ << l << "\n";
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
    out_ << label << " " << text << "\n";
    out_.flush();
    return;
  }
  std::string m = label + " " + text;
  for (char& c : m)
    if (c == '\n' || c == '\r') c = ' ';
  messages_.push_back(m);
  while (messages_.size() > kMessages) messages_.pop_front();
  dirty_ = true;
}

void Display::answer(const std::string& command, const std::string& answer) {
  std::lock_guard<std::mutex> g(mx_);
  if (mode_ == Mode::Plain) {
    out_ << answer << "\n";
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
    redraw_locked(true);
    out_ << "\n";
    out_.flush();
  }
}

void Display::redraw_locked(bool force) {
  auto now = std::chrono::steady_clock::now();
  if (!dirty_) return;
  if (!force && now - drawn_ < std::chrono::milliseconds(200)) return;
  std::string text = render_table(title_, rows_, messages_, answers_);
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
  out += "\x1b[K\x1b[J";
  out_ << out;
  out_.flush();
  shown_ = text;
}

}  // namespace zserver
