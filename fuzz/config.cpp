// fuzz_config: the configuration file reader, and the framework's properties
// reading their values from it, fed arbitrary text.
//
// Every location of the file gets the framework's kinds of property (an
// integer value, an integer owned elsewhere, a text, a text in a caller's
// 8-byte buffer, four integers) and the library's CAN node property with its
// children (address, baud rate, identity texts in 64-byte buffers) under
// fixed names. What they read is written
// back as a server writes its file at stop, and that file must read back
// without a complaint to the same locations and the same values, and write
// out again to the same text: a server that stops and starts keeps its
// settings. The text in the caller's buffer never outgrows the buffer. This
// holds also for location names that end in a carriage return, and for
// texts that a client wrote (a first line "#set TEXT" gives every
// location's S property that text).
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "D_zuntal.h"
#include "d_value.h"
#include "fuzz_common.h"

namespace {

constexpr size_t kMaxLocations = 16;
constexpr int kBufferSize = 8;

struct Values {
  int i = 0, p = 0;
  std::string s, b;
  IIII q, n;
  int baud = 0;
  std::string manu, condition;
  bool operator==(const Values& o) const {
    return i == o.i && p == o.p && s == o.s && b == o.b && same(q, o.q) && same(n, o.n) &&
           baud == o.baud && manu == o.manu && condition == o.condition;
  }
  static bool same(const IIII& a, const IIII& b) {
    return a.i1_data == b.i1_data && a.i2_data == b.i2_data && a.i3_data == b.i3_data &&
           a.i4_data == b.i4_data;
  }
};

// One location with one property of each kind, restored from `config`.
class Location {
 public:
  Location(const std::string& name, Config* config)
      : ef_(name),
        buffer_(new char[kBufferSize]),
        i_("I integer value", &ef_),
        p_("P integer owned elsewhere", &owned_, &ef_),
        s_("S text", &ef_),
        b_("B text in a buffer", buffer_.get(), kBufferSize, &ef_),
        q_("Q four integers", &ef_),
        n_("N can node", &ef_) {
    std::memset(buffer_.get(), 0, kBufferSize);
    ef_.set_config(config);
    ef_.restore_config();
  }
  Values values() {
    Values v;
    v.i = i_.value();
    v.p = p_.get_value();
    v.s = s_.value();
    v.b = b_.value();
    v.q = *q_.value();
    v.n = *n_.value();
    v.baud = int_of("N.BAUDRATE");
    v.manu = text_of("N.MANU");
    v.condition = text_of("N.CONDITION");
    // The node property keeps its line in 0 to 20 and its identifiers in
    // 0 to 2000 or below.
    FUZZ_CHECK(v.n.i1_data <= 20 && v.n.i2_data <= 2000 && v.n.i3_data <= 2000 &&
               v.n.i4_data <= 2000);
    FUZZ_CHECK(v.manu.size() < 64);
    return v;
  }
  void write(std::ostream& os) { ef_.write_config(os); }
  void set_text(const std::string& t) { s_.set_value(t); }
  const char* buffer() const { return buffer_.get(); }

 private:
  int int_of(const std::string& prop) {
    EqData out;
    FUZZ_CHECK(ef_.get(prop, nullptr, &out) == 0);
    return out.get_int();
  }
  std::string text_of(const std::string& prop) {
    EqData out;
    FUZZ_CHECK(ef_.get(prop, nullptr, &out) == 0);
    return out.get_string();
  }
  EqFct ef_;
  int owned_ = 0;
  std::unique_ptr<char[]> buffer_;
  D_int i_;
  D_int_ptr p_;
  D_string s_;
  D_string b_;
  D_iiii q_;
  D_can n_;
};

std::vector<std::unique_ptr<Location>> restore(Config* c) {
  std::vector<std::unique_ptr<Location>> out;
  for (const std::string& name : c->locations()) {
    if (out.size() == kMaxLocations) break;
    out.push_back(std::make_unique<Location>(name, c));
  }
  return out;
}

std::string write(const std::vector<std::unique_ptr<Location>>& locs) {
  std::ostringstream os;
  for (const auto& l : locs) l->write(os);
  return os.str();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_messages();
  // The first node property makes the class-wide .DEBUG_ID property in its
  // location: here, so that no location of a run gets it.
  static EqFct first("FIRST");
  static D_can node("N0", &first);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Config first;
  first.load_text(text);
  FUZZ_CHECK(first.errors() >= 0);
  auto locs = restore(&first);
  if (text.compare(0, 5, "#set ") == 0)
    for (const auto& l : locs) l->set_text(text.substr(5, text.find('\n') - 5));
  for (const auto& l : locs) {
    // The caller's buffer holds at most 7 characters and their zero byte.
    FUZZ_CHECK(std::memchr(l->buffer(), '\0', kBufferSize) != nullptr);
    FUZZ_CHECK(l->values().b.size() < static_cast<size_t>(kBufferSize));
  }
  const std::string file = write(locs);

  Config second;
  second.load_text(file);
  FUZZ_CHECK(second.errors() == 0);
  std::vector<std::string> names = first.locations();
  if (names.size() > kMaxLocations) names.resize(kMaxLocations);
  FUZZ_CHECK(second.locations() == names);
  auto again = restore(&second);
  FUZZ_CHECK(again.size() == locs.size());
  for (size_t k = 0; k < locs.size(); ++k) FUZZ_CHECK(again[k]->values() == locs[k]->values());
  FUZZ_CHECK(write(again) == file);
  return 0;
}
