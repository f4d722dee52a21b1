// gateway.cpp - the gateway's public face: starting and stopping it, the
// controls of the web interface, and the parsing of its options. The
// service, the sessions, the nets and the status live in their own files
// (service.h lists them).
#include "gateway.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "service.h"
#include "web.h"

namespace zgw {

Gateway::Gateway(Options options) : core_(new Core(*this, std::move(options))) {}

Gateway::~Gateway() {
  stop();
}

int Gateway::start(std::string* error) {
  Core& m = *core_;
  if (m.started) {
    if (error) *error = "already started";
    return -1;
  }
  if (m.setup_nets(error) != 0) return -1;
  m.listeners[0]->port = m.opt.can_port;
  if (m.open_listeners(error) != 0) {
    m.drop_nets();
    return -1;
  }
  if (m.opt.http_port >= 0) {
    m.web = std::make_unique<Web>(*this);
    if (m.web->start(m.opt.listen, m.opt.http_port, error) != 0) {
      m.web.reset();
      m.close_listeners();
      m.drop_nets();
      return -1;
    }
  }
  m.start_devices();
  m.wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  {
    std::lock_guard<std::mutex> lk(m.mx);
    m.hung = m.opt.hung;
    m.up = true;
    m.started = true;
  }
  m.service = std::thread([&m] { m.service_loop(); });
  return 0;
}

void Gateway::stop() {
  Core& m = *core_;
  {
    std::lock_guard<std::mutex> lk(m.mx);
    if (!m.started) return;
    m.started = false;
    m.stopping = true;
    m.up = false;
  }
  m.cv.notify_all();
  if (m.web) m.web->stop();
  m.wake();
  if (m.service.joinable()) m.service.join();
  ::close(m.wake_fd);
  m.wake_fd = -1;
  m.web.reset();
  m.drop_nets();
}

int Gateway::can_port() const {
  return core_->listeners[0]->port;
}

int Gateway::socketcand_port() const {
  return core_->listeners.size() > 1 ? core_->listeners[1]->port.load() : -1;
}

int Gateway::http_port() const {
  return core_->web ? core_->web->port() : -1;
}

void Gateway::set_hung(bool h) {
  {
    std::lock_guard<std::mutex> lk(core_->mx);
    // Time spent hung counts towards no session's idle time-out.
    if (core_->hung && !h) core_->unhung_at = core_->now();
    core_->hung = h;
  }
  core_->cv.notify_all();
  if (core_->wake_fd >= 0) core_->wake();
}

bool Gateway::hung() const {
  std::lock_guard<std::mutex> lk(core_->mx);
  return core_->hung;
}

void Gateway::restart() {
  {
    std::lock_guard<std::mutex> lk(core_->mx);
    if (!core_->started) return;
    core_->restart_wanted = true;
    core_->up = false;
  }
  core_->wake();
}

bool Gateway::service_up() const {
  std::lock_guard<std::mutex> lk(core_->mx);
  return core_->up;
}

uint64_t Gateway::restarts() const {
  std::lock_guard<std::mutex> lk(core_->mx);
  return core_->restarts;
}

void Gateway::note_unauthorized() {
  core_->unauthorized.fetch_add(1);
}

void Gateway::note_accept_failure() {
  core_->accept_failures.fetch_add(1);
}

const Options& Gateway::options() const {
  return core_->opt;
}

Status Gateway::status() const {
  return core_->status();
}

void Gateway::time_moved() {
  if (core_->wake_fd >= 0) core_->wake();
}

namespace {

// Decimal or 0x hexadecimal, as the other tools read numbers: a leading zero
// does not make a number octal, and no blank comes before it.
bool parse_number(const std::string& s, long lo, long hi, int* out) {
  if (s.empty() || std::isspace(static_cast<unsigned char>(s[0]))) return false;
  errno = 0;
  char* end = nullptr;
  const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  long v = std::strtol(s.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == nullptr || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

}  // namespace

bool parse_device(const std::string& entry, DeviceEntry* out, std::string* error) {
  const size_t a = entry.find(':');
  const size_t b = a == std::string::npos ? a : entry.find(':', a + 1);
  if (b == std::string::npos || b + 1 >= entry.size()) {
    if (error) *error = "expected NET:NODE:EDS, got '" + entry + "'";
    return false;
  }
  DeviceEntry d;
  if (!parse_number(entry.substr(0, a), 0, 255, &d.net)) {
    if (error) *error = "bad net in '" + entry + "'";
    return false;
  }
  if (!parse_number(entry.substr(a + 1, b - a - 1), 0, 127, &d.node)) {
    if (error) *error = "bad node id (0 to 127) in '" + entry + "'";
    return false;
  }
  d.eds = entry.substr(b + 1);
  *out = d;
  return true;
}

bool parse_bridge(const std::string& entry, BridgeEntry* out, std::string* error) {
  const size_t a = entry.find(':');
  BridgeEntry b;
  if (a == std::string::npos || !parse_number(entry.substr(0, a), 0, 255, &b.net) ||
      a + 1 >= entry.size()) {
    if (error) *error = "expected NET:IFACE (e.g. 0:can0), got '" + entry + "'";
    return false;
  }
  b.ifname = entry.substr(a + 1);
  *out = b;
  return true;
}

bool parse_net_list(const std::string& list, std::vector<int>* out, std::string* error) {
  std::vector<int> nets;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    int n = 0;
    if (!parse_number(list.substr(start, comma - start), 0, 255, &n)) {
      if (error) *error = "bad net list '" + list + "' (expected e.g. 0,2,5)";
      return false;
    }
    nets.push_back(n);
    start = comma + 1;
  }
  *out = nets;
  return true;
}

}  // namespace zgw
