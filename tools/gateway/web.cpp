// web.cpp - the gateway's web interface and its status page.
#include "web.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include "gateway.h"
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

bool from_loopback(const httplib::Request& req) {
  const std::string& a = req.remote_addr;
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
  o << "<p>CAN service on <code>" << html_escape(st.listen) << ":" << st.can_port
    << "</code>: <b class=\"" << service_state(st) << "\">" << service_state(st) << "</b>. "
    << "Restarts: " << st.restarts << ". Connections accepted: " << st.connections
    << ". Refused logins: " << st.unauthorized << ".</p>\n";
  o << "<p><form method=\"post\" action=\"/Forms/Firmware\">"
       "<input type=\"hidden\" name=\"FWUpdReset\" value=\"1\">"
       "<button>Reset CAN service</button></form>";
  if (admin) {
    o << "<form method=\"post\" action=\"/admin/hang\"><button>Hang</button></form>"
         "<form method=\"post\" action=\"/admin/unhang\"><button>Unhang</button></form>";
  }
  o << "</p>\n";
  for (const NetInfo& n : st.nets) {
    o << "<h2>Net " << n.net << "</h2>\n<p>Frames on the net: " << n.frames_on_bus
      << ", from clients: " << n.frames_from_clients << ", to clients: " << n.frames_to_clients
      << ".</p>\n";
    o << "<table><tr><th>Client</th><th>Peer</th><th>Frames in</th><th>Frames out</th>"
         "<th>Identifiers</th><th>Connected (s)</th></tr>\n";
    if (n.clients.empty()) o << "<tr><td colspan=\"6\">no clients</td></tr>\n";
    for (const ClientInfo& c : n.clients) {
      char secs[32];
      std::snprintf(secs, sizeof secs, "%.1f", c.seconds);
      o << "<tr><td class=\"n\">" << c.id << "</td><td>" << html_escape(c.peer)
        << "</td><td class=\"n\">" << c.frames_in << "</td><td class=\"n\">" << c.frames_out
        << "</td><td class=\"n\">" << c.ids << "</td><td class=\"n\">" << secs << "</td></tr>\n";
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

struct Web::Impl {
  explicit Impl(Gateway& g) : gw(g) {}
  Gateway& gw;
  httplib::Server svr;
  std::thread th;
  int port = -1;
};

Web::Web(Gateway& gw) : impl_(new Impl(gw)) {}

Web::~Web() {
  stop();
}

int Web::start(const std::string& host, int port, std::string* error) {
  Impl& m = *impl_;
  Gateway& gw = m.gw;
  // Few requests, short ones: two workers are plenty.
  m.svr.new_task_queue = [] { return new httplib::ThreadPool(2); };

  m.svr.Get("/", [&gw](const httplib::Request&, httplib::Response& res) {
    res.set_content(status_html(gw.status(), gw.options().admin), "text/html; charset=utf-8");
  });
  m.svr.Get("/status.json", [&gw](const httplib::Request&, httplib::Response& res) {
    res.set_content(status_json(gw.status()), "application/json");
  });
  m.svr.Post("/Forms/Firmware", [&gw](const httplib::Request& req, httplib::Response& res) {
    const Options& o = gw.options();
    if (!basic_auth_ok(req.get_header_value("Authorization"), o.user, o.password)) {
      gw.note_unauthorized();
      res.status = 401;
      res.set_header("WWW-Authenticate", kRealm);
      res.set_content("<html><body><h1>401 Unauthorized</h1></body></html>\n", "text/html");
      return;
    }
    std::string v;
    if (!form_field(req.body, "FWUpdReset", &v) || v != "1") {
      res.status = 400;
      res.set_content(
          "<html><body><h1>400 Bad Request</h1><p>expected FWUpdReset=1</p>"
          "</body></html>\n",
          "text/html");
      return;
    }
    gw.restart();
    res.set_content("<html><body><h1>CAN service restarting</h1></body></html>\n", "text/html");
  });
  auto admin = [&gw](bool hang) {
    return [&gw, hang](const httplib::Request& req, httplib::Response& res) {
      if (!gw.options().admin || !from_loopback(req)) {
        res.status = 403;
        res.set_content("forbidden\n", "text/plain");
        return;
      }
      gw.set_hung(hang);
      // A browser goes back to the status page; a script reads the text.
      res.set_redirect("/", 303);
      res.set_content(hang ? "hung\n" : "running\n", "text/plain");
    };
  };
  m.svr.Post("/admin/hang", admin(true));
  m.svr.Post("/admin/unhang", admin(false));

  if (port == 0) {
    m.port = m.svr.bind_to_any_port(host.c_str());
    if (m.port < 0) {
      if (error) *error = "web interface: cannot bind " + host;
      return -1;
    }
  } else {
    if (!m.svr.bind_to_port(host.c_str(), port)) {
      if (error) *error = "web interface: cannot bind " + host + ":" + std::to_string(port);
      return -1;
    }
    m.port = port;
  }
  m.th = std::thread([&m] { m.svr.listen_after_bind(); });
  // stop() only reaches a server that has begun to listen.
  for (int i = 0; i < 5000 && !m.svr.is_running(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return 0;
}

void Web::stop() {
  Impl& m = *impl_;
  if (!m.th.joinable()) return;
  m.svr.stop();
  m.th.join();
}

int Web::port() const {
  return impl_->port;
}

}  // namespace zgw
