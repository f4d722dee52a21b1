// config.cpp - the server configuration file: reading it into records per
// location and property, and writing it back atomically.
//
// Format: "LOCATION <name>" starts a location; every following line holds one
// property: its name, blanks or tabs, then its values. A value is a bare word
// or a text in double quotes (with \\, \", \t, \r and \n escapes). Blank
// lines and lines whose first non-blank character is '#' are ignored.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

#include "tavro.h"

namespace {

const char* const kLabel = "Config";

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && is_blank(s[b])) ++b;
  while (e > b && is_blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Splits the values of a line into tokens. Returns an empty text on success,
// otherwise what is wrong with the line.
std::string tokenize(const std::string& s, std::vector<std::string>* out) {
  size_t i = 0;
  const size_t n = s.size();
  while (true) {
    while (i < n && is_blank(s[i])) ++i;
    if (i >= n) return "";
    std::string tok;
    if (s[i] == '"') {
      ++i;
      bool closed = false;
      while (i < n) {
        char c = s[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c != '\\') {
          tok += c;
          continue;
        }
        if (i >= n) return "unterminated quoted text";
        char e = s[i++];
        switch (e) {
          case '\\':
          case '"':
            tok += e;
            break;
          case 'n':
            tok += '\n';
            break;
          case 't':
            tok += '\t';
            break;
          case 'r':
            tok += '\r';
            break;
          default:
            return std::string("unknown escape \\") + e;
        }
      }
      if (!closed) return "unterminated quoted text";
      if (i < n && !is_blank(s[i])) return "text after a closing quote";
    } else {
      while (i < n && !is_blank(s[i])) tok += s[i++];
    }
    out->push_back(tok);
  }
}

// A decimal integer in the range of int, the whole token.
bool parse_int(const std::string& t, int* v) {
  if (t.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long x = std::strtoll(t.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || end == t.c_str()) return false;
  if (x < std::numeric_limits<int>::min() || x > std::numeric_limits<int>::max()) return false;
  *v = static_cast<int>(x);
  return true;
}

bool parse_double(const std::string& t, double* v) {
  if (t.empty()) return false;
  char* end = nullptr;
  double x = std::strtod(t.c_str(), &end);
  if (*end != '\0' || end == t.c_str()) return false;
  *v = x;
  return true;
}

// Fills the value union of a record: by default the first integer; a
// property registered as float (2) or double (6) gets its first number.
void fill_union(D_conf_struct* r, int type) {
  r->d_double = 0;
  double x = 0;
  if ((type == DATA_FLOAT || type == DATA_DOUBLE) && !r->tokens.empty() &&
      parse_double(r->tokens[0], &x)) {
    if (type == DATA_FLOAT)
      r->d_float = static_cast<float>(x);
    else
      r->d_double = x;
    return;
  }
  r->d_int = r->ints.empty() ? 0 : r->ints[0];
}

}  // namespace

namespace tavro {
std::string quote_conf_text(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
  out += '"';
  return out;
}
}  // namespace tavro

int Config::load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    tavro::printtostderr(kLabel, "cannot open " + path);
    return -1;
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  return load_text(ss.str());
}

int Config::load_text(const std::string& text) {
  records_.clear();
  order_.clear();
  absent_.clear();
  errors_ = 0;

  std::istringstream in(text);
  std::string raw;
  int lineno = 0;
  std::string loc;
  bool in_loc = false;
  auto bad = [&](const std::string& why) {
    ++errors_;
    tavro::printtostderr(kLabel, "line " + std::to_string(lineno) + ": " + why + ", line skipped");
  };

  while (std::getline(in, raw)) {
    ++lineno;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    const std::string line = trim(raw);
    if (line.empty() || line[0] == '#') continue;

    size_t sep = 0;
    while (sep < line.size() && !is_blank(line[sep])) ++sep;
    const std::string first = line.substr(0, sep);
    const std::string rest = trim(line.substr(sep));

    if (first == "LOCATION") {
      if (rest.empty()) {
        bad("LOCATION without a name");
        continue;
      }
      loc = rest;
      in_loc = true;
      if (records_.find(loc) == records_.end()) {
        records_[loc];
        order_.push_back(loc);
      }
      continue;
    }
    if (!in_loc) {
      bad("property " + first + " outside a location");
      continue;
    }
    if (first[0] == '"') {
      bad("a property name cannot be quoted");
      continue;
    }
    bool control = false;
    for (char c : line)
      if (static_cast<unsigned char>(c) < 0x20 && c != '\t') control = true;
    if (control) {
      bad("control character in the line");
      continue;
    }
    D_conf_struct r;
    r.name = first;
    r.found = true;
    r.line = lineno;
    r.text = rest;
    std::string why = tokenize(rest, &r.tokens);
    if (!why.empty()) {
      bad(why);
      continue;
    }
    for (const std::string& t : r.tokens) {
      int v = 0;
      if (parse_int(t, &v)) r.ints.push_back(v);
    }
    auto ins = inserted_.find(first);
    fill_union(&r, ins == inserted_.end() ? DATA_INT : ins->second);

    auto& props = records_[loc];
    auto it = props.find(first);
    if (it != props.end()) {
      bad("second line for " + first + " (first on line " + std::to_string(it->second.line) + ")");
      continue;
    }
    props.emplace(first, std::move(r));
  }
  return 0;
}

std::vector<std::string> Config::locations() const {
  return order_;
}

D_conf_struct* Config::find(const std::string& loc, const std::string& prop) {
  auto l = records_.find(loc);
  if (l == records_.end()) return nullptr;
  auto p = l->second.find(prop);
  return p == l->second.end() ? nullptr : &p->second;
}

D_conf_struct* Config::lookup(const std::string& loc, const std::string& prop) {
  if (D_conf_struct* r = find(loc, prop)) return r;
  D_conf_struct& a = absent_[loc][prop];
  a.name = prop;
  a.found = false;
  return &a;
}

void Config::insert(const std::string& prop, int type) {
  inserted_[prop] = type;
  for (auto& l : records_) {
    auto p = l.second.find(prop);
    if (p != l.second.end()) fill_union(&p->second, type);
  }
}

namespace {

bool write_all(int fd, const std::string& s) {
  const char* p = s.data();
  size_t left = s.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int Config::write_file(const std::string& path, const std::vector<EqFct*>& locations) {
  std::ostringstream os;
  for (EqFct* ef : locations)
    if (ef) ef->write_config(os);
  const std::string text = os.str();

  // A new file beside the old one, synced, then renamed over it: a reader
  // sees either the old file or the complete new one, never a part.
  static std::atomic<unsigned> seq{0};
  const std::string tmp =
      path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(seq.fetch_add(1));
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    tavro::printtostderr(kLabel, "cannot create " + tmp);
    return -1;
  }
  bool ok = write_all(fd, text) && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    tavro::printtostderr(kLabel, "cannot write " + path);
    return -1;
  }
  // Make the rename itself durable.
  std::string dir = ".";
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos) dir = slash == 0 ? "/" : path.substr(0, slash);
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return 0;
}
