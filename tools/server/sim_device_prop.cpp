// sim_device_prop.cpp - reading a simulated device's configuration line.
#include "sim_device_prop.h"

#include "commands.h"

namespace zserver {

void D_simdevice::read() {
  D_conf_struct* r = find_prop_name();
  if (!r || !r->found) return;
  raw_ = r->text;
  int l = 0, n = 0;
  if (r->tokens.size() != 3 || !parse_integer(r->tokens[0], &l) ||
      !parse_integer(r->tokens[1], &n) || r->tokens[2].empty()) {
    problem_ = "expected: line, node id and EDS file, e.g. 1 5 \"zps48.eds\"";
    return;
  }
  if (l < 1 || l > 20) {
    problem_ = "line " + std::to_string(l) + " is outside 1 to 20";
    return;
  }
  if (n < 0 || n > 127) {
    problem_ = "node id " + std::to_string(n) + " is outside 1 to 127 (0: the EDS file's own)";
    return;
  }
  line_ = l;
  node_ = n;
  eds_ = r->tokens[2];
  problem_.clear();
}

}  // namespace zserver
