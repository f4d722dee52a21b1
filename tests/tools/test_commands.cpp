// The example server's command parser, value conversion and display text.
#include <gtest/gtest.h>

#include <climits>
#include <sstream>

#include "commands.h"
#include "display.h"

namespace {

using zserver::Command;
using Kind = zserver::Command::Kind;

// sdo requests: the object, and a value of hex bytes or a text.
TEST(Commands, ParsesSdoRequests) {
  Command c = zserver::parse_command("sdo NODE5 read 0x1008 0");
  EXPECT_EQ(c.kind, Kind::SdoRead);
  EXPECT_EQ(c.name, "NODE5");
  EXPECT_EQ(c.index, 0x1008);
  EXPECT_EQ(c.subindex, 0);

  c = zserver::parse_command("SDO NODE5 write 0x1017 0 E8 03");
  EXPECT_EQ(c.kind, Kind::SdoWrite);
  EXPECT_EQ(c.index, 0x1017);
  EXPECT_EQ(c.data, std::string("\xE8\x03", 2));
  c = zserver::parse_command("sdo NODE5 write 0x2100 1 set  point 5");
  EXPECT_EQ(c.data, "set  point 5") << "not all hex bytes: the text as written";
  c = zserver::parse_command("sdo NODE5 write 0x2100 1 \"AB\"");
  EXPECT_EQ(c.data, "AB") << "a quoted value is a text";
  c = zserver::parse_command("sdo NODE5 write 0x2100 1 \"\"");
  EXPECT_EQ(c.kind, Kind::SdoWrite);
  EXPECT_EQ(c.data, "");

  for (const char* bad :
       {"sdo NODE5 read 0x1008", "sdo NODE5 read 0x10000 0", "sdo NODE5 read 0x1008 256",
        "sdo NODE5 read 0x1008 0 extra", "sdo NODE5 write 0x1008 0", "sdo NODE5 peek 0x1008 0",
        "sdo NODE5 write 1 0 \"open"})
    EXPECT_EQ(zserver::parse_command(bad).kind, Kind::Bad) << bad;
}

TEST(Commands, ParsesRequestsAndRefusesMalformedOnes) {
  Command c = zserver::parse_command("  get NODE5.CONDITION \r\n");
  EXPECT_EQ(c.kind, Kind::Get);
  EXPECT_EQ(c.name, "NODE5.CONDITION");

  c = zserver::parse_command("SET NODE5 1\t7 0 0");
  EXPECT_EQ(c.kind, Kind::Set);
  EXPECT_EQ(c.name, "NODE5");
  EXPECT_EQ(c.args, (std::vector<std::string>{"1", "7", "0", "0"}));

  c = zserver::parse_command("set NODE5.MANU \"a \\\"quoted\\\" text\"");
  EXPECT_EQ(c.kind, Kind::Set);
  ASSERT_EQ(c.args.size(), 1u);
  EXPECT_EQ(c.args[0], "a \"quoted\" text");

  EXPECT_EQ(zserver::parse_command("list").kind, Kind::List);
  c = zserver::parse_command("list CANOPEN.LINE1");
  EXPECT_EQ(c.kind, Kind::List);
  EXPECT_EQ(c.name, "CANOPEN.LINE1");
  EXPECT_EQ(zserver::parse_command("quit").kind, Kind::Quit);
  EXPECT_EQ(zserver::parse_command("help").kind, Kind::Help);
  EXPECT_EQ(zserver::parse_command("").kind, Kind::Empty);
  EXPECT_EQ(zserver::parse_command("   # a comment").kind, Kind::Empty);

  for (const char* bad : {"frobnicate NODE5", "get", "get A B", "set NODE5", "set",
                          "set NODE5.MANU \"open", "list A B", "quit now"}) {
    c = zserver::parse_command(bad);
    EXPECT_EQ(c.kind, Kind::Bad) << bad;
    EXPECT_FALSE(c.error.empty()) << bad;
  }
}

TEST(Commands, ConvertsValuesByPropertyType) {
  auto value = [](int type, const std::string& line, EqData* out) {
    return zserver::make_value("P", type, zserver::parse_command("set P " + line), out);
  };
  EqData d;
  EXPECT_EQ(value(DATA_INT, "-12", &d), "");
  EXPECT_EQ(d.type(), DATA_INT);
  EXPECT_EQ(d.get_int(), -12);
  EXPECT_EQ(value(DATA_INT, "0x1F", &d), "");
  EXPECT_EQ(d.get_int(), 31);
  EXPECT_NE(value(DATA_INT, "abc", &d), "");
  EXPECT_NE(value(DATA_INT, "1 2", &d), "");
  EXPECT_NE(value(DATA_INT, "3000000000", &d), "") << "beyond int";
  EXPECT_NE(value(DATA_INT, "1.5", &d), "");

  EXPECT_EQ(value(DATA_IIII, "1 7", &d), "");
  EXPECT_EQ(zserver::value_text(d), "1 7 0 0") << "missing identifiers are 0";
  EXPECT_EQ(value(DATA_IIII, "2 5 385 -1", &d), "");
  EXPECT_EQ(zserver::value_text(d), "2 5 385 -1");
  EXPECT_NE(value(DATA_IIII, "1 2 3 4 5", &d), "");
  EXPECT_NE(value(DATA_IIII, "1 x", &d), "");

  EXPECT_EQ(value(DATA_TEXT, "two words", &d), "");
  EXPECT_EQ(zserver::value_text(d), "two words");
  EXPECT_EQ(value(DATA_TEXT, "\"  padded \"", &d), "");
  EXPECT_EQ(zserver::value_text(d), "  padded ");

  EXPECT_NE(value(DATA_NULL, "1", &d), "") << "a property without a value type";

  EqData err;
  err.error(ERR_RO, "NAME is read-only");
  EXPECT_EQ(zserver::value_text(err), "error: NAME is read-only");
}

// The numbers commands take: decimal or 0x hexadecimal, signed, in the int
// range; leading zeros stay decimal; a blank on either side is no number.
TEST(Commands, IntegersAtTheirLimitsAndInEachForm) {
  const int bad = 4242;
  // clang-format off
  const struct {
    const char* text;
    int value;  // bad: refused
  } cases[] = {
      {"2147483647", INT_MAX}, {"2147483648", bad}, {"-2147483648", INT_MIN}, {"-2147483649", bad},
      {"0x7FFFFFFF", INT_MAX}, {"0x80000000", bad}, {"-0x80000000", INT_MIN}, {"-0x80000001", bad},
      {"010", 10}, {"0X1f", 31}, {"+5", 5}, {"-0", 0}, {"0x", bad}, {"0x-1", bad}, {"--1", bad},
      {"1.0", bad}, {" 5", bad}, {"5 ", bad}, {"", bad}, {"5x", bad}};
  // clang-format on
  for (const auto& c : cases) {
    int v = bad;
    EXPECT_EQ(zserver::parse_integer(c.text, &v), c.value != bad) << '"' << c.text << '"';
    EXPECT_EQ(v, c.value) << '"' << c.text << '"';
  }
  // The object of an sdo command at both ends of its range.
  Command c = zserver::parse_command("sdo N read 0xFFFF 255");
  EXPECT_EQ(c.kind, Kind::SdoRead);
  EXPECT_EQ(c.index, 0xFFFF);
  EXPECT_EQ(c.subindex, 255);
  for (const char* out : {"sdo N read -1 0", "sdo N read 0 -1", "sdo N read 0 0x100"})
    EXPECT_EQ(zserver::parse_command(out).kind, Kind::Bad) << out;
}

zserver::NodeRow row() {
  zserver::NodeRow r;
  r.name = "NODE5";
  r.line = 1;
  r.node = 5;
  r.state = 127;
  r.condition = "Preoperational";
  return r;
}

TEST(Display, ReportsChangesNotNoise) {
  zserver::NodeRow a = row();
  auto first = zserver::change_lines(nullptr, a);
  ASSERT_EQ(first.size(), 1u) << "a new node without identity: its state only";
  EXPECT_EQ(first[0], "NODE5 (line 1, node 5): state 127 Preoperational");

  zserver::NodeRow b = a;
  b.frames = 7;
  EXPECT_TRUE(zserver::change_lines(&a, b).empty()) << "frame counts are not changes";

  b.state = 5;
  b.condition = "Operational";
  b.manu = "ZPS-48";
  auto two = zserver::change_lines(&a, b);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two[0], "NODE5 (line 1, node 5): state 5 Operational");
  EXPECT_EQ(two[1], "NODE5: identity \"ZPS-48\", hardware \"\", software \"\"");

  zserver::NodeRow c = b;
  c.state = 0x85;  // a guarding answer with its toggle bit
  EXPECT_TRUE(zserver::change_lines(&b, c).empty());

  c.emergency = "code 0x3210 (voltage inside the device) register 0x04";
  c.emergencies = 1;
  c.note = "silent";
  auto three = zserver::change_lines(&b, c);
  ASSERT_EQ(three.size(), 2u);
  EXPECT_EQ(three[0], "NODE5 (line 1, node 5): state 133 Operational - silent");
  EXPECT_EQ(three[1], "NODE5: emergency code 0x3210 (voltage inside the device) register 0x04");
}

TEST(Display, TableShowsEveryNodeInColumns) {
  zserver::NodeRow a = row();
  a.manu = std::string(40, 'M');
  zserver::NodeRow b = row();
  b.name = "NODE12";
  b.node = 12;
  std::deque<std::string> msgs = {"canOpen returned:  Line : 1mess: x"};
  std::string t = zserver::render_table("title", {a, b}, msgs, {});
  std::istringstream in(t);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "title");
  EXPECT_EQ(lines[2].rfind("NODE  ", 0), 0u) << lines[2];
  // The columns line up: the condition starts at the same place in each row.
  size_t col = lines[2].find("CONDITION");
  EXPECT_EQ(lines[3].find("Preoperational"), col);
  EXPECT_EQ(lines[4].find("Preoperational"), col);
  EXPECT_NE(lines[3].find(std::string(25, 'M') + "~"), std::string::npos) << "long texts are cut";
  EXPECT_EQ(lines[3].find(std::string(27, 'M')), std::string::npos);
  EXPECT_NE(t.find("  canOpen returned:"), std::string::npos);
}

// Texts of clients, devices and the configuration never put a control
// character on the terminal (a cursor move, a cleared screen, a window
// title), in the table or in the plain lines.
TEST(Display, ControlCharactersNeverReachTheTerminal) {
  const std::string esc = "\x1b]0;title\x07\x1b[2J\x7f";
  auto clean = [](const std::string& t) {
    for (char c : t)
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == '\x7f') return false;
    return true;
  };
  zserver::NodeRow a = row();
  a.manu = "M" + esc;
  a.note = esc;
  const std::string t =
      zserver::render_table("title" + esc, {a}, {"message" + esc}, {"> get " + esc, "  ok"}, 200);
  EXPECT_TRUE(clean(t)) << t;
  EXPECT_NE(t.find("M?]0;title??[2J?"), std::string::npos) << "shown, not obeyed";

  std::ostringstream out;
  zserver::Display d(zserver::Display::Mode::Plain, out, "title");
  d.update({a});
  d.message("label", esc);
  d.output_line(esc);
  d.answer("get " + esc, "error: unknown property " + esc);
  EXPECT_TRUE(clean(out.str())) << out.str();
  EXPECT_NE(out.str().find("error: unknown property ?]0;title"), std::string::npos);
}

// At 80 columns (and narrower) every line fits: headings are abbreviated,
// long texts cut, and the least needed columns left out; the node, its state
// and its condition always stay. Stored texts not read in this run are marked.
TEST(Display, TableFitsTheTerminalWidth) {
  zserver::NodeRow a = row();
  a.state = 5;
  a.condition = "Operational";
  a.manu = "ZMC-200 Motor Controller";
  a.hwver = "C";
  a.swver = "2.3.11 build 4711";
  a.emergency = "code 0x3210 (voltage inside the device) register 0x04 data 00 00 00 00 00";
  a.frames = 12;
  a.note = "not registered: line 25 is outside 1 to 20";
  zserver::NodeRow b = row();
  b.name = "NODE127";
  b.node = 127;
  b.manu = "Old Supply";
  b.identity_stale = true;
  std::deque<std::string> msgs = {std::string(120, 'm')};
  std::deque<std::string> answers = {"> get NODE5.MANU", "  " + std::string(100, 'a')};
  auto lines_of = [](const std::string& t) {
    std::vector<std::string> v;
    std::istringstream in(t);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
  };

  const std::string wide = zserver::render_table(std::string(90, 't'), {a, b}, msgs, answers);
  EXPECT_GT(lines_of(wide)[2].size(), 80u) << "without a width the table takes what it needs";

  for (size_t width : {80u, 60u, 40u}) {
    SCOPED_TRACE(width);
    const std::string t =
        zserver::render_table(std::string(90, 't'), {a, b}, msgs, answers, width, true);
    const auto lines = lines_of(t);
    for (const std::string& l : lines) EXPECT_LE(l.size(), width) << l;
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[2].rfind("NODE", 0), 0u) << lines[2];
    EXPECT_NE(lines[2].find("CONDITION"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("Operational"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[4].rfind("NODE127", 0), 0u) << lines[4];
    EXPECT_EQ(lines.back().rfind("command: get NAME", 0), 0u) << lines.back();
  }
  const auto at80 = lines_of(zserver::render_table("title", {a, b}, msgs, answers, 80, true));
  EXPECT_EQ(at80[2].find("STATE"), std::string::npos) << "abbreviated: " << at80[2];
  EXPECT_NE(at80[2].find(" ST "), std::string::npos) << at80[2];
  EXPECT_NE(at80[4].find("*Old"), std::string::npos) << at80[4];
  EXPECT_EQ(at80[5], "* identity stored by an earlier run, not read from the node in this run");

  // A long title is wrapped at its parts, not cut: the file written stays whole.
  const auto wrapped = lines_of(zserver::render_table(
      "zuntal_server: 3 nodes; line 1 simulated bus (3 simulated devices); cycle 100 ms; "
      "Ctrl-C stops and writes /home/someone/.local/state/zuntal/server.conf",
      {a}, {}, {}, 80, true));
  EXPECT_EQ(wrapped[0], "zuntal_server: 3 nodes; line 1 simulated bus (3 simulated devices);");
  EXPECT_EQ(wrapped[1], "  cycle 100 ms;");
  EXPECT_EQ(wrapped[2], "  Ctrl-C stops and writes /home/someone/.local/state/zuntal/server.conf");
  EXPECT_EQ(wrapped[3], "");
  EXPECT_EQ(wrapped[4].rfind("NODE", 0), 0u);

  // One line per change: the stored texts are told as such, and again once read.
  zserver::NodeRow read = b;
  read.identity_stale = false;
  auto first = zserver::change_lines(nullptr, b);
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[1],
            "NODE127: identity \"Old Supply\", hardware \"\", software \"\" (stored by an earlier "
            "run, not read in this run)");
  auto again = zserver::change_lines(&b, read);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0], "NODE127: identity \"Old Supply\", hardware \"\", software \"\"");
}

}  // namespace
