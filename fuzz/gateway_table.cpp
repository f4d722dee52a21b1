// fuzz_gateway_table: the network plug-in's gateway table (canline::getlineip)
// fed arbitrary files, and the address check of the gateway reset
// (canline::reset_line) fed whatever the table gave.
//
// getlineip answers 0 exactly when it hands out fifteen characters taken from
// the file, and leaves the address alone when no entry matches. reset_line
// builds its command only from four decimal fields of 0 to 255, and the
// command carries exactly those fields without leading zeros: nothing else of
// the table ever reaches the shell.
//
// The shell is never reached here either: this program defines system()
// itself, so the library's call lands in the recorder below. The table file
// is the one ZUNTAL_ESD_PLUGIN names, in a private temporary directory.
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "D_zuntal.h"
#include "fuzz_common.h"

namespace {
std::vector<std::string>* commands = nullptr;
std::string table_path;

// The address as the command must carry it, or "" when reset_line must
// refuse it.
std::string reference_address(const std::string& ip) {
  if (ip.size() != 15) return "";
  std::string out;
  size_t i = 0;
  for (int field = 0; field < 4; ++field) {
    size_t digits = 0;
    int value = 0;
    while (i < ip.size() && ip[i] >= '0' && ip[i] <= '9' && digits < 4) {
      value = value * 10 + (ip[i] - '0');
      ++digits;
      ++i;
    }
    if (digits < 1 || digits > 3 || value > 255) return "";
    out += std::to_string(value);
    if (field < 3) {
      if (i >= ip.size() || ip[i] != '.') return "";
      out += '.';
      ++i;
    }
  }
  return i == ip.size() ? out : "";
}

void check_reset(const std::string& ip) {
  canline line;
  line.setline(1);
  line.setlineip(ip);
  commands->clear();
  line.reset_line();
  const std::string address = reference_address(ip);
  if (address.empty()) {
    FUZZ_CHECK(commands->empty());
    return;
  }
  FUZZ_CHECK(commands->size() == 1);
  FUZZ_CHECK((*commands)[0] == "wget --post-data=\"FWUpdReset=1\" http://tavroadm:kix7parlo@" +
                                   address + "/Forms/Firmware");
}

}  // namespace

// Replaces the C library's system() for the whole process: records the
// command, runs nothing.
extern "C" int system(const char* command) {
  if (commands != nullptr && command != nullptr) commands->push_back(command);
  return 0;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_messages();
  commands = new std::vector<std::string>;
  char tmpl[] = "/tmp/zuntal_fuzz_table.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) std::abort();
  table_path = std::string(tmpl) + "/esd-plugin";
  ::setenv("ZUNTAL_ESD_PLUGIN", table_path.c_str(), 1);
  // The interception must hold before any address reaches reset_line.
  check_reset("127.000.000.001");
  FUZZ_CHECK(!commands->empty());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the line (-2 to 13), the rest is the table.
  const int lineno = data[0] % 16 - 2;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  {
    std::ofstream out(table_path, std::ios::binary | std::ios::trunc);
    out << text;
  }
  canline line;
  std::string ip = "untouched";
  const int r = line.getlineip(lineno, ip);
  FUZZ_CHECK(r == 0 || r == -1);
  FUZZ_CHECK((r == 0) == (ip.size() == 15));
  if (ip != "untouched") {
    FUZZ_CHECK(ip.size() <= 15);
    FUZZ_CHECK(text.find(ip) != std::string::npos);
  }
  check_reset(ip);
  // Whatever the table held, the address check alone decides.
  check_reset(text.substr(0, 15));
  return 0;
}
