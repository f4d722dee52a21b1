// status_json.cpp - the gateway's status as JSON.
#include "status_json.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace zgw {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when there is none
// (overlong forms, surrogates and code points above U+10FFFF are invalid).
size_t utf8_sequence(const std::string& s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t n;
  uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (b(i + k) & 0x3F);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
      (cp >= 0xD800 && cp <= 0xDFFF))
    return 0;
  return n;
}

}  // namespace

std::string to_utf8(const std::string& s) {
  bool valid = true;
  for (size_t i = 0; i < s.size() && valid;) {
    const size_t n = utf8_sequence(s, i);
    valid = n > 0;
    i += n;
  }
  if (valid) return s;
  // One text is one encoding: a text that is not UTF-8 as a whole is Latin-1.
  std::string r;
  for (char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      r += ch;
    } else {
      r += static_cast<char>(0xC0 | c >> 6);
      r += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return r;
}

std::string status_json(const Status& st) {
  using json = nlohmann::ordered_json;
  json nets = json::array();
  for (const NetInfo& n : st.nets) {
    json clients = json::array();
    for (const ClientInfo& c : n.clients)
      clients.push_back({{"id", c.id},
                         {"peer", to_utf8(c.peer)},
                         {"protocol", to_utf8(c.protocol)},
                         {"frames_in", c.frames_in},
                         {"frames_out", c.frames_out},
                         {"frames_lost", c.frames_lost},
                         {"ids", c.ids},
                         // As the page shows it: seconds with one decimal.
                         {"connected_s", std::round(c.seconds * 10) / 10}});
    json devices = json::array();
    for (const DeviceInfo& d : n.devices)
      devices.push_back({{"node", d.node},
                         {"name", to_utf8(d.name)},
                         {"state", to_utf8(d.state)},
                         {"frames_sent", d.frames_sent}});
    json net = {{"net", n.net}, {"medium", n.medium}};
    if (!n.iface.empty())
      net["interface"] = {{"name", to_utf8(n.iface)},
                          {"state", n.iface_state},
                          {"frames_in", n.iface_in},
                          {"frames_out", n.iface_out},
                          {"dropped", n.iface_dropped}};
    net["frames_on_bus"] = n.frames_on_bus;
    net["frames_from_clients"] = n.frames_from_clients;
    net["frames_to_clients"] = n.frames_to_clients;
    net["clients"] = clients;
    net["devices"] = devices;
    nets.push_back(std::move(net));
  }
  const char* service = st.hung ? "hung" : st.service_up ? "running" : "restarting";
  json doc = {{"listen", to_utf8(st.listen)},
              {"can_port", st.can_port},
              {"socketcand_port", st.socketcand_port},
              {"http_port", st.http_port},
              {"service", service},
              {"hung", st.hung},
              {"restarts", st.restarts},
              {"connections", st.connections},
              {"unauthorized", st.unauthorized},
              {"max_clients", st.max_clients},
              {"refused", st.refused},
              {"idle_dropped", st.idle_dropped},
              {"accept_failures", st.accept_failures},
              {"nets", nets}};
  return doc.dump() + "\n";
}

}  // namespace zgw
