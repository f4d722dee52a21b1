// config.cpp - the driver configuration file: which medium serves which net.
//
//   # comment (also after a line's words)
//   net <n> sim
//   net <n> gateway <host> <port> [<remote-net>]
//   net <n> socketcan <ifname>
//   net <n> socketcand <host> <port> <bus>
//   net <n> absent
//
// A file with any bad line changes nothing; the message names the first one.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "driver.h"

namespace ntcan_drv {
namespace {

// A whole token as a decimal integer within [lo, hi].
bool parse_int(const std::string& s, long lo, long hi, int* out) {
  if (s.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

// Parses one line's words; returns an empty text or the reason it is bad.
std::string parse_line(const std::vector<std::string>& w, int* net, ntcan_ctl::NetConfig* cfg) {
  using Kind = ntcan_ctl::NetConfig::Kind;
  if (w[0] != "net") return "expected 'net'";
  if (w.size() < 3) return "expected 'net <n> <medium> ...'";
  if (!parse_int(w[1], 0, kMaxNets - 1, net))
    return "net number must be 0 to " + std::to_string(kMaxNets - 1);
  ntcan_ctl::NetConfig c;
  const std::string& kind = w[2];
  if (kind == "sim" || kind == "absent") {
    if (w.size() != 3) return "'" + kind + "' takes no arguments";
    c.kind = kind == "sim" ? Kind::Sim : Kind::Absent;
  } else if (kind == "gateway") {
    if (w.size() != 5 && w.size() != 6) return "expected 'gateway <host> <port> [<remote-net>]'";
    c.kind = Kind::Gateway;
    c.host = w[3];
    if (!parse_int(w[4], 1, 65535, &c.port)) return "port must be 1 to 65535";
    if (w.size() == 6 && !parse_int(w[5], 0, 255, &c.remote_net))
      return "remote net must be 0 to 255";
  } else if (kind == "socketcan") {
    if (w.size() != 4) return "expected 'socketcan <ifname>'";
    // Linux interface names have at most 15 characters.
    if (w[3].size() > 15) return "interface name longer than 15 characters";
    c.kind = Kind::SocketCan;
    c.ifname = w[3];
  } else if (kind == "socketcand") {
    if (w.size() != 6) return "expected 'socketcand <host> <port> <bus>'";
    c.kind = Kind::Socketcand;
    c.host = w[3];
    if (!parse_int(w[4], 1, 65535, &c.port)) return "port must be 1 to 65535";
    // The protocol carries bus names of at most 16 characters.
    if (w[5].size() > 16) return "bus name longer than 16 characters";
    c.bus = w[5];
  } else {
    return "unknown medium '" + kind + "' (sim, gateway, socketcan, socketcand or absent)";
  }
  *cfg = c;
  return "";
}

}  // namespace

int parse_config(const std::string& path, std::vector<std::pair<int, ntcan_ctl::NetConfig>>* out,
                 std::string* error) {
  // A directory opens as a stream that only fails when read: refused here,
  // as is anything else that is not a file (a FIFO would block the reader).
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (error) *error = path + ": cannot open: " + std::strerror(errno);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    if (error) *error = path + ": not a regular file";
    return -1;
  }
  std::ifstream in(path);
  if (!in) {
    if (error) *error = path + ": cannot open: " + std::strerror(errno);
    return -1;
  }
  std::vector<std::pair<int, ntcan_ctl::NetConfig>> entries;
  std::string line;
  int lineno = 0;
  while (std::getline(in, line)) {
    ++lineno;
    std::string text = line.substr(0, line.find('#'));
    std::istringstream ws(text);
    std::vector<std::string> words;
    for (std::string w; ws >> w;) words.push_back(w);
    if (words.empty()) continue;
    int net = 0;
    ntcan_ctl::NetConfig cfg;
    std::string why = parse_line(words, &net, &cfg);
    if (!why.empty()) {
      if (error) *error = path + ":" + std::to_string(lineno) + ": " + why + ": " + line;
      return -1;
    }
    entries.emplace_back(net, cfg);
  }
  if (in.bad()) {
    if (error) *error = path + ": read error";
    return -1;
  }
  *out = std::move(entries);
  return 0;
}

}  // namespace ntcan_drv
