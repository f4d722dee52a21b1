// The configuration file, the location's property table and the text
// property over a caller's buffer.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

  // A failed write reports -1 with the system's reason and leaves the old
  // file and no temporary.
  MessageCapture cap;
  const std::string sub = dir.path() + "/sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  EXPECT_EQ(Config::write_file(sub, {&s.a}), -1);  // a directory cannot be replaced
  EXPECT_EQ(cap.count("Config", "cannot write " + sub + ": cannot rename "), 1);
  EXPECT_EQ(cap.count("Config", ": Is a directory; the file is left as it was"), 1);
  rmdir(sub.c_str());
  EXPECT_EQ(Config::write_file(dir.path() + "/missing/x.conf", {&s.a}), -1);
  EXPECT_EQ(cap.count("Config", ": No such file or directory; the file is left as it was"), 1);
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
  // One a float cannot hold is no number for it.
  c.load_text("LOCATION L\nFL 2.5\nDB -1e3\nBIG 1e300\n");
  c.insert("FL", DATA_FLOAT);
  c.insert("DB", DATA_DOUBLE);
  c.insert("BIG", DATA_FLOAT);
  EXPECT_FLOAT_EQ(c.find("L", "FL")->d_float, 2.5f);
  EXPECT_DOUBLE_EQ(c.find("L", "DB")->d_double, -1000.0);
  EXPECT_EQ(c.find("L", "BIG")->d_float, 0.0f);
}

// Texts with any byte, and names that look like the file's own syntax: a
// written file reads back to the same values, or the name is refused when
// the property is made.
TEST(ConfigFile, HostileTextsAndNamesReadBackOrAreRefused) {
  MessageCapture cap;
  TempDir dir;
  const std::string path = dir.path() + "/hostile.conf";
  std::string every;  // every byte but NUL, which ends a text
  for (int c = 1; c < 256; ++c) every += static_cast<char>(c);
  const std::vector<std::string> names = {"  SPACED ", "\"QUOTED\"", "", "TAB\tIN\x01SIDE",
                                          "#HASH"};
  {
    std::vector<std::unique_ptr<EqFct>> locs;
    std::vector<std::unique_ptr<D_string>> texts;
    for (const std::string& n : names) {
      locs.emplace_back(new EqFct(n));
      texts.emplace_back(new D_string("T", locs.back().get()));
      texts.back()->set_value(every + n);
    }
    EqFct& a = *locs[0];
    D_int hash("#P", &a), location("LOCATION", &a), quote("A\"B", &a), after("AFTER", &a);
    for (const char* n : {"#P", "LOCATION", "A\"B"})
      EXPECT_EQ(cap.count("D_fct", std::string("property name \"") + n + "\" cannot be kept"), 1)
          << n;
    EXPECT_EQ(cap.count("D_fct", "(a line starting with # is a comment)"), 1);
    EXPECT_TRUE(location.get_badname());
    hash.set_value(1);
    location.set_value(2);
    after.set_value(3);
    std::vector<EqFct*> all;
    for (auto& l : locs) all.push_back(l.get());
    ASSERT_EQ(Config::write_file(path, all), 0);
  }
  const std::string text = slurp(path);
  EXPECT_EQ(text.find('\x01'), std::string::npos) << "control characters are escaped";
  EXPECT_NE(text.find("\\x01\\x02"), std::string::npos);
  EXPECT_NE(text.find("LOCATION \"  SPACED \"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("LOCATION #HASH\n"), std::string::npos) << "a plain name stays plain";

  cap.clear();
  Config c;
  ASSERT_EQ(c.load(path), 0);
  EXPECT_EQ(c.errors(), 0);
  EXPECT_TRUE(cap.messages().empty());
  EXPECT_EQ(c.locations(), names);
  for (const std::string& n : names) {
    EqFct loc(n);
    loc.set_config(&c);
    D_string t("T", &loc);
    t.read();
    EXPECT_EQ(t.value(), every + n) << n;
  }
  // The refused names left no line behind that would read as something else.
  EqFct a(names[0]);
  a.set_config(&c);
  D_int after("AFTER", &a);
  after.read();
  EXPECT_EQ(after.value(), 3);
  EXPECT_EQ(c.find(names[0], "LOCATION"), nullptr);
}

// A damaged file loads what it can: the block of a malformed LOCATION line is
// skipped, a byte-order mark is read past, and a value that is no integer is
// reported with its line while the property keeps its value.
TEST(ConfigFile, DamagedLinesAreReportedAndChangeNothing) {
  MessageCapture cap;
  Config c;
  c.load_text(
      "\xEF\xBB\xBFLOCATION A\n"  // 1 after a byte-order mark
      "P 1\n"                     // 2
      "LOCATION\n"                // 3 no name
      "P 2\n"                     // 4 skipped: belongs to line 3
      "Q 3\n"                     // 5 skipped
      "LOCATION \"B\" junk\n"     // 6 text after the quoted name
      "Q 4\n"                     // 7 skipped
      "LOCATION \"B\"\n"          // 8
      "I\n"                       // 9 no value
      "J 3000000000\n"            // 10 out of range
      "K x 5\n"                   // 11 a word first
      "D 1 2 x 4\n"               // 12 four integers needed
      "E 1 2 3\n"                 // 13
      "H.HIST.1 fast\n"           // 14
      "L 2.5\n"                   // 15
      "LOCATION C\n"              // 16
      "L 7\n"                     // 17
      "LOCATION B\n"              // 18
      "N 5 6\n"                   // 19 one integer, not two
      "F 1 2 3 4 5\n"             // 20 four integers, not five
      "S \"a\" b\n");             // 21 one text, not a text and a word
  EXPECT_EQ(c.errors(), 5);
  for (int line : {3, 4, 5, 6, 7})
    EXPECT_EQ(cap.count("Config", "line " + std::to_string(line) + ":"), 1) << line;
  EXPECT_EQ(cap.count("Config", "line 5: property Q belongs to the malformed LOCATION on line 3"),
            1);
  EXPECT_EQ(c.locations(), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(c.find("A", "P")->d_int, 1) << "the skipped block does not land in A";
  EXPECT_EQ(c.find("A", "Q"), nullptr);
  EXPECT_EQ(c.find("B", "Q"), nullptr);

  cap.clear();
  EqFct b("B");
  b.set_config(&c);
  D_int i("I", &b), j("J", &b), k("K", &b);
  D_int nn("N", &b);
  nn.set_value(14);
  D_iiii d("D", &b), e("E", &b), f("F", &b);
  D_string str("S", &b);
  str.set_value("kept");
  D_hist h(&b, "H.HIST", "", 1001, 10, 0);
  i.set_value(11);
  j.set_value(12);
  k.set_value(13);
  IIII keep{1, 1, 1, 1};
  d.set_value(&keep);
  e.set_value(&keep);
  f.set_value(&keep);
  EqData in, out;
  in.set(5);
  h.get_p_prop(1)->set(nullptr, &in, &out, &b);
  cap.clear();
  b.restore_config();
  EXPECT_EQ(i.value(), 11);
  EXPECT_EQ(j.value(), 12);
  EXPECT_EQ(k.value(), 13);
  EXPECT_EQ(d.value()->i3_data, 1);
  EXPECT_EQ(e.value()->i1_data, 1);
  h.get_p_prop(1)->get(nullptr, nullptr, &out, &b);
  EXPECT_EQ(out.get_int(), 5);
  EXPECT_EQ(cap.count("Config", "line 9: I has no value; it keeps its value 11"), 1);
  EXPECT_EQ(cap.count("Config",
                      "line 10: J takes an integer from -2147483648 to 2147483647, not "
                      "\"3000000000\"; it keeps its value 12"),
            1);
  EXPECT_EQ(cap.count("Config", "line 11: K takes an integer"), 1);
  EXPECT_EQ(cap.count("Config", "line 12: D takes four integers, not \"1 2 x 4\""), 1);
  EXPECT_EQ(cap.count("Config", "line 13: E takes four integers"), 1);
  EXPECT_EQ(cap.count("Config", "line 14: H.HIST.1 takes an integer"), 1);
  EXPECT_TRUE(c.find("B", "J")->rejected);
  EXPECT_EQ(nn.value(), 14);
  EXPECT_EQ(f.value()->i1_data, 1);
  EXPECT_EQ(str.value(), "kept");
  EXPECT_EQ(cap.count("Config", "line 19: N takes one integer, not \"5 6\"; it keeps its value 14"),
            1);
  EXPECT_EQ(cap.count("Config", "line 20: F takes four integers, not \"1 2 3 4 5\""), 1);
  EXPECT_EQ(cap.count("Config",
                      "line 21: S takes one text, not \"a\" b; it keeps its value "
                      "\"kept\""),
            1);
  for (const char* p : {"N", "F", "S"}) EXPECT_TRUE(c.find("B", p)->rejected) << p;

  // Registered types are per location: B's float L does not turn C's
  // integer L into float bits, in either order of registration and load.
  c.insert("B", "L", DATA_FLOAT);
  EXPECT_FLOAT_EQ(c.find("B", "L")->d_float, 2.5f);
  EqFct cl("C");
  cl.set_config(&c);
  D_int l("L", &cl);
  l.conf(&c);
  l.read();
  EXPECT_EQ(l.value(), 7);
  c.load_text("LOCATION B\nL 2.5\nLOCATION C\nL 7\n");
  EXPECT_FLOAT_EQ(c.find("B", "L")->d_float, 2.5f);
  EXPECT_EQ(c.find("C", "L")->d_int, 7);
  // A registration without a location holds where a location has none.
  c.insert("M", DATA_DOUBLE);
  c.load_text("LOCATION B\nM -1e3\n");
  EXPECT_DOUBLE_EQ(c.find("B", "M")->d_double, -1000.0);
}

// Lines the properties do not take (malformed lines, unknown names, blocks
// of malformed LOCATION lines, locations nobody built) go back verbatim, so
// writing the file again and again changes nothing.
TEST(ConfigFile, WriteBackKeepsEveryUnusedLineVerbatim) {
  MessageCapture quiet;
  TempDir dir;
  const std::string path = dir.path() + "/keep.conf";
  const std::vector<std::string> kept_lines = {"  NODE6 \t1  6  0\t# a typo",
                                               "S \"unterminated",
                                               "P 9",
                                               "LOCATION",
                                               "P 2\r",
                                               "OTHER 3",
                                               "X 1"};
  const std::string original =
      "EARLY 1\n"
      "LOCATION A\n"
      "P 1\n"
      "  NODE6 \t1  6  0\t# a typo\n"
      "S \"unterminated\n"
      "P 9\n"
      "LOCATION\n"
      "P 2\r\n"
      "LOCATION A\n"
      "OTHER 3\n"
      "LOCATION NOBODY\n"
      "X 1\n";
  std::ofstream(path) << original;
  std::string first;
  for (int round = 0; round < 3; ++round) {
    Config c;
    ASSERT_EQ(c.load(path), 0);
    EqFct a("A");
    a.set_config(&c);
    D_int p("P", &a);
    a.restore_config();
    EXPECT_EQ(p.value(), 1);
    p.set_value(p.value() + round);
    ASSERT_EQ(Config::write_file(path, {&a}, &c), 0);
    const std::string text = slurp(path);
    for (const std::string& l : kept_lines)
      EXPECT_NE(text.find("\n" + l + "\n"), std::string::npos) << round << ": " << l;
    EXPECT_EQ(text.rfind("EARLY 1\n", 0), 0u) << "lines before any location stay first";
    EXPECT_NE(text.find("P\t" + std::to_string(1 + round) + "\n"), std::string::npos);
    if (round == 0) first = text;
    p.set_value(1);
    ASSERT_EQ(Config::write_file(path, {&a}, &c), 0);
    EXPECT_EQ(slurp(path), first) << "a second write is the same file";
  }
}

// A file that is no configuration file is refused before it is read, and
// an interrupted write's temporary file is removed at the next start.
TEST(ConfigFile, OddFilesAreRefusedAndStaleTemporariesRemoved) {
  MessageCapture cap;
  TempDir dir;
  Config c;
  EXPECT_EQ(c.load("/dev/zero"), -1);
  EXPECT_EQ(cap.count("Config", "/dev/zero is not a regular file (a character device)"), 1);
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(c.load(fifo), -1) << "and it did not wait for a writer";
  EXPECT_EQ(cap.count("Config", "(a FIFO)"), 1);
  const std::string big = dir.path() + "/big.conf";
  std::ofstream(big) << "LOCATION A\n#" << std::string(Config::kMaxFileBytes - 13, ' ') << '\n';
  EXPECT_EQ(c.load(big), 0) << "a file of the largest size is read";
  ASSERT_EQ(truncate(big.c_str(), Config::kMaxFileBytes + 1), 0);
  EXPECT_EQ(c.load(big), -1);
  EXPECT_EQ(cap.count("Config", "is larger than 16777216 bytes"), 1);
  std::remove(fifo.c_str());
  std::remove(big.c_str());

  // A process that is gone for certain: a child that has been waited for.
  pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  const std::string path = dir.path() + "/server.conf";
  auto tmp = [&](long pid, int n) {
    return path + ".tmp." + std::to_string(pid) + "." + std::to_string(n);
  };
  for (const std::string& f : {tmp(child, 0), tmp(getpid(), 7), tmp(getppid(), 1), path + ".tmp.x",
                               dir.path() + "/other.conf.tmp.1.1", path})
    std::ofstream(f) << "LOCATION A\n";
  cap.clear();
  EXPECT_EQ(Config::remove_stale_temporaries(path), 2);
  EXPECT_EQ(cap.count("Config", "removed " + tmp(child, 0) + ", left by a write"), 1);
  std::vector<std::string> left = dir.files();
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"other.conf.tmp.1.1", "server.conf",
                                            "server.conf.tmp." + std::to_string(getppid()) + ".1",
                                            "server.conf.tmp.x"}))
      << "a live process's file and other names stay";
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
