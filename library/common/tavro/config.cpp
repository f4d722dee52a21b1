// config.cpp - the server configuration file: reading it into records per
// location and property, and writing it back atomically.
//
// Format: "LOCATION <name>" starts a location (a name that needs it is in
// double quotes); every following line holds one property: its name, blanks
// or tabs, then its values. A value is a bare word or a text in double quotes
// (with \\, \", \t, \r, \n and \xHH escapes). Blank lines and lines whose
// first non-blank character is '#' are ignored; a UTF-8 byte-order mark at
// the start is skipped.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>

#include "tavro.h"

namespace {

const char* const kLabel = "Config";
const char* const kBom = "\xEF\xBB\xBF";

// Writes under way in this process: their temporary files are not stale.
std::atomic<int> g_writes{0};

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

bool is_control(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && is_blank(s[b])) ++b;
  while (e > b && is_blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
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
          case 'x': {
            int hi = i < n ? hex_digit(s[i]) : -1;
            int lo = i + 1 < n ? hex_digit(s[i + 1]) : -1;
            if (hi < 0 || lo < 0) return "\\x without two hexadecimal digits";
            tok += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
          }
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
  // A number a float cannot hold (converting it would be undefined) is taken
  // as no number at all.
  if ((type == DATA_FLOAT || type == DATA_DOUBLE) && !r->tokens.empty() &&
      parse_double(r->tokens[0], &x) &&
      (type == DATA_DOUBLE || (std::isfinite(x) && std::fabs(x) <= FLT_MAX))) {
    if (type == DATA_FLOAT)
      r->d_float = static_cast<float>(x);
    else
      r->d_double = x;
    return;
  }
  r->d_int = r->ints.empty() ? 0 : r->ints[0];
}

std::string sys_error() {
  return std::strerror(errno);
}

}  // namespace

namespace tavro {

std::string quote_conf_text(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
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
        if (is_control(c)) {
          const auto u = static_cast<unsigned char>(c);
          out += "\\x";
          out += hex[u >> 4];
          out += hex[u & 0x0F];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string conf_location_text(const std::string& name) {
  bool plain =
      !name.empty() && !is_blank(name.front()) && !is_blank(name.back()) && name.front() != '"';
  for (char c : name)
    if (is_control(c)) plain = false;
  return plain ? name : quote_conf_text(name);
}

std::string conf_name_problem(const std::string& name) {
  if (name.empty()) return "the name is empty";
  if (name[0] == '#') return "a line starting with # is a comment";
  if (name == "LOCATION") return "a LOCATION line starts a location";
  for (char c : name) {
    if (c == '"') return "a name cannot hold a double quote";
    if (static_cast<unsigned char>(c) < 0x20 || c == ' ')
      return "a name cannot hold a blank or a control character";
  }
  return "";
}

bool parse_conf_int(const std::string& t, int* v) {
  if (t.empty() || std::isspace(static_cast<unsigned char>(t[0]))) return false;
  errno = 0;
  char* end = nullptr;
  long long x = std::strtoll(t.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || end == t.c_str()) return false;
  if (x < std::numeric_limits<int>::min() || x > std::numeric_limits<int>::max()) return false;
  *v = static_cast<int>(x);
  return true;
}

}  // namespace tavro

int Config::read_file(const std::string& path, long long limit, std::string* text,
                      std::string* error) {
  // Opened without waiting (a FIFO without a writer would block the open),
  // then looked at before anything is read.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + sys_error();
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    *error = "cannot read " + path + ": " + sys_error();
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = path + " is not a regular file (" +
             (S_ISDIR(st.st_mode)    ? "a directory"
              : S_ISFIFO(st.st_mode) ? "a FIFO"
              : S_ISCHR(st.st_mode)  ? "a character device"
              : S_ISBLK(st.st_mode)  ? "a block device"
              : S_ISSOCK(st.st_mode) ? "a socket"
                                     : "not a file") +
             ")";
    ::close(fd);
    return -1;
  }
  const std::string too_big =
      path + " is larger than " + std::to_string(limit) + " bytes, the limit for this file";
  if (st.st_size > limit) {
    *error = too_big;
    ::close(fd);
    return -1;
  }
  std::string out;
  out.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = "cannot read " + path + ": " + sys_error();
      ::close(fd);
      return -1;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
    // A file that grows while it is read is cut off at the limit too.
    if (static_cast<long long>(out.size()) > limit) {
      *error = too_big;
      ::close(fd);
      return -1;
    }
  }
  ::close(fd);
  *text = std::move(out);
  return 0;
}

int Config::load(const std::string& path) {
  std::string text, error;
  if (read_file(path, kMaxFileBytes, &text, &error) != 0) {
    tavro::printtostderr(kLabel, error);
    return -1;
  }
  return load_text(text);
}

int Config::load_text(const std::string& input) {
  records_.clear();
  order_.clear();
  absent_.clear();
  raw_.clear();
  skipped_.clear();
  skipped_before_.clear();
  errors_ = 0;
  content_lines_ = 0;

  // A byte-order mark some editors put at the start of UTF-8 files.
  const size_t start = input.compare(0, 3, kBom) == 0 ? 3 : 0;
  std::istringstream in(input.substr(start));
  std::string raw;
  int lineno = 0;
  std::string loc;      // the current location
  bool in_loc = false;  // a good LOCATION line came before
  int bad_loc = 0;      // line of a malformed LOCATION line whose block is skipped
  auto bad = [&](const std::string& why) {
    ++errors_;
    if (in_loc)
      skipped_.emplace_back(lineno, loc);
    else
      skipped_before_.push_back(lineno);
    tavro::printtostderr(kLabel, "line " + std::to_string(lineno) + ": " + why + ", line skipped");
  };

  while (std::getline(in, raw)) {
    ++lineno;
    raw_.push_back(raw);
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line = trim(line);
    if (line.empty() || line[0] == '#') continue;
    ++content_lines_;

    size_t sep = 0;
    while (sep < line.size() && !is_blank(line[sep])) ++sep;
    const std::string first = line.substr(0, sep);
    const std::string rest = trim(line.substr(sep));

    if (first == "LOCATION") {
      std::string name = rest, why;
      if (rest.empty()) {
        why = "LOCATION without a name";
      } else if (rest[0] == '"') {
        std::vector<std::string> t;
        why = tokenize(rest, &t);
        if (why.empty() && t.size() != 1) why = "text after the quoted LOCATION name";
        if (why.empty()) name = t[0];
      }
      if (!why.empty()) {
        bad(why + " (the properties up to the next good LOCATION line are skipped)");
        bad_loc = lineno;
        continue;
      }
      loc = name;
      in_loc = true;
      bad_loc = 0;
      if (records_.find(loc) == records_.end()) {
        records_[loc];
        order_.push_back(loc);
      }
      continue;
    }
    if (bad_loc != 0) {
      bad("property " + first + " belongs to the malformed LOCATION on line " +
          std::to_string(bad_loc));
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
      if (tavro::parse_conf_int(t, &v)) r.ints.push_back(v);
    }
    fill_union(&r, type_of(loc, first));

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

std::vector<std::string> Config::names(const std::string& loc) const {
  std::vector<std::string> out;
  auto l = records_.find(loc);
  if (l != records_.end())
    for (const auto& r : l->second) out.push_back(r.first);
  return out;
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

int Config::type_of(const std::string& loc, const std::string& prop) const {
  auto at = typed_at_.find(std::make_pair(loc, prop));
  if (at != typed_at_.end()) return at->second;
  auto any = typed_any_.find(prop);
  return any == typed_any_.end() ? DATA_INT : any->second;
}

void Config::insert(const std::string& loc, const std::string& prop, int type) {
  inserted_[prop] = type;
  typed_at_[std::make_pair(loc, prop)] = type;
  if (D_conf_struct* r = find(loc, prop)) fill_union(r, type);
}

void Config::insert(const std::string& prop, int type) {
  inserted_[prop] = type;
  typed_any_[prop] = type;
  for (auto& l : records_) {
    auto p = l.second.find(prop);
    if (p != l.second.end()) fill_union(&p->second, type_of(l.first, prop));
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

std::string dir_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int Config::write_file(const std::string& path, const std::vector<EqFct*>& locations,
                       const Config* kept) {
  // The lines of `kept` that no property wrote, by block, in file order.
  std::map<std::string, std::vector<int>> extra;
  std::set<std::string> given;
  std::ostringstream os;
  if (kept) {
    for (const auto& s : kept->skipped_) extra[s.second].push_back(s.first);
    for (int k : kept->skipped_before_) os << kept->raw_[static_cast<size_t>(k - 1)] << '\n';
  }
  for (EqFct* ef : locations) {
    if (!ef) continue;
    std::vector<std::string> written;
    ef->write_config(os, &written);
    if (!kept) continue;
    const std::string name = ef->name();
    if (!given.insert(name).second) continue;
    // Records first, then the skipped lines: a malformed LOCATION line among
    // the latter then takes no record out of this block at the next load.
    std::vector<int> records;
    auto block = kept->records_.find(name);
    if (block != kept->records_.end())
      for (const auto& r : block->second)
        if (std::find(written.begin(), written.end(), r.first) == written.end())
          records.push_back(r.second.line);
    std::sort(records.begin(), records.end());
    for (int k : records) os << kept->raw_[static_cast<size_t>(k - 1)] << '\n';
    for (int k : extra[name]) os << kept->raw_[static_cast<size_t>(k - 1)] << '\n';
  }
  // Locations of the file that none of the given ones stands for.
  if (kept) {
    for (const std::string& name : kept->order_) {
      if (given.count(name)) continue;
      std::vector<int> records;
      for (const auto& r : kept->records_.at(name)) records.push_back(r.second.line);
      std::sort(records.begin(), records.end());
      os << "LOCATION " << tavro::conf_location_text(name) << '\n';
      for (int k : records) os << kept->raw_[static_cast<size_t>(k - 1)] << '\n';
      for (int k : extra[name]) os << kept->raw_[static_cast<size_t>(k - 1)] << '\n';
    }
  }
  const std::string text = os.str();

  // A new file beside the old one, synced, then renamed over it: a reader
  // sees either the old file or the complete new one, never a part. A
  // process killed in between leaves the temporary file, which
  // remove_stale_temporaries() finds by its name.
  struct Busy {
    Busy() { g_writes.fetch_add(1); }
    ~Busy() { g_writes.fetch_sub(1); }
  } busy;
  static std::atomic<unsigned> seq{0};
  const std::string tmp =
      path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(seq.fetch_add(1));
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    tavro::printtostderr(kLabel, "cannot write " + path + ": cannot create " + tmp + ": " +
                                     sys_error() + "; the file is left as it was");
    return -1;
  }
  std::string why;
  if (!write_all(fd, text))
    why = "cannot write " + tmp + ": " + sys_error();
  else if (::fsync(fd) != 0)
    why = "cannot sync " + tmp + ": " + sys_error();
  if (::close(fd) != 0 && why.empty()) why = "cannot close " + tmp + ": " + sys_error();
  if (why.empty() && ::rename(tmp.c_str(), path.c_str()) != 0)
    why = "cannot rename " + tmp + " to " + path + ": " + sys_error();
  if (!why.empty()) {
    ::unlink(tmp.c_str());
    tavro::printtostderr(kLabel,
                         "cannot write " + path + ": " + why + "; the file is left as it was");
    return -1;
  }
  // Make the rename itself durable.
  int dfd = ::open(dir_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return 0;
}

int Config::remove_stale_temporaries(const std::string& path) {
  const std::string dir = dir_of(path);
  const std::string prefix = base_of(path) + ".tmp.";
  DIR* d = ::opendir(dir.c_str());
  if (!d) return 0;
  std::vector<std::string> stale;
  while (dirent* e = ::readdir(d)) {
    const std::string n = e->d_name;
    if (n.compare(0, prefix.size(), prefix) != 0) continue;
    // "<pid>.<n>", both decimal.
    const std::string tail = n.substr(prefix.size());
    const size_t dot = tail.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 >= tail.size() ||
        tail.find_first_not_of("0123456789.") != std::string::npos ||
        tail.find('.', dot + 1) != std::string::npos)
      continue;
    const long pid = std::strtol(tail.substr(0, dot).c_str(), nullptr, 10);
    bool gone;
    if (pid == static_cast<long>(::getpid()))
      gone = g_writes.load() == 0;
    else
      gone = pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
    if (gone) stale.push_back(n);
  }
  ::closedir(d);
  int removed = 0;
  for (const std::string& n : stale) {
    const std::string full = dir + "/" + n;
    if (::unlink(full.c_str()) == 0) {
      ++removed;
      tavro::printtostderr(kLabel, "removed " + full + ", left by a write that was interrupted");
    } else if (errno != ENOENT) {
      tavro::printtostderr(kLabel, "cannot remove " + full + ": " + sys_error());
    }
  }
  return removed;
}
