// web.cpp - the gateway's web interface and its status page.
//
// One thread serves every HTTP connection from a poll loop, so idle and slow
// clients cost a descriptor and a small buffer each and never hold up a
// request that has arrived whole. Every response closes its connection.
// Bounds (docs/gateway.md): kMaxConnections at once (a new one beyond that
// closes the oldest), a request head of kMaxHead bytes and a body of kMaxBody
// bytes, the whole request within kRequestTimeoutMs of the connection. The
// reset form's login is checked from the head alone, before any of the body
// is read.
#include "web.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "gateway.h"
#include "listen_socket.h"
#include "status_json.h"

namespace zgw {
namespace {

constexpr const char* kRealm = "Basic realm=\"ZUNTAL gateway\"";

bool base64_decode(const std::string& in, std::string* out) {
  auto val = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (in.size() % 4 != 0) return false;
  std::string r;
  for (size_t i = 0; i < in.size(); i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      char c = in[i + k];
      if (c == '=' && i + 4 == in.size() && k >= 2) {
        v[k] = 0;
        ++pad;
      } else if (pad > 0 || (v[k] = val(c)) < 0) {
        return false;
      }
    }
    const unsigned n =
        (unsigned(v[0]) << 18) | (unsigned(v[1]) << 12) | (unsigned(v[2]) << 6) | unsigned(v[3]);
    r += static_cast<char>((n >> 16) & 0xFF);
    if (pad < 2) r += static_cast<char>((n >> 8) & 0xFF);
    if (pad < 1) r += static_cast<char>(n & 0xFF);
  }
  *out = r;
  return true;
}

int hexval(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string url_decode(const std::string& s) {
  std::string r;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      r += ' ';
    } else if (s[i] == '%' && i + 2 < s.size() && hexval(s[i + 1]) >= 0 && hexval(s[i + 2]) >= 0) {
      r += static_cast<char>(hexval(s[i + 1]) * 16 + hexval(s[i + 2]));
      i += 2;
    } else {
      r += s[i];
    }
  }
  return r;
}

// The value of a field of an application/x-www-form-urlencoded body (or
// query), or false when it is absent.
bool form_field(const std::string& body, const std::string& name, std::string* value) {
  std::istringstream in(body);
  for (std::string pair; std::getline(in, pair, '&');) {
    const size_t eq = pair.find('=');
    if (url_decode(pair.substr(0, eq)) != name) continue;
    *value = eq == std::string::npos ? "" : url_decode(pair.substr(eq + 1));
    return true;
  }
  return false;
}

bool from_loopback(const std::string& a) {
  return a.rfind("127.", 0) == 0 || a == "::1" || a.rfind("::ffff:127.", 0) == 0;
}

std::string html_escape(const std::string& text) {
  // The page is UTF-8, as the JSON: a Latin-1 text of an EDS file is converted.
  const std::string s = to_utf8(text);
  std::string r;
  for (char c : s) {
    switch (c) {
      case '&':
        r += "&amp;";
        break;
      case '<':
        r += "&lt;";
        break;
      case '>':
        r += "&gt;";
        break;
      case '"':
        r += "&quot;";
        break;
      default:
        r += c;
    }
  }
  return r;
}

std::string service_state(const Status& st) {
  if (st.hung) return "hung";
  return st.service_up ? "running" : "restarting";
}

}  // namespace

bool basic_auth_ok(const std::string& header, const std::string& user,
                   const std::string& password) {
  const std::string scheme = "Basic ";
  if (header.size() <= scheme.size() || header.compare(0, scheme.size(), scheme) != 0) return false;
  std::string token = header.substr(scheme.size());
  while (!token.empty() && token.back() == ' ') token.pop_back();
  std::string decoded;
  if (!base64_decode(token, &decoded)) return false;
  return decoded == user + ":" + password;
}

std::string status_html(const Status& st, bool admin) {
  std::ostringstream o;
  o << "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
       "<meta http-equiv=\"refresh\" content=\"2\">"
       "<title>ZUNTAL CAN gateway</title><style>"
       "body{font-family:sans-serif;margin:1.5em;color:#222}"
       "table{border-collapse:collapse;margin:.4em 0 1em}"
       "th,td{border:1px solid #bbb;padding:.25em .6em;text-align:left}"
       "th{background:#eee}td.n{text-align:right;font-family:monospace}"
       ".running{color:#070}.hung{color:#b00}.restarting{color:#a60}"
       "form{display:inline;margin-right:.5em}"
       "</style></head><body>\n<h1>ZUNTAL CAN gateway</h1>\n";
  o << "<p>CAN service on <code>" << html_escape(st.listen) << ":" << st.can_port << "</code>";
  if (st.socketcand_port >= 0)
    o << ", socketcand service on <code>" << html_escape(st.listen) << ":" << st.socketcand_port
      << "</code>";
  o << ": <b class=\"" << service_state(st) << "\">" << service_state(st) << "</b>. "
    << "Restarts: " << st.restarts << ". Connections accepted: " << st.connections
    << ". Refused logins: " << st.unauthorized << ".</p>\n";
  o << "<p>Client limit: " << st.max_clients
    << ". Refused for the limit or lack of threads: " << st.refused
    << ". Dropped idle: " << st.idle_dropped
    << ". Accepts failed for lack of descriptors: " << st.accept_failures << ".</p>\n";
  o << "<p><form method=\"post\" action=\"/Forms/Firmware\">"
       "<input type=\"hidden\" name=\"FWUpdReset\" value=\"1\">"
       "<button>Reset CAN service</button></form>";
  if (admin) {
    o << "<form method=\"post\" action=\"/admin/hang\"><button>Hang</button></form>"
         "<form method=\"post\" action=\"/admin/unhang\"><button>Unhang</button></form>";
  }
  o << "</p>\n";
  for (const NetInfo& n : st.nets) {
    o << "<h2>Net " << n.net << "</h2>\n<p>Medium: ";
    if (n.iface.empty())
      o << html_escape(n.medium) << ".";
    else
      o << html_escape(n.medium) << " <code>" << html_escape(n.iface) << "</code>, "
        << html_escape(n.iface_state) << "; frames from the interface: " << n.iface_in
        << ", to it: " << n.iface_out << ", dropped: " << n.iface_dropped << ".";
    o << "</p>\n<p>Frames on the net: " << n.frames_on_bus
      << ", from clients: " << n.frames_from_clients << ", to clients: " << n.frames_to_clients
      << ".</p>\n";
    o << "<table><tr><th>Client</th><th>Peer</th><th>Protocol</th><th>Frames in</th><th>Frames "
         "out</th>"
         "<th>Identifiers</th><th>Connected (s)</th><th>Frames lost</th></tr>\n";
    if (n.clients.empty()) o << "<tr><td colspan=\"8\">no clients</td></tr>\n";
    for (const ClientInfo& c : n.clients) {
      char secs[32];
      std::snprintf(secs, sizeof secs, "%.1f", c.seconds);
      o << "<tr><td class=\"n\">" << c.id << "</td><td>" << html_escape(c.peer) << "</td><td>"
        << html_escape(c.protocol) << "</td><td class=\"n\">" << c.frames_in
        << "</td><td class=\"n\">" << c.frames_out << "</td><td class=\"n\">" << c.ids
        << "</td><td class=\"n\">" << secs << "</td><td class=\"n\">" << c.frames_lost
        << "</td></tr>\n";
    }
    o << "</table>\n<table><tr><th>Node</th><th>Device</th><th>State</th><th>Frames "
         "sent</th></tr>\n";
    if (n.devices.empty()) o << "<tr><td colspan=\"4\">no devices</td></tr>\n";
    for (const DeviceInfo& d : n.devices) {
      o << "<tr><td class=\"n\">" << d.node << "</td><td>" << html_escape(d.name) << "</td><td>"
        << html_escape(d.state) << "</td><td class=\"n\">" << d.frames_sent << "</td></tr>\n";
    }
    o << "</table>\n";
  }
  o << "</body></html>\n";
  return o.str();
}

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr size_t kMaxConnections = 64;
constexpr size_t kMaxHead = 8192;
constexpr size_t kMaxBody = 4096;
constexpr int kRequestTimeoutMs = 10000;
constexpr int kResponseTimeoutMs = 10000;
// After its response a connection is read and thrown away for this long or
// this many bytes, so that closing it with unread input (which resets the
// connection) cannot destroy the response before the client has read it.
constexpr int kLingerMs = 1000;
constexpr size_t kLingerBytes = 1u << 20;

struct Request {
  std::string method;
  std::string path;                                          // without the query
  std::vector<std::pair<std::string, std::string>> headers;  // names in lower case

  const std::string* header(const char* name) const {
    for (const auto& h : headers)
      if (h.first == name) return &h.second;
    return nullptr;
  }
};

enum class Phase { Head, Body, Write, Linger };

struct Conn {
  int fd = -1;
  std::string addr;  // peer address without the port
  SteadyClock::time_point deadline;
  Phase phase = Phase::Head;
  std::string in;
  size_t body_at = 0;
  size_t body_len = 0;
  Request req;
  std::string out;
  size_t sent = 0;
  size_t drained = 0;
};

std::string trim(const std::string& s) {
  size_t a = 0;
  size_t b = s.size();
  while (a < b && (s[a] == ' ' || s[a] == '\t')) ++a;
  while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) --b;
  return s.substr(a, b - a);
}

// Parses the request line and headers in head (CRLF or LF line ends).
bool parse_head(const std::string& head, Request* req) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < head.size()) {
    size_t nl = head.find('\n', pos);
    if (nl == std::string::npos) nl = head.size();
    std::string line = head.substr(pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    pos = nl + 1;
  }
  if (lines.empty()) return false;
  std::istringstream rl(lines[0]);
  std::string target, version, extra;
  if (!(rl >> req->method >> target >> version) || (rl >> extra)) return false;
  if (version.rfind("HTTP/1.", 0) != 0) return false;
  // An absolute target names this host: keep the path.
  if (target.rfind("http://", 0) == 0) {
    const size_t slash = target.find('/', 7);
    target = slash == std::string::npos ? "/" : target.substr(slash);
  }
  if (target.empty() || target[0] != '/') return false;
  req->path = target.substr(0, target.find('?'));
  for (size_t i = 1; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    const size_t colon = lines[i].find(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string name = lines[i].substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    req->headers.emplace_back(name, trim(lines[i].substr(colon + 1)));
  }
  return true;
}

// The end of the head (the first byte of the body), or npos.
size_t head_end(const std::string& in) {
  const size_t crlf = in.find("\r\n\r\n");
  const size_t lf = in.find("\n\n");
  if (crlf == std::string::npos && lf == std::string::npos) return std::string::npos;
  if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf)) return crlf + 4;
  return lf + 2;
}

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 303:
      return "See Other";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 431:
      return "Request Header Fields Too Large";
  }
  return "Error";
}

struct Response {
  int status = 200;
  std::string type = "text/html";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

Response page(int status, const std::string& text) {
  Response r;
  r.status = status;
  r.body = "<html><body><h1>" + std::to_string(status) + " " + reason(status) + "</h1>" + text +
           "</body></html>\n";
  return r;
}

}  // namespace

struct Web::Impl {
  explicit Impl(Gateway& g) : gw(g) {}
  Gateway& gw;
  int listen_fd = -1;
  int wake_fd = -1;
  int port = -1;
  std::atomic<bool> stopping{false};
  std::thread th;
  std::deque<Conn> conns;  // in the order they came
  SteadyClock::time_point accept_resume;

  // What a request whose head is in asks for: a response at once, or its
  // body first (*need_body).
  Response route(const Conn& c, bool* need_body) {
    const Request& q = c.req;
    *need_body = false;
    const bool reset = q.path == "/Forms/Firmware";
    const bool hang = q.path == "/admin/hang";
    const bool unhang = q.path == "/admin/unhang";
    if (q.path == "/" || q.path == "/status.json") {
      if (q.method != "GET") {
        Response r = page(405, "");
        r.headers.emplace_back("Allow", "GET");
        return r;
      }
      Response r;
      if (q.path == "/") {
        r.body = status_html(gw.status(), gw.options().admin);
        r.type = "text/html; charset=utf-8";
      } else {
        r.body = status_json(gw.status());
        r.type = "application/json";
      }
      return r;
    }
    if (!reset && !hang && !unhang) return page(404, "");
    if (q.method != "POST") {
      Response r = page(405, "");
      r.headers.emplace_back("Allow", "POST");
      return r;
    }
    // Who may ask is settled from the head: nothing of the body is read for
    // a request that is refused anyway.
    if (reset) {
      const Options& o = gw.options();
      const std::string* auth = q.header("authorization");
      if (!auth || !basic_auth_ok(*auth, o.user, o.password)) {
        gw.note_unauthorized();
        Response r = page(401, "");
        r.headers.emplace_back("WWW-Authenticate", kRealm);
        return r;
      }
    } else if (!gw.options().admin || !from_loopback(c.addr)) {
      Response r;
      r.status = 403;
      r.type = "text/plain";
      r.body = "forbidden\n";
      return r;
    }
    const std::string* length = q.header("content-length");
    if (!length) {
      if (q.header("transfer-encoding")) return page(411, "<p>send a Content-Length</p>");
      return finish_post(c, "");
    }
    if (length->empty() || length->size() > 18 ||
        !std::all_of(length->begin(), length->end(),
                     [](char ch) { return ch >= '0' && ch <= '9'; }))
      return page(400, "<p>bad Content-Length</p>");
    const size_t len = std::stoull(*length);
    if (len > kMaxBody) return page(413, "<p>at most " + std::to_string(kMaxBody) + " bytes</p>");
    *need_body = true;
    return Response();
  }

  // A POST whose body is in.
  Response finish_post(const Conn& c, const std::string& body) {
    if (c.req.path == "/Forms/Firmware") {
      std::string v;
      if (!form_field(body, "FWUpdReset", &v) || v != "1")
        return page(400, "<p>expected FWUpdReset=1</p>");
      gw.restart();
      Response r;
      r.body = "<html><body><h1>CAN service restarting</h1></body></html>\n";
      return r;
    }
    const bool hang = c.req.path == "/admin/hang";
    gw.set_hung(hang);
    // A browser goes back to the status page; a script reads the text.
    Response r;
    r.status = 303;
    r.type = "text/plain";
    r.body = hang ? "hung\n" : "running\n";
    r.headers.emplace_back("Location", "/");
    return r;
  }

  void respond(Conn& c, const Response& r) {
    std::string o = "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) + "\r\n";
    o += "Content-Type: " + r.type + "\r\n";
    o += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    for (const auto& h : r.headers) o += h.first + ": " + h.second + "\r\n";
    o += "Connection: close\r\n\r\n";
    o += r.body;
    c.out = std::move(o);
    c.sent = 0;
    c.in.clear();
    c.in.shrink_to_fit();
    c.phase = Phase::Write;
    c.deadline = SteadyClock::now() + std::chrono::milliseconds(kResponseTimeoutMs);
  }

  // Takes what has arrived; false when the connection is to be closed.
  bool on_input(Conn& c) {
    char buf[4096];
    // Reading stops while a response is being written.
    while (c.phase != Phase::Write) {
      ssize_t k = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (k <= 0) return false;
      if (c.phase == Phase::Linger) {
        c.drained += static_cast<size_t>(k);
        if (c.drained > kLingerBytes) return false;
        continue;
      }
      c.in.append(buf, static_cast<size_t>(k));
      if (c.phase == Phase::Head) take_head(c);
      if (c.phase == Phase::Body && c.in.size() - c.body_at >= c.body_len)
        respond(c, finish_post(c, c.in.substr(c.body_at, c.body_len)));
    }
    return on_output(c);
  }

  // Looks for the end of the head in what has arrived; once it is there,
  // answers the request or waits for its body.
  void take_head(Conn& c) {
    const size_t end = head_end(c.in);
    if (end == std::string::npos ? c.in.size() > kMaxHead : end > kMaxHead) {
      respond(c, page(431, ""));
      return;
    }
    if (end == std::string::npos) return;
    if (!parse_head(c.in.substr(0, end), &c.req)) {
      respond(c, page(400, ""));
      return;
    }
    bool need_body = false;
    Response r = route(c, &need_body);
    if (!need_body) {
      respond(c, r);
      return;
    }
    c.phase = Phase::Body;
    c.body_at = end;
    c.body_len = std::stoull(*c.req.header("content-length"));
    const std::string* expect = c.req.header("expect");
    if (expect && *expect == "100-continue" && c.in.size() == end) {
      static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
      ssize_t w = ::send(c.fd, kContinue, sizeof kContinue - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
      (void)w;
    }
  }

  // Writes what the socket takes; false when the connection is to be closed.
  bool on_output(Conn& c) {
    while (c.sent < c.out.size()) {
      ssize_t k =
          ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (k < 0 && errno == EINTR) continue;
      if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
      if (k <= 0) return false;
      c.sent += static_cast<size_t>(k);
    }
    ::shutdown(c.fd, SHUT_WR);
    c.out.clear();
    c.out.shrink_to_fit();
    c.phase = Phase::Linger;
    c.deadline = SteadyClock::now() + std::chrono::milliseconds(kLingerMs);
    return true;
  }

  void accept_some() {
    if (accept_burst(listen_fd, &accept_resume, [this](int fd, const sockaddr_storage& ss) {
          // The newest connection is the one most likely to be a request on
          // its way; the oldest has had its time.
          if (conns.size() >= kMaxConnections) {
            ::close(conns.front().fd);
            conns.pop_front();
          }
          Conn c;
          c.fd = fd;
          c.addr = peer_host(ss);
          c.deadline = SteadyClock::now() + std::chrono::milliseconds(kRequestTimeoutMs);
          conns.push_back(std::move(c));
        }))
      gw.note_accept_failure();
  }

  void loop() {
    std::vector<pollfd> pfs;
    while (!stopping.load()) {
      auto now = SteadyClock::now();
      auto due = SteadyClock::time_point::max();
      for (auto it = conns.begin(); it != conns.end();) {
        if (it->deadline <= now) {
          ::close(it->fd);
          it = conns.erase(it);
        } else {
          due = std::min(due, it->deadline);
          ++it;
        }
      }
      const bool accepting = now >= accept_resume;
      if (!accepting) due = std::min(due, accept_resume);
      pfs.assign(2, pollfd{-1, POLLIN, 0});
      pfs[0].fd = wake_fd;
      if (accepting) pfs[1].fd = listen_fd;
      for (const Conn& c : conns)
        pfs.push_back(
            pollfd{c.fd, static_cast<short>(c.phase == Phase::Write ? POLLOUT : POLLIN), 0});
      int timeout = -1;
      if (due != SteadyClock::time_point::max())
        timeout = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count() + 1);
      int r = ::poll(pfs.data(), pfs.size(), timeout);
      if (r < 0 && errno != EINTR) break;
      if (r <= 0) continue;
      std::deque<Conn> kept;
      for (size_t i = 0; i < conns.size(); ++i) {
        Conn& c = conns[i];
        const short ev = pfs[2 + i].revents;
        bool keep = true;
        if (ev & (POLLIN | POLLHUP | POLLERR))
          keep = c.phase == Phase::Write ? on_output(c) : on_input(c);
        else if (ev & POLLOUT)
          keep = on_output(c);
        if (keep) {
          kept.push_back(std::move(c));
        } else {
          ::close(c.fd);
        }
      }
      conns.swap(kept);
      if (pfs[1].revents & POLLIN) accept_some();
    }
    for (Conn& c : conns) ::close(c.fd);
    conns.clear();
  }
};

Web::Web(Gateway& gw) : impl_(new Impl(gw)) {}

Web::~Web() {
  stop();
}

int Web::start(const std::string& host, int port, std::string* error) {
  Impl& m = *impl_;
  std::string why;
  m.listen_fd = listen_socket(host, port, &m.port, &why);
  if (m.listen_fd < 0) {
    if (error) *error = "web interface: cannot bind " + why;
    return -1;
  }
  m.wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  try {
    m.th = std::thread([&m] { m.loop(); });
  } catch (const std::system_error& e) {
    if (error) *error = std::string("web interface: no thread: ") + e.what();
    ::close(m.listen_fd);
    ::close(m.wake_fd);
    m.listen_fd = m.wake_fd = -1;
    return -1;
  }
  return 0;
}

void Web::stop() {
  Impl& m = *impl_;
  if (!m.th.joinable()) return;
  m.stopping = true;
  uint64_t one = 1;
  ssize_t k = ::write(m.wake_fd, &one, sizeof one);
  (void)k;
  m.th.join();
  ::close(m.listen_fd);
  ::close(m.wake_fd);
  m.listen_fd = m.wake_fd = -1;
}

int Web::port() const {
  return impl_->port;
}

}  // namespace zgw
