// commands.h - the example server's client commands.
//
//   get NAME            the property's value
//   set NAME VALUE...   writes it (one integer, a text, or 2 to 4 integers
//                       for a node address: line, node id, two identifiers)
//   list [LOCATION]     the names of the properties
//   sdo NODE read IDX SUB          an SDO upload of one object of the node
//   sdo NODE write IDX SUB VALUE   an SDO download (hex bytes or a text)
//   pdo NODE                       the node's latest TPDO values
//   pdo NODE N VALUE...            sends RPDO N with one value per mapped object
//   help, quit
//
// NAME is a property name ("NODE5.CONDITION") or "LOCATION/NAME" when more
// than one location has it. Every request gets one line back: the value, a
// list of names, "ok", or a text that begins with "error: ".
#ifndef ZUNTAL_SERVER_COMMANDS_H
#define ZUNTAL_SERVER_COMMANDS_H

#include <string>
#include <vector>

#include "tavro.h"

namespace zserver {

struct Command {
  enum class Kind { Empty, Get, Set, List, Help, Quit, Bad, SdoRead, SdoWrite, SdoBlock, Pdo };
  Kind kind = Kind::Empty;
  std::string name;               // Get, Set: the property; List: the location or ""
  std::vector<std::string> args;  // Set: the values, split at blanks (quotes kept together)
  std::string text;               // Set: everything after the name, as one text
  std::string error;              // Bad: what is wrong
  int index = 0, subindex = 0;    // SdoRead, SdoWrite: the object (name: the node);
                                  // SdoBlock: index = the new threshold, -1 to show it;
                                  // Pdo: index is the RPDO number (0: read), args its values
  std::string data;               // SdoWrite: the bytes to write
};

// Largest object an `sdo` command reads or writes, in bytes.
constexpr int kMaxSdoObject = 65536;

Command parse_command(const std::string& line);

// A decimal or 0x-hexadecimal integer of type int, the whole token.
bool parse_integer(const std::string& token, int* value);

// Fills `out` with the value of a set for a property of framework type code
// `type` (1 integer, 3 text, 14 four integers). Returns "" or the reason the
// values do not fit, naming `name`.
std::string make_value(const std::string& name, int type, const Command& cmd, EqData* out);

// A get answer's text: "5", "Operational", "1 5 0 0", or "error: ..." for a
// container that carries an error.
std::string value_text(EqData& data);

// Help text, one line.
std::string help_text();

}  // namespace zserver

#endif  // ZUNTAL_SERVER_COMMANDS_H
