// runtime.cpp - the framework's process-wide services: the message sink,
// the clock behind TAVROsleep/TAVROtime, the debug word, the archive mode
// and the global time stamp.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <thread>

#include "internal.h"
#include "tavro.h"

std::atomic<int> TAVRO_debug{0};

namespace tavro {

// ---- Time stamps -------------------------------------------------------------

Timestamp Timestamp::now() {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::system_clock::now().time_since_epoch());
  return Timestamp(static_cast<int64_t>(ns.count()));
}

SecondsAndMicroseconds Timestamp::get_seconds_and_microseconds_since_epoch() const {
  SecondsAndMicroseconds r;
  r.seconds = t_ / 1000000000;
  r.microseconds = static_cast<int32_t>((t_ / 1000) % 1000000);
  return r;
}

// ---- Messages ------------------------------------------------------------------

namespace {

struct SinkState {
  // Recursive: a sink may itself print. The lock is held while a sink runs,
  // so set_message_sink waits until no call of the old sink is in flight.
  std::recursive_mutex mx;
  MessageSink sink;
};

SinkState& sink_state() {
  static SinkState* s = new SinkState;  // outlives every static destructor
  return *s;
}

// One line "label text" on standard error in one write, so that lines of
// different threads never interleave. Line breaks inside the text would
// split the message; they become blanks.
void print_default(const std::string& label, const std::string& text) {
  std::string line;
  line.reserve(label.size() + text.size() + 2);
  line += label;
  line += ' ';
  line += text;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  line += '\n';
  const char* p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

void printtostderr(const std::string& label, const std::string& text, unsigned flags) {
  (void)flags;  // always 0x80000000 in this system; carries no meaning here
  SinkState& s = sink_state();
  std::lock_guard<std::recursive_mutex> lk(s.mx);
  if (s.sink) {
    MessageSink sink = s.sink;  // the sink may replace itself while it runs
    sink(label, text);
  } else {
    print_default(label, text);
  }
}

void set_message_sink(MessageSink sink) {
  SinkState& s = sink_state();
  std::lock_guard<std::recursive_mutex> lk(s.mx);
  s.sink = std::move(sink);
}

// ---- Clock ---------------------------------------------------------------------

namespace {

// Real time: the system clock for the time of day, steady time for pauses.
class RealClock : public Clock {
 public:
  int64_t now_us() override {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  void sleep_us(int64_t us) override {
    if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
  }
};

struct ClockState {
  std::mutex mx;
  std::condition_variable cv;
  Clock* current = nullptr;  // null: the real clock
  RealClock real;
  std::map<Clock*, int> users;  // threads inside TAVROsleep/TAVROtime per clock
};

ClockState& clock_state() {
  static ClockState* s = new ClockState;  // detached threads may sleep past exit
  return *s;
}

// Pins the current clock for one call, so that a clock being retired is not
// destroyed under a thread that is still using it.
class ClockUse {
 public:
  ClockUse() {
    ClockState& s = clock_state();
    std::lock_guard<std::mutex> lk(s.mx);
    c_ = s.current ? s.current : &s.real;
    ++s.users[c_];
  }
  ~ClockUse() {
    ClockState& s = clock_state();
    std::lock_guard<std::mutex> lk(s.mx);
    auto it = s.users.find(c_);
    if (--it->second == 0) {
      s.users.erase(it);
      s.cv.notify_all();
    }
  }
  Clock* operator->() const { return c_; }

 private:
  Clock* c_;
};

}  // namespace

void set_clock(Clock* c) {
  ClockState& s = clock_state();
  std::lock_guard<std::mutex> lk(s.mx);
  s.current = c;
}

Clock& clock() {
  ClockState& s = clock_state();
  std::lock_guard<std::mutex> lk(s.mx);
  return s.current ? *s.current : s.real;
}

namespace internal {
void retire_clock(Clock* c) {
  ClockState& s = clock_state();
  std::unique_lock<std::mutex> lk(s.mx);
  if (s.current == c) s.current = nullptr;
  s.cv.wait(lk, [&] { return s.users.find(c) == s.users.end(); });
}
}  // namespace internal

// ---- Archive mode and global time stamp -----------------------------------------

namespace {
std::atomic<int> g_arch_mode{1};
std::atomic<int64_t> g_global_ts{0};
}  // namespace

int get_arch_mode() {
  return g_arch_mode.load();
}
void set_arch_mode(int mode) {
  g_arch_mode.store(mode);
}
Timestamp get_global_timestamp() {
  return Timestamp(g_global_ts.load());
}
void set_global_timestamp(Timestamp ts) {
  g_global_ts.store(ts.t_);
}

namespace detail {
void restore_conf(EqFct* ef, D_fct* p) {
  if (!p || !ef || !ef->config()) return;
  p->read();
}

void refuse_conf(D_conf_struct* r, const std::string& name, const std::string& what,
                 const std::string& kept) {
  r->rejected = true;
  printtostderr("Config", "line " + std::to_string(r->line) + ": " + name + what +
                              "; it keeps its value " + kept);
}

bool read_conf_int(D_conf_struct* r, const std::string& name, int* value) {
  int v = 0;
  const bool number = !r->tokens.empty() && parse_conf_int(r->tokens[0], &v);
  if (number && r->tokens.size() == 1) {
    *value = v;
    return true;
  }
  refuse_conf(
      r, name,
      r->tokens.empty() ? " has no value"
      : number          ? " takes one integer, not \"" + r->text + "\""
               : " takes an integer from -2147483648 to 2147483647, not \"" + r->tokens[0] + "\"",
      std::to_string(*value));
  return false;
}

bool read_conf_iiii(D_conf_struct* r, const std::string& name, IIII* value) {
  int v[4];
  bool ok = r->tokens.size() == 4;
  for (size_t k = 0; ok && k < 4; ++k) ok = parse_conf_int(r->tokens[k], &v[k]);
  if (!ok) {
    refuse_conf(r, name, " takes four integers, not \"" + r->text + "\"",
                std::to_string(value->i1_data) + " " + std::to_string(value->i2_data) + " " +
                    std::to_string(value->i3_data) + " " + std::to_string(value->i4_data));
    return false;
  }
  value->i1_data = v[0];
  value->i2_data = v[1];
  value->i3_data = v[2];
  value->i4_data = v[3];
  return true;
}
}  // namespace detail

}  // namespace tavro

// ---- Sleep and time -----------------------------------------------------------------

void TAVROsleep(int seconds, int fraction) {
  int64_t us = static_cast<int64_t>(seconds) * 1000000 + fraction;
  if (us < 0) us = 0;
  tavro::ClockUse c;
  c->sleep_us(us);
}

time_t TAVROtime() {
  tavro::ClockUse c;
  return static_cast<time_t>(c->now_us() / 1000000);
}
