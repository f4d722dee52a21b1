// commands.cpp - parsing the example server's client commands and turning
// their values into the framework's data containers.
#include "commands.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace zserver {

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && is_blank(s[b])) ++b;
  while (e > b && is_blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Splits at blanks; a double-quoted part (with \" and \\ escapes) is one
// token without its quotes. Returns false for an unterminated quote.
bool split(const std::string& s, std::vector<std::string>* out) {
  size_t i = 0;
  while (true) {
    while (i < s.size() && is_blank(s[i])) ++i;
    if (i >= s.size()) return true;
    std::string tok;
    if (s[i] == '"') {
      ++i;
      bool closed = false;
      while (i < s.size()) {
        char c = s[i++];
        if (c == '"') {
          closed = true;
          break;
        }
        if (c == '\\' && i < s.size()) c = s[i++];
        tok += c;
      }
      if (!closed) return false;
    } else {
      while (i < s.size() && !is_blank(s[i])) tok += s[i++];
    }
    out->push_back(tok);
  }
}

std::string lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

bool is_hex_byte(const std::string& t) {
  auto hex = [](char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
  };
  return t.size() == 2 && hex(t[0]) && hex(t[1]);
}

// "sdo NODE read IDX SUB" and "sdo NODE write IDX SUB VALUE". VALUE is hex
// bytes when every word is two hex digits ("E8 03"), otherwise a text; a
// quoted VALUE is always a text.
Command parse_sdo(const std::string& rest) {
  Command c;
  auto bad = [&c](const std::string& why) {
    c.kind = Command::Kind::Bad;
    c.error = why;
    return c;
  };
  const char* usage =
      "usage: sdo NODE read IDX SUB | sdo NODE write IDX SUB VALUE | sdo block [BYTES]";
  std::vector<std::string> t;
  if (!split(rest, &t)) return bad("unterminated quoted text");
  if (!t.empty() && lower(t[0]) == "block" && t.size() <= 2) {
    // The threshold above which objects go by block transfer.
    c.kind = Command::Kind::SdoBlock;
    c.index = -1;
    if (t.size() == 2 && (!parse_integer(t[1], &c.index) || c.index < 0 || c.index > kMaxSdoObject))
      return bad("sdo block: the threshold is 0 to " + std::to_string(kMaxSdoObject) +
                 " bytes, not \"" + t[1] + "\"");
    return c;
  }
  if (t.size() < 4) return bad(usage);
  c.name = t[0];
  const std::string op = lower(t[1]);
  if (!parse_integer(t[2], &c.index) || c.index < 0 || c.index > 0xFFFF)
    return bad("sdo: the index is 0 to 0xFFFF, not \"" + t[2] + "\"");
  if (!parse_integer(t[3], &c.subindex) || c.subindex < 0 || c.subindex > 0xFF)
    return bad("sdo: the subindex is 0 to 0xFF, not \"" + t[3] + "\"");
  if (op == "read") {
    if (t.size() != 4) return bad(usage);
    c.kind = Command::Kind::SdoRead;
    return c;
  }
  if (op != "write" || t.size() < 5) return bad(usage);
  // The VALUE as written: everything after the fourth word.
  size_t at = 0;
  for (int w = 0; w < 4; ++w) {
    while (at < rest.size() && is_blank(rest[at])) ++at;
    while (at < rest.size() && !is_blank(rest[at])) ++at;
  }
  const std::string raw = trim(rest.substr(at));
  bool bytes = raw[0] != '"';
  for (size_t k = 4; bytes && k < t.size(); ++k) bytes = is_hex_byte(t[k]);
  if (bytes) {
    for (size_t k = 4; k < t.size(); ++k)
      c.data += static_cast<char>(std::strtoul(t[k].c_str(), nullptr, 16));
  } else if (t.size() == 5 && raw[0] == '"') {
    c.data = t[4];
  } else {
    c.data = raw;
  }
  c.kind = Command::Kind::SdoWrite;
  return c;
}

}  // namespace

bool parse_integer(const std::string& t, int* v) {
  // strtoll would skip leading white space; trailing white space is refused
  // below, so both are.
  if (t.empty() || std::isspace(static_cast<unsigned char>(t[0]))) return false;
  errno = 0;
  char* end = nullptr;
  const bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  const bool neg_hex = t.size() > 3 && t[0] == '-' && t[1] == '0' && (t[2] == 'x' || t[2] == 'X');
  long long x = std::strtoll(t.c_str(), &end, hex || neg_hex ? 16 : 10);
  if (errno != 0 || end == t.c_str() || *end != '\0') return false;
  if (x < INT_MIN || x > INT_MAX) return false;
  *v = static_cast<int>(x);
  return true;
}

Command parse_command(const std::string& line) {
  Command c;
  const std::string s = trim(line);
  if (s.empty() || s[0] == '#') return c;

  size_t sep = 0;
  while (sep < s.size() && !is_blank(s[sep])) ++sep;
  const std::string verb = lower(s.substr(0, sep));
  std::string rest = trim(s.substr(sep));

  auto bad = [&c](const std::string& why) {
    c.kind = Command::Kind::Bad;
    c.error = why;
    return c;
  };

  if (verb == "help" || verb == "?") {
    c.kind = Command::Kind::Help;
    return c;
  }
  if (verb == "quit" || verb == "exit") {
    if (!rest.empty()) return bad(verb + " takes no arguments");
    c.kind = Command::Kind::Quit;
    return c;
  }
  if (verb == "list") {
    std::vector<std::string> t;
    if (!split(rest, &t) || t.size() > 1) return bad("usage: list [LOCATION]");
    c.kind = Command::Kind::List;
    if (!t.empty()) c.name = t[0];
    return c;
  }
  if (verb == "sdo") return parse_sdo(rest);
  if (verb == "pdo") {
    std::vector<std::string> t;
    if (!split(rest, &t) || t.empty() || t.size() == 2 ||
        (t.size() > 2 && (!parse_integer(t[1], &c.index) || c.index < 1 || c.index > 512)))
      return bad("usage: pdo NODE | pdo NODE N VALUE... (N: the RPDO, 1 to 512)");
    c.kind = Command::Kind::Pdo;
    c.name = t[0];
    c.args.assign(t.begin() + std::min<size_t>(2, t.size()), t.end());
    return c;
  }
  if (verb != "get" && verb != "set")
    return bad("unknown command \"" + s.substr(0, sep) + "\" (try: help)");

  size_t nsep = 0;
  while (nsep < rest.size() && !is_blank(rest[nsep])) ++nsep;
  c.name = rest.substr(0, nsep);
  c.text = trim(rest.substr(nsep));
  if (c.name.empty()) return bad("usage: " + verb + (verb == "get" ? " NAME" : " NAME VALUE..."));

  if (verb == "get") {
    if (!c.text.empty()) return bad("usage: get NAME (one name)");
    c.kind = Command::Kind::Get;
    return c;
  }
  if (!split(c.text, &c.args)) return bad("unterminated quoted text");
  if (c.args.empty()) return bad("usage: set NAME VALUE...");
  c.kind = Command::Kind::Set;
  return c;
}

std::string make_value(const std::string& name, int type, const Command& cmd, EqData* out) {
  switch (type) {
    case DATA_INT:
    case DATA_BOOL: {
      int v = 0;
      if (cmd.args.size() != 1 || !parse_integer(cmd.args[0], &v))
        return name + " takes one integer, not \"" + cmd.text + "\"";
      out->set(v);
      return "";
    }
    case DATA_IIII: {
      int v[4] = {0, 0, 0, 0};
      if (cmd.args.size() < 1 || cmd.args.size() > 4)
        return name + " takes up to four integers, not \"" + cmd.text + "\"";
      for (size_t k = 0; k < cmd.args.size(); ++k)
        if (!parse_integer(cmd.args[k], &v[k]))
          return name + " takes integers, not \"" + cmd.args[k] + "\"";
      IIII r;
      r.i1_data = v[0];
      r.i2_data = v[1];
      r.i3_data = v[2];
      r.i4_data = v[3];
      out->set(&r);
      return "";
    }
    case DATA_TEXT: {
      // One quoted text stands for itself; otherwise the words as written.
      std::string t = cmd.text;
      if (cmd.args.size() == 1 && !t.empty() && t[0] == '"') t = cmd.args[0];
      out->set(t);
      return "";
    }
    case DATA_FLOAT:
    case DATA_DOUBLE: {
      char* end = nullptr;
      double d = cmd.args.size() == 1 ? std::strtod(cmd.args[0].c_str(), &end) : 0;
      if (cmd.args.size() != 1 || end == cmd.args[0].c_str() || *end != '\0')
        return name + " takes one number, not \"" + cmd.text + "\"";
      if (type == DATA_FLOAT)
        out->set(static_cast<float>(d));
      else
        out->set(d);
      return "";
    }
    default:
      return name + " cannot be written";
  }
}

std::string value_text(EqData& d) {
  if (d.error() != 0) {
    std::string t = d.error_text();
    return "error: " + (t.empty() ? get_error_string(d.error()) : t);
  }
  switch (d.type()) {
    case DATA_INT:
    case DATA_BOOL:
    case DATA_SHORT:
    case DATA_USHORT:
      return std::to_string(d.get_int());
    case DATA_LONG:
    case DATA_UINT:
    case DATA_ULONG:
      return std::to_string(d.get_long());
    case DATA_TEXT:
      return d.get_string();
    case DATA_IIII: {
      IIII* r = d.get_iiii();
      return std::to_string(r->i1_data) + " " + std::to_string(r->i2_data) + " " +
             std::to_string(r->i3_data) + " " + std::to_string(r->i4_data);
    }
    case DATA_NULL:
      return "error: no value";
    default:
      return d.get_string();
  }
}

std::string help_text() {
  return "commands: get NAME | set NAME VALUE... | list [LOCATION] | "
         "sdo NODE read IDX SUB | sdo NODE write IDX SUB VALUE | sdo block [BYTES] | "
         "pdo NODE [N VALUE...] | quit   "
         "(NAME: NODE5.CONDITION or LOCATION/NAME; set NODE5 1 7 0 0 moves a node)";
}

}  // namespace zserver
