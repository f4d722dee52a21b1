// zuntal_supervision.cpp - the supervision thread of a CAN line and the
// gateway helpers of canline.
//
// Every line runs can_control in a detached thread of its own: it queries the
// line's status, closes a line whose query fails twice in a row, reopens it
// with a growing pause, and resets a network CAN gateway that no longer
// accepts connections by posting its web interface's reset form with wget.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "D_zuntal.h"

namespace {

constexpr unsigned kMsgFlags = 0x80000000u;

// Pauses of the thread, in seconds.
constexpr int kStartPause = 60;
constexpr int kClosePause = 15;
constexpr int kResetPause = 20;
constexpr int kMaxRetry = 60;

// Failed reopen attempts before a reset: more than this many since the last
// status query or reset. A status query sets the count to this value, so the
// first failed attempt after a query already allows a reset.
constexpr int kOpenErrLimit = 5;
// Resets per outage.
constexpr int kMaxResets = 5;

// The gateway's address in the table and in line_ip_ has exactly this length.
constexpr std::string::size_type kIpLength = 15;

// Its presence in the working directory forbids gateway resets; it is looked
// at once, when the thread starts.
constexpr const char* kDenyMarker = "./DENY-wget-reset";

// The network plug-in's gateway table, and the environment variable that
// points the library at another file (tests, tools).
constexpr const char* kPluginTable = "/etc/esd-plugin";
constexpr const char* kPluginTableEnv = "ZUNTAL_ESD_PLUGIN";

void print(const std::string& label, const std::string& text) {
  tavro::printtostderr(label, text, kMsgFlags);
}

std::string line_text(int line) {
  return "Line : " + std::to_string(line);
}

// An IPv4 address of four dot-separated fields of one to three decimal digits,
// each 0 to 255, rewritten with each field in plain decimal ("127.000.000.010"
// becomes "127.0.0.10": wget would read a field with a leading zero as octal
// and post the reset to another host). Returns false, leaving `out` alone, for
// anything else; nothing that fails here ever reaches the shell.
bool decimal_address(const std::string& ip, std::string* out) {
  std::string result;
  int fields = 0;
  std::string::size_type i = 0;
  while (true) {
    int digits = 0;
    int value = 0;
    while (i < ip.size() && ip[i] >= '0' && ip[i] <= '9' && digits < 4) {
      value = value * 10 + (ip[i] - '0');
      ++digits;
      ++i;
    }
    if (digits < 1 || digits > 3 || value > 255) return false;
    result += std::to_string(value);
    ++fields;
    if (fields == 4) break;
    if (i >= ip.size() || ip[i] != '.') return false;
    result += '.';
    ++i;
  }
  if (i != ip.size()) return false;
  *out = result;
  return true;
}

}  // namespace

void* can_control(void* ip) {
  canline* l = static_cast<canline*>(ip);

  char start[100];
  std::snprintf(start, sizeof start, "Line : %d, Handle: %d", l->line_,
                static_cast<int>(l->linehandle_.load()));
  print("Inside can_control: ", start);
  TAVROsleep(kStartPause, 0);

  if (std::FILE* f = std::fopen(kDenyMarker, "r")) {
    print("can_control  ", "do not allow wget resets");
    l->deny_wget_reset_ = true;
    std::fclose(f);
  } else {
    print("can_control  ", "allow wget resets");
    l->deny_wget_reset_ = false;
  }

  int retry = 1;           // seconds to pause at the start of a cycle
  bool first_time = true;  // the next failed query is only reported
  bool first = false;      // the "2." message has been printed in this outage
  int open_err_cnt = kOpenErrLimit;
  int reset_tries = 0;
  CAN_IF_STATUS canstat;

  while (true) {
    if (l->ThreadStop_.load(std::memory_order_seq_cst)) {
      print("can_control", "stop can_control thread");
      return ip;
    }
    TAVROsleep(retry, 0);

    const NTCAN_HANDLE h = l->linehandle_.load();
    if (h > 0) {
      open_err_cnt = kOpenErrLimit;
      std::memset(&canstat, 0, sizeof canstat);
      const int r = canStatus(h, &canstat);
      if (r == NTCAN_SUCCESS) {
        if (canstat.boardstatus != l->board_status)
          print("3. canStatus returned: ",
                line_text(l->line_) + "boardstatus: " + std::to_string(canstat.boardstatus));
        l->board_status = canstat.boardstatus;
        first = false;
        first_time = true;
        l->reset_first_ = false;
        retry = 1;
        reset_tries = 0;
      } else if (first_time) {
        print("1. canStatus returned: ", line_text(l->line_) + "mess: " + can_error_str(r));
        first_time = false;
      } else {
        l->can_close();
        if (!first)
          print("2. canStatus returned: ", line_text(l->line_) + "mess: " + can_error_str(r));
        first = true;
        TAVROsleep(kClosePause, 0);
        retry = 1;
        reset_tries = 0;
      }
    } else {
      const int r = l->can_open();
      if (r != 0) {
        first_time = true;
        ++open_err_cnt;
        if (open_err_cnt > kOpenErrLimit && reset_tries < kMaxResets &&
            r == NTCAN_SOCK_CONN_TIMEOUT) {
          l->reset_line();
          // Give the gateway time to restart, also when no command ran.
          TAVROsleep(kResetPause, 0);
          open_err_cnt = 0;
          ++reset_tries;
        }
      }
      if (retry < kMaxRetry) ++retry;
    }
  }
}

int canline::getlineip(int lineno, std::string& ip) {
  const char* env = std::getenv(kPluginTableEnv);
  const std::string path = (env && *env) ? env : kPluginTable;

  std::ifstream in(path);
  if (!in) {
    print("canline::getlineip cannot open  ", path);
    return -1;
  }

  std::string text;
  while (std::getline(in, text)) {
    // Each line is looked at with its line feed, as it stands in the file.
    if (!in.eof()) text += '\n';
    if (text.size() <= 3 && !text.empty() && text[0] == '#') continue;
    if (text.compare(0, 8, "PeerName") != 0) continue;
    // One character of any kind follows "PeerName"; the next one is the
    // driver net. Anything but a digit there counts as net 0. A second digit
    // makes a net above 9, which is no line's: "PeerName 10" is not net 1.
    auto digit = [&text](size_t k) { return text.size() > k && text[k] >= '0' && text[k] <= '9'; };
    if (digit(9) && digit(10)) continue;
    const int net = digit(9) ? text[9] - '0' : 0;
    if (net != lineno - 1) continue;
    const std::string::size_type quote = text.find('"');
    if (quote == std::string::npos) continue;
    ip = text.substr(quote + 1, kIpLength);
    break;
  }
  return ip.size() == kIpLength ? 0 : -1;
}

void canline::reset_line() {
  if (deny_wget_reset_) return;

  std::string address;
  if (line_ip_.size() != kIpLength || !decimal_address(line_ip_, &address)) {
    // Reported once per outage, like the command itself.
    if (!reset_first_) {
      print("canline::reset_line refused address: ",
            line_text(line_) + " \"" + line_ip_ + "\" is not four decimal fields of 0 to 255");
      reset_first_ = true;
    }
    return;
  }

  const std::string command = std::string("wget --post-data=") + '"' + "FWUpdReset=1" + '"' +
                              " http://tavroadm:kix7parlo@" + address + "/Forms/Firmware";
  // The exit status is of no use here: a gateway that did not take the reset
  // shows itself by the next failed reopen.
  const int rc = std::system(command.c_str());
  (void)rc;
  if (!reset_first_) {
    print("system called with : ", command);
    reset_first_ = true;
  }
}
