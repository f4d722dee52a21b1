// fuzz_sdo: the node property's SDO client (D_can::segSdoRead and the
// identity reads) against a node whose answers come from the fuzzer.
//
// The node is a device on the driver's device hook. It answers each SDO
// request with the frames of the next step of a script taken from the input
// (any identifier, length and bytes), or, in the honest mode, serves an
// object of the input's bytes as a CANopen server would. Time is a stepping
// framework clock, so an answer that never comes ends the wait after a few
// polls and a run is a single thread.
//
// What must hold:
//   - no write past the caller's buffer (AddressSanitizer, the buffer is
//     allocated to its capacity), and after a completed upload none beyond
//     the reported length either: past the one zero byte after the data the
//     buffer is as it was;
//   - a failed upload reports length 0; a successful one at most the capacity;
//   - an honest node's object arrives: whole when it fits; a longer one cut
//     to the capacity, or the upload fails;
//   - an identity child shows "error" or printable text of at most 63
//     characters; from an honest node, the object's text up to its first
//     unprintable byte;
//   - a transfer ends, also against a node that sends segments without end
//     (it asks for no more than the capacity needs).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "D_zuntal.h"
#include "fuzz_common.h"
#include "ntcan_ctl.h"

namespace {

constexpr int kNet = 0;  // line 1
constexpr int kNode = 5;
// The node falls silent after this many requests of one run, which ends any
// transfer; an SDO client with a bound on its transfers never gets here.
constexpr int kRequestCap = 600;

struct Step {
  std::vector<CMSG> frames;
};

struct Script {
  bool honest = false;
  std::vector<uint8_t> object;  // honest: the object served
  size_t pos = 0;
  std::vector<Step> steps;  // otherwise: one step per request
  size_t next = 0;
  // After the steps: answer every upload request with "segmented" and
  // every segment request with a segment that is not the last one.
  bool endless = false;
  uint8_t endless_bytes = 0;
  int requests = 0;
};

Script* script = nullptr;
fuzz::SteppingClock* clock_ = nullptr;
EqFct* location = nullptr;
D_can* node = nullptr;

CMSG answer_frame(const uint8_t* bytes, uint8_t c) {
  CMSG a;
  std::memset(&a, 0, sizeof a);
  a.id = 0x580 + kNode;
  a.len = 8;
  a.data[0] = c;
  if (bytes) std::memcpy(a.data + 1, bytes + 1, 7);
  return a;
}

// A CANopen server's answer to `req` for the object in the script.
bool honest_answer(const CMSG& req, CMSG* a) {
  Script& s = *script;
  const uint8_t c = req.data[0];
  std::memset(a, 0, sizeof *a);
  a->id = 0x580 + kNode;
  a->len = 8;
  if (c == 0x40) {
    std::memcpy(a->data + 1, req.data + 1, 3);
    s.pos = 0;
    const size_t n = s.object.size();
    if (n >= 1 && n <= 4) {
      a->data[0] = static_cast<uint8_t>(0x43 | (4 - n) << 2);
      if (n > 0) std::memcpy(a->data + 4, s.object.data(), n);
    } else {
      a->data[0] = 0x41;
      for (int k = 0; k < 4; ++k) a->data[4 + k] = static_cast<uint8_t>(n >> (8 * k));
    }
    return true;
  }
  if ((c & 0xEF) == 0x60) {
    const size_t n = std::min<size_t>(7, s.object.size() - s.pos);
    if (n > 0) std::memcpy(a->data + 1, s.object.data() + s.pos, n);
    s.pos += n;
    const bool last = s.pos >= s.object.size();
    a->data[0] = static_cast<uint8_t>((c & 0x10) | (7 - n) << 1 | (last ? 1 : 0));
    return true;
  }
  return false;
}

int device = 0;

void on_frame(const CMSG& f) {
  if (script == nullptr || f.id != 0x600 + kNode) return;
  Script& s = *script;
  if (++s.requests > kRequestCap) return;
  std::vector<CMSG> out;
  CMSG a;
  if (s.honest) {
    if (honest_answer(f, &a)) out.push_back(a);
  } else if (s.next < s.steps.size()) {
    out = s.steps[s.next++].frames;
  } else if (s.endless) {
    const uint8_t c = f.data[0];
    if (c == 0x40) {
      a = answer_frame(nullptr, 0x40);
      std::memcpy(a.data + 1, f.data + 1, 3);
      out.push_back(a);
    } else if ((c & 0xEF) == 0x60) {
      const uint8_t n = s.endless_bytes % 8;
      a = answer_frame(nullptr, static_cast<uint8_t>((c & 0x10) | (7 - n) << 1));
      std::memset(a.data + 1, 'x', n);
      out.push_back(a);
    }
  }
  if (!out.empty()) ntcan_ctl::inject(kNet, out.data(), static_cast<int>(out.size()), device);
}

CMSG fuzzed_frame(FuzzedDataProvider& in) {
  CMSG f;
  std::memset(&f, 0, sizeof f);
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0:
      f.id = in.ConsumeIntegralInRange<int>(0, 0x7FF);
      break;
    case 1:
      f.id = 0x580 + in.ConsumeIntegralInRange<int>(1, 127);
      break;
    default:
      f.id = 0x580 + kNode;
  }
  const int len = in.ConsumeIntegralInRange<int>(0, 9);
  f.len = static_cast<uint8_t>(len == 9 ? (NTCAN_RTR | in.ConsumeIntegralInRange<int>(0, 8))
                                        : (len == 0 ? 8 : len));
  in.ConsumeData(f.data, 8);
  return f;
}

// Frames from an earlier run and the record of sent frames go.
void drain() {
  CMSG junk[100];
  for (int k = 0; k < 1000; ++k) {
    int32_t n = 100;
    if (canTake(node->handle(), junk, &n) != NTCAN_SUCCESS || n <= 0) break;
  }
  ntcan_ctl::clear_sent_frames(kNet);
}

bool printable(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) return false;
  return true;
}

std::string shown(const std::string& prop) {
  EqData out;
  FUZZ_CHECK(location->get(prop, nullptr, &out) == 0);
  return out.get_string();
}

void read_object(FuzzedDataProvider& in) {
  const int form = in.ConsumeIntegralInRange<int>(0, 1);
  const int capacity = form == 0 ? in.ConsumeIntegralInRange<int>(0, 80) : 63;
  const int index = in.ConsumeBool() ? 0x1008 : in.ConsumeIntegral<uint16_t>();
  const int sub = in.ConsumeIntegral<uint8_t>();
  // Exactly the capacity (the four-argument form: its 64-byte buffer), and
  // a canary that shows writes past the reported length.
  const size_t alloc = form == 0 ? static_cast<size_t>(capacity) : 64;
  std::unique_ptr<char[]> buf(alloc ? new char[alloc] : nullptr);
  if (alloc) std::memset(buf.get(), 0xA5, alloc);
  int length = -7;
  int r;
  if (form == 0) {
    r = node->segSdoRead(kNode, index, sub, buf.get(), capacity, &length);
    // A failed upload stores nothing, except one that did not fit: that one
    // reports the bytes it stored, at most the capacity.
    if (r != 0 && r != SDO_OBJECT_TOO_LONG) FUZZ_CHECK(length == 0);
    FUZZ_CHECK(length >= 0 && length <= capacity);
    // A completed upload: the data, then at most a zero byte; the rest
    // untouched. (A failed one may leave part of the object in the buffer.)
    if (r == 0)
      for (size_t k = static_cast<size_t>(length) + 1; k < alloc; ++k)
        FUZZ_CHECK(static_cast<uint8_t>(buf[k]) == 0xA5);
    if (script->honest) {
      // An object that fits arrives whole; a longer one is cut to the
      // capacity, or the upload says it did not fit.
      const bool fits = script->object.size() <= static_cast<size_t>(capacity);
      if (fits) FUZZ_CHECK(r == 0);
      if (r == SDO_OBJECT_TOO_LONG) FUZZ_CHECK(!fits);
      if (r == 0) {
        const size_t want = fits ? script->object.size() : static_cast<size_t>(capacity);
        FUZZ_CHECK(static_cast<size_t>(length) == want);
        if (want) FUZZ_CHECK(std::memcmp(buf.get(), script->object.data(), want) == 0);
      }
    }
  } else {
    r = node->segSdoRead(kNode, index, sub, buf.get());
    // At most 63 data bytes: the last byte of the buffer is never written.
    FUZZ_CHECK(static_cast<uint8_t>(buf[63]) == 0xA5);
    if (script->honest) {
      if (script->object.size() <= 63) FUZZ_CHECK(r == 0);
      const size_t want = std::min<size_t>(script->object.size(), 63);
      if (r == 0 && want) FUZZ_CHECK(std::memcmp(buf.get(), script->object.data(), want) == 0);
    }
  }
}

void read_identity(FuzzedDataProvider& in) {
  static const char* const kChild[] = {"NODE.MANU", "NODE.HWVER", "NODE.SWVER"};
  const int which = in.ConsumeIntegralInRange<int>(0, 2);
  const int r = which == 0   ? node->get_manufacture()
                : which == 1 ? node->get_hwversion()
                             : node->get_swversion();
  const std::string text = shown(kChild[which]);
  if (r != 0) {
    FUZZ_CHECK(text == "error");
    FUZZ_CHECK(!script->honest || script->object.size() > 63);
    return;
  }
  FUZZ_CHECK(text.size() <= 63);
  FUZZ_CHECK(printable(text));
  if (script->honest) {
    std::string want;
    for (size_t k = 0; k < script->object.size() && k < 63; ++k) {
      const uint8_t c = script->object[k];
      if (c < 0x20 || c > 0x7E) break;
      want += static_cast<char>(c);
    }
    FUZZ_CHECK(text == want);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quiet_messages();
  clock_ = new fuzz::SteppingClock(100000);
  tavro::set_clock(clock_);
  ntcan_ctl::reset();
  device = ntcan_ctl::attach_device(kNet, [](const CMSG& f) { on_frame(f); });
  location = new EqFct("FUZZ");
  node = new D_can("NODE", location);
  IIII a;
  a.i1_data = kNet + 1;
  a.i2_data = kNode;
  node->set_value(&a);
  if (node->init(0x580 + kNode) != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Script s;
  const int mode = in.ConsumeIntegralInRange<int>(0, 3);
  const bool identity = in.ConsumeIntegralInRange<int>(0, 3) == 0;
  if (mode == 0) {
    s.honest = true;
    s.object = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 300));
  } else {
    const int steps = in.ConsumeIntegralInRange<int>(0, 40);
    for (int k = 0; k < steps && in.remaining_bytes() > 0; ++k) {
      Step st;
      const int frames = in.ConsumeIntegralInRange<int>(0, 3);
      for (int j = 0; j < frames; ++j) st.frames.push_back(fuzzed_frame(in));
      s.steps.push_back(st);
    }
    s.endless = mode == 3;
    s.endless_bytes = in.ConsumeIntegral<uint8_t>();
  }
  drain();
  script = &s;
  if (identity)
    read_identity(in);
  else
    read_object(in);
  script = nullptr;
  FUZZ_CHECK(s.requests <= kRequestCap);
  return 0;
}
