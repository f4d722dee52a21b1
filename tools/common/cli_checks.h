// cli_checks.h - command-line checks the tools share.
#ifndef ZUNTAL_TOOLS_CLI_CHECKS_H
#define ZUNTAL_TOOLS_CLI_CHECKS_H

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <string>

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

}  // namespace ztools

#endif  // ZUNTAL_TOOLS_CLI_CHECKS_H
