// cli_checks.h - command-line checks the tools share.
#ifndef ZUNTAL_TOOLS_CLI_CHECKS_H
#define ZUNTAL_TOOLS_CLI_CHECKS_H

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ntcan_ctl.h"

namespace ztools {

// A number of 0 or more. CLI11's own NonNegativeNumber names the largest
// double in its message, some 300 digits.
inline const CLI::Validator kZeroOrMore(
    [](std::string& s) -> std::string {
      char* end = nullptr;
      const double v = std::strtod(s.c_str(), &end);
      if (end == s.c_str() || *end != '\0' || !(v >= 0)) return "Value " + s + " is not 0 or more";
      return "";
    },
    "NUMBER >= 0");

// False, with the reason on standard error, when the driver configuration
// that NTCAN_CONFIG names cannot be used: the driver then refuses every
// canOpen, and a tool that went on would show a plant that is not there.
inline bool driver_config_usable(const char* tool) {
  const std::string why = ntcan_ctl::config_error();
  if (why.empty()) return true;
  std::fprintf(stderr, "%s: NTCAN_CONFIG cannot be used: %s\n", tool, why.c_str());
  return false;
}

}  // namespace ztools

#endif  // ZUNTAL_TOOLS_CLI_CHECKS_H
