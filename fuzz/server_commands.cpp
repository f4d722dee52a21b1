// fuzz_server_commands: the example server's client commands, as a client
// types them or sends them to its socket, fed arbitrary lines.
//
// Each run builds a server from a small configuration (two nodes on line 1,
// one on line 2, no simulated devices), registers its nodes and executes
// every line of the input as one request, with an update cycle after each.
// What must hold:
//   - the parser's verdicts are consistent: a bad request says why, a get or
//     set names one property, a set has values;
//   - every request gets exactly one line back (never a line feed inside);
//   - a text property that took a set shows that text, or its first 63
//     characters where it lives in a 64-byte buffer;
//   - integers read back from their text, decimal and hexadecimal.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "fuzz_common.h"
#include "ntcan_ctl.h"
#include "server.h"

namespace {

std::string config_path;
constexpr int kMaxLines = 24;

const char* const kConfig =
    "LOCATION CANOPEN.LINE1\n"
    "NODE5 \t1  5  0  0\n"
    "NODE5.BAUDRATE\t6\n"
    "NODE5.CONDITION\t\"Operational\"\n"
    "NODE5.MANU\t\"ZPS-48 Power Supply\"\n"
    "NODE12 \t1  12  0  0\n"
    "NODE12.BAUDRATE\t6\n"
    "LOCATION CANOPEN.LINE2\n"
    "NODE5 \t2  5  0  0\n"
    "NODE5.BAUDRATE\t6\n";

void check_parse(const std::string& line) {
  using Kind = zserver::Command::Kind;
  const zserver::Command c = zserver::parse_command(line);
  switch (c.kind) {
    case Kind::Bad:
      FUZZ_CHECK(!c.error.empty());
      break;
    case Kind::Get:
    case Kind::Set:
      FUZZ_CHECK(!c.name.empty());
      for (char ch : c.name) FUZZ_CHECK(ch != ' ' && ch != '\t' && ch != '\r' && ch != '\n');
      if (c.kind == Kind::Set) FUZZ_CHECK(!c.args.empty());
      break;
    default:
      break;
  }
}

void check_integers(const std::string& line) {
  int v = 0;
  if (!zserver::parse_integer(line, &v)) return;
  int again = v - 1;
  FUZZ_CHECK(zserver::parse_integer(std::to_string(v), &again) && again == v);
  char hex[32];
  if (v >= 0) {
    std::snprintf(hex, sizeof hex, "0x%X", static_cast<unsigned>(v));
  } else if (v != INT_MIN) {
    std::snprintf(hex, sizeof hex, "-0x%X", static_cast<unsigned>(-v));
  } else {
    std::snprintf(hex, sizeof hex, "-0x80000000");
  }
  again = v - 1;
  FUZZ_CHECK(zserver::parse_integer(hex, &again) && again == v);
}

// The text a set gave a text property, as execute() took it.
std::string set_text(const zserver::Command& c) {
  if (c.args.size() == 1 && !c.text.empty() && c.text[0] == '"') return c.args[0];
  return c.text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_messages();
  tavro::set_clock(new fuzz::SteppingClock(10000));
  ntcan_ctl::reset();
  char tmpl[] = "/tmp/zuntal_fuzz_server.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) std::abort();
  config_path = std::string(tmpl) + "/server.conf";
  std::ofstream(config_path) << kConfig;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  size_t at = 0;
  while (at <= input.size() && lines.size() < kMaxLines) {
    size_t nl = input.find('\n', at);
    if (nl == std::string::npos) nl = input.size();
    lines.push_back(input.substr(at, nl - at));
    at = nl + 1;
  }
  for (const std::string& l : lines) {
    check_parse(l);
    check_integers(l);
  }

  zserver::ServerOptions o;
  o.config_path = config_path;
  o.write_path = config_path + ".never-written";
  o.host_devices = false;
  o.devices_follow_cycle = true;
  auto server = std::make_unique<zserver::Server>(o);
  FUZZ_CHECK(server->load() == 0);
  server->start();
  for (const std::string& l : lines) {
    const std::string answer = server->execute(l);
    FUZZ_CHECK(answer.find('\n') == std::string::npos);
    const zserver::Command c = zserver::parse_command(l);
    if (c.kind == zserver::Command::Kind::Set && answer == "ok") {
      const std::string shown = server->execute("get " + c.name);
      FUZZ_CHECK(shown.find('\n') == std::string::npos);
      const std::string name = c.name.substr(c.name.find('/') + 1);
      const bool text = name.size() > 5 && (name.compare(name.size() - 5, 5, ".MANU") == 0 ||
                                            name.compare(name.size() - 6, 6, ".HWVER") == 0 ||
                                            name.compare(name.size() - 6, 6, ".SWVER") == 0);
      if (text) {
        std::string want = set_text(c);
        want = want.substr(0, want.find('\0')).substr(0, 63);
        FUZZ_CHECK(shown == want);
      }
    }
    server->cycle();
  }
  server.reset();
  return 0;
}
