// The configuration file, the location's property table and the text
// property over a caller's buffer.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "d_value.h"
#include "tavro_test.h"

namespace {

using tavro::MessageCapture;

// An IIII-valued property that writes and reads its line the way the CAN
// node property does: " \t%d  %d  %d  %d\n" and the first four integers.
class NodeLike : public D_fct {
 public:
  NodeLike(const std::string& pn, EqFct* ef) : D_fct(pn, ef) {}
  void write(std::ostream& os) override {
    D_fct::write(os);
    char buf[200];
    int n = std::snprintf(buf, sizeof buf, " \t%d  %d  %d  %d\n", v.i1_data, v.i2_data, v.i3_data,
                          v.i4_data);
    os.write(buf, n);
  }
  void read() override {
    D_conf_struct* r = find_prop_name();
    if (!r || !r->found) return;
    int32_t* f[4] = {&v.i1_data, &v.i2_data, &v.i3_data, &v.i4_data};
    for (size_t k = 0; k < 4 && k < r->ints.size(); ++k) *f[k] = r->ints[k];
  }
  IIII v;
};

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tavro_cfg_XXXXXX";
    path_ = mkdtemp(tmpl);
  }
  ~TempDir() {
    for (const std::string& f : files()) std::remove((path_ + "/" + f).c_str());
    rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }
  std::vector<std::string> files() const {
    std::vector<std::string> out;
    if (DIR* d = opendir(path_.c_str())) {
      while (dirent* e = readdir(d))
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) out.push_back(e->d_name);
      closedir(d);
    }
    return out;
  }

 private:
  std::string path_;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Two locations of a server, built the same way at every start.
struct Server {
  explicit Server(Config* c) : a("SRV.A"), b("SRV.B") {
    a.set_config(c);
    b.set_config(c);
    baud.reset(new D_int("N1.BAUDRATE default 6 == 125KB ", &a));
    neg.reset(new D_int("NEG", &a));
    iiii.reset(new D_iiii("N1.DEBUG_ID to print this ID data", &a));
    node.reset(new NodeLike("N1 the node", &a));
    text.reset(new D_string("N1.CONDITION ", &a));
    ident.reset(new D_string("N1.MANU Manufacture device name", manu, sizeof manu, &a));
    other.reset(new D_int("N1.BAUDRATE", &b));  // same name, other location
  }
  EqFct a, b;
  char manu[64] = {};
  std::unique_ptr<D_int> baud, neg, other;
  std::unique_ptr<D_iiii> iiii;
  std::unique_ptr<NodeLike> node;
  std::unique_ptr<D_string> text, ident;
};

TEST(ConfigFile, WrittenFileReadsBackToTheSameValues) {
  MessageCapture quiet;
  TempDir dir;
  const std::string path = dir.path() + "/server.conf";
  {
    Server s(nullptr);
    s.baud->set_value(3);
    s.neg->set_value(-7);
    IIII d{1, -2, 300, 2147483647};
    s.iiii->set_value(&d);
    s.node->v = IIII{3, 5, 0, 0};
    s.text->set_value("Pre-operational \"x\"\tA\\B\nnext");
    s.ident->set_value("ACME # 1");
    s.other->set_value(8);
    ASSERT_EQ(Config::write_file(path, {&s.a, &s.b}), 0);
    // Written again over the old file: still one complete file.
    s.neg->set_value(-8);
    ASSERT_EQ(Config::write_file(path, {&s.a, nullptr, &s.b}), 0);
  }
  EXPECT_EQ(dir.files(), std::vector<std::string>{"server.conf"});  // no temporary left
  const std::string text = slurp(path);
  EXPECT_NE(text.find("LOCATION SRV.A\n"), std::string::npos);
  EXPECT_NE(text.find("N1.BAUDRATE\t3\n"), std::string::npos);
  EXPECT_NE(text.find("N1 \t3  5  0  0\n"), std::string::npos);

  Config c;
  ASSERT_EQ(c.load(path), 0);
  EXPECT_EQ(c.errors(), 0);
  EXPECT_EQ(c.locations(), (std::vector<std::string>{"SRV.A", "SRV.B"}));
  Server s(&c);
  s.a.restore_config();
  s.b.restore_config();
  EXPECT_EQ(s.baud->value(), 3);
  EXPECT_EQ(s.neg->value(), -8);
  EXPECT_EQ(s.iiii->value()->i1_data, 1);
  EXPECT_EQ(s.iiii->value()->i2_data, -2);
  EXPECT_EQ(s.iiii->value()->i3_data, 300);
  EXPECT_EQ(s.iiii->value()->i4_data, 2147483647);
  EXPECT_EQ(s.node->v.i1_data, 3);
  EXPECT_EQ(s.node->v.i2_data, 5);
  EXPECT_EQ(s.text->value(), "Pre-operational \"x\"\tA\\B\nnext");
  EXPECT_EQ(s.ident->value(), "ACME # 1");
  EXPECT_EQ(s.other->value(), 8);

  // A failed write reports -1 and leaves the old file and no temporary.
  const std::string sub = dir.path() + "/sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  EXPECT_EQ(Config::write_file(sub, {&s.a}), -1);  // a directory cannot be replaced
  rmdir(sub.c_str());
  EXPECT_EQ(Config::write_file(dir.path() + "/missing/x.conf", {&s.a}), -1);
  EXPECT_EQ(dir.files(), std::vector<std::string>{"server.conf"});
  EXPECT_EQ(slurp(path), text);
  EXPECT_EQ(c.load(dir.path() + "/nothing.conf"), -1);
}

TEST(ConfigFile, MalformedLinesAreReportedWithTheirNumberAndSkipped) {
  MessageCapture cap;
  Config c;
  const char* text =
      "# server configuration\n"  // 1
      "\n"                        // 2
      "EARLY 1\n"                 // 3 outside a location
      "LOCATION\n"                // 4 no name
      "LOCATION L1\n"             // 5
      "A 5\n"                     // 6
      "S \"unterminated\n"        // 7
      "B 1 2 x 3 99999999999\n"   // 8 integers among other words
      "A 9\n"                     // 9 second line for A
      "C \"ok\"x\n"               // 10 text after the quote
      "D \"bad \\q\"\n"           // 11 unknown escape
      "E 4\r\n"                   // 12 CRLF
      "   F   -3   \n"            // 13 blanks around
      "\"Q\" 1\n"                 // 14 quoted name
      "G \"two words\" 7\n"       // 15
      "  # indented comment\n"    // 16
      "H\n";                      // 17 a name without values
  ASSERT_EQ(c.load_text(text), 0);
  EXPECT_EQ(c.errors(), 7);
  for (int line : {3, 4, 7, 9, 10, 11, 14})
    EXPECT_EQ(cap.count("Config", "line " + std::to_string(line) + ":"), 1) << line;
  EXPECT_EQ(cap.count("Config", "first on line 6"), 1);

  ASSERT_NE(c.find("L1", "A"), nullptr);
  EXPECT_EQ(c.find("L1", "A")->d_int, 5);
  EXPECT_EQ(c.find("L1", "A")->line, 6);
  EXPECT_EQ(c.find("L1", "S"), nullptr);
  const D_conf_struct* b = c.find("L1", "B");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->tokens.size(), 5u);
  EXPECT_EQ(b->ints, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(c.find("L1", "E")->d_int, 4);
  EXPECT_EQ(c.find("L1", "F")->d_int, -3);
  EXPECT_EQ(c.find("L1", "G")->tokens, (std::vector<std::string>{"two words", "7"}));
  EXPECT_EQ(c.find("L1", "G")->ints, std::vector<int>{7});
  EXPECT_TRUE(c.find("L1", "H")->found);
  EXPECT_TRUE(c.find("L1", "H")->tokens.empty());

  // Absent lines: find gives null, lookup a record that says "not found".
  EXPECT_EQ(c.find("L1", "Z"), nullptr);
  EXPECT_EQ(c.find("L2", "A"), nullptr);
  ASSERT_NE(c.lookup("L2", "A"), nullptr);
  EXPECT_FALSE(c.lookup("L2", "A")->found);

  // A property registered as floating point gets its number in the union.
  c.load_text("LOCATION L\nFL 2.5\nDB -1e3\n");
  c.insert("FL", DATA_FLOAT);
  c.insert("DB", DATA_DOUBLE);
  EXPECT_FLOAT_EQ(c.find("L", "FL")->d_float, 2.5f);
  EXPECT_DOUBLE_EQ(c.find("L", "DB")->d_double, -1000.0);
}

TEST(Location, PropertiesJoinAndLeaveAndOutliveTheirLocation) {
  MessageCapture quiet;
  auto loc = std::make_unique<EqFct>("LOC");
  auto p = std::make_unique<D_int>("P first", loc.get());
  D_int* child = new D_int("P.CHILD", loc.get());
  EXPECT_EQ(loc->find_property("P"), p.get());
  EXPECT_EQ(loc->find_property("P with a description"), p.get());
  EXPECT_EQ(p->description(), "first");
  p.reset();
  EXPECT_EQ(loc->find_property("P"), nullptr);
  EXPECT_EQ(loc->properties().size(), 2u);  // NAME and P.CHILD

  // Without configuration restore reads nothing; a null property is skipped.
  child->set_value(4);
  tavro::detail::restore_conf(loc.get(), child);
  tavro::detail::restore_conf(loc.get(), nullptr);
  EXPECT_EQ(child->value(), 4);
  EXPECT_EQ(child->find_prop_name(), nullptr);

  // A child its owner never deletes survives the location.
  loc.reset();
  EXPECT_EQ(child->get_eqfct(), nullptr);
  child->set_value(5);
  delete child;

  // A property with a bad name is left out of the file (it would not read
  // back); one that writes only its name still gets a line of its own.
  EqFct l2("L2");
  D_int bad(" BAD", &l2);
  D_fct plain("PLAIN", &l2);
  D_int after("AFTER", &l2);
  std::ostringstream os;
  l2.write_config(os);
  EXPECT_EQ(os.str(), "LOCATION L2\nPLAIN\nAFTER\t0\n");
}

TEST(TextProperty, CallersBufferIsNeverWrittenPastItsSize) {
  MessageCapture quiet;
  EqFct loc("LOC");
  struct {
    char text[8];
    char guard[8];
  } mem;
  std::memset(&mem, 0x5A, sizeof mem);
  D_string s("S", mem.text, sizeof mem.text, &loc);
  s.set_value("0123456789");
  EXPECT_EQ(s.value(), "0123456");
  EXPECT_EQ(mem.text[7], '\0');

  EqData in, out;
  in.set(std::string("abcdefghijk"));
  loc.set("S", &in, &out);
  loc.get("S", nullptr, &out);
  EXPECT_EQ(out.get_string(), "abcdefg");
  s.set_value(std::string("xy"));
  EXPECT_EQ(s.value(), "xy");
  s.set_value(static_cast<const char*>(nullptr));
  EXPECT_EQ(s.value(), "");

  Config c;
  c.load_text("LOCATION LOC\nS \"a much longer text from the file\"\n");
  loc.set_config(&c);
  s.read();
  EXPECT_EQ(s.value(), "a much ");
  for (char g : mem.guard) EXPECT_EQ(g, 0x5A);

  // One byte holds only the terminator; no buffer means an owned text.
  char one = 'q';
  D_string tiny("TINY", &one, 1, &loc);
  tiny.set_value("abc");
  EXPECT_EQ(one, '\0');
  EXPECT_EQ(tiny.value(), "");
  D_string none("NONE", nullptr, 0, &loc);
  none.set_value("kept");
  EXPECT_EQ(none.value(), "kept");
}

}  // namespace
