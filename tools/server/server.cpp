// server.cpp - the example device server: configuration, registration, the
// update cycle, recovery after line outages, and client commands.
#include "server.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "candump.h"
#include "canopen_ids.h"
#include "commands.h"
#include "ntcan_ctl.h"

namespace zserver {

namespace {

const char* const kLabel = "zuntal_server";

using canopen::kCobEmergency;
using canopen::kCobErrorControl;
using canopen::kCobSdoAnswer;
constexpr int kStateError = 2;         // .ALIVE value whose condition text is "Error"
constexpr int64_t kRetryUs = 1000000;  // registration attempts at most once a second
// Identity reads in one cycle start only within this time from the cycle's
// start (the first one always does).
constexpr int64_t kIdentityBudgetUs = 500000;
// Registrations after an outage of a node that stays unheard.
constexpr int kUnheardRetries = 3;

// A property line of the configuration file: where it is and what it names.
struct NamedLine {
  int line;
  std::string location;
  std::string name;
};

// The property lines the framework took, with their locations and line
// numbers, in file order.
std::vector<NamedLine> named_lines(Config& config) {
  std::vector<NamedLine> out;
  for (const std::string& loc : config.locations())
    for (const std::string& name : config.names(loc))
      out.push_back({config.find(loc, name)->line, loc, name});
  std::sort(out.begin(), out.end(),
            [](const NamedLine& a, const NamedLine& b) { return a.line < b.line; });
  return out;
}

// Who the change messages name: the user running the server, on this host.
std::string client_user() {
  const char* u = std::getenv("USER");
  return u && *u ? u : "zuntal_server";
}
std::string client_host() {
  char h[256] = {0};
  if (::gethostname(h, sizeof h - 1) != 0 || !h[0]) return "localhost";
  return h;
}

bool is_node_name(const std::string& name) {
  return name.find('.') == std::string::npos;
}

// Opens a node's SDO companion at the node's address `a`, on a fresh handle
// that receives only the node's SDO answers.
int open_companion(ServerCan* sdo, const IIII& a) {
  sdo->close_direct();
  sdo->follow_address(a);
  return sdo->init(kCobSdoAnswer + a.i2_data, 1);
}

}  // namespace

bool parse_host_port(const std::string& text, std::string* host, int* port, std::string* error) {
  size_t colon = text.rfind(':');
  int p = 0;
  if (colon == std::string::npos || colon == 0 || !parse_integer(text.substr(colon + 1), &p) ||
      p < 1 || p > 65535) {
    *error = "expected HOST:PORT, e.g. 127.0.0.1:29200, not \"" + text + "\"";
    return false;
  }
  *host = text.substr(0, colon);
  *port = p;
  return true;
}

Server::Server(ServerOptions options)
    : opts_(std::move(options)),
      sdo_block_threshold_(opts_.sdo_block_threshold),
      write_path_(opts_.write_path.empty() ? opts_.config_path : opts_.write_path) {
  size_t slash = opts_.config_path.find_last_of('/');
  config_dir_ = slash == std::string::npos ? "." : opts_.config_path.substr(0, slash);
}

Server::~Server() {
  // The devices go first, so that nothing answers while the nodes close.
  for (auto& b : buses_) b.second->stop_runner();
  buses_.clear();
  for (auto& n : nodes_) {
    if (n->sdo) n->sdo->close_direct();
    n->sdo.reset();
    // Out of the node list before its handle closes, and the handle closed
    // here also while the line is closed (D_can's own close leaves it open
    // then).
    if (n->in_list) n->can->dellist();
    n->can->release_handle();
    n->pdo.reset();
    delete n->can;  // deletes its children
    n->can = nullptr;
  }
  nodes_.clear();
  for (D_simdevice* d : devices_) delete d;
  devices_.clear();
  locations_.clear();
  sdo_loc_.reset();
}

int64_t Server::now_us() {
  return tavro::clock().now_us();
}

void Server::report(const std::string& text) {
  tavro::printtostderr(kLabel, text);
}

void Server::report_line(int line, const std::string& text) {
  report(opts_.config_path + " line " + std::to_string(line) + ": " + text);
}

// ---- configuration ---------------------------------------------------------------

int Server::load() {
  // Temporary files of a write that a kill interrupted.
  Config::remove_stale_temporaries(write_path_);
  if (write_path_ != opts_.config_path) Config::remove_stale_temporaries(opts_.config_path);

  std::string text, why;
  if (Config::read_file(opts_.config_path, Config::kMaxFileBytes, &text, &why) != 0) {
    report("cannot read the configuration file " + opts_.config_path + ": " + why);
    return -1;
  }

  if (!opts_.gateway.empty()) {
    std::string host, err;
    int port = 0;
    if (!parse_host_port(opts_.gateway, &host, &port, &err)) {
      report("--gateway: " + err);
      return -1;
    }
    for (int net = 0; net < 20; ++net) {
      ntcan_ctl::NetConfig c;
      c.kind = ntcan_ctl::NetConfig::Kind::Gateway;
      c.host = host;
      c.port = port;
      c.remote_net = net;
      ntcan_ctl::configure_net(net, c);
    }
  }

  config_.load_text(text);  // reports malformed lines with their numbers
  if (config_.locations().empty() && config_.content_lines() > 0) {
    // Not a configuration file (a device description, random bytes, ...):
    // the server would write an empty configuration over it on stop.
    report(opts_.config_path + " holds no configuration: none of its " +
           std::to_string(config_.content_lines()) +
           " lines is a LOCATION line that could be read; the server does not start and "
           "leaves the file as it is");
    return -1;
  }
  const std::vector<NamedLine> names = named_lines(config_);
  std::set<std::string> left_out;  // "LOC\nNODE" of node lines that could not be used

  for (const std::string& loc : config_.locations()) {
    auto ef = std::make_unique<EqFct>(loc);
    ef->set_config(&config_);
    ef->set_client(client_user(), client_host());
    const bool sim = loc == "SIMULATION";
    for (const NamedLine& nl : names) {
      if (nl.location != loc || !is_node_name(nl.name)) continue;
      D_conf_struct* r = config_.find(loc, nl.name);
      if (!r || r->line != nl.line) continue;  // the framework reported and skipped it
      if (sim) {
        devices_.push_back(new D_simdevice(nl.name, ef.get()));
        continue;
      }
      bool four = r->tokens.size() == 4;
      int dummy = 0;
      // Decimal, as the node property reads its line: a word it would
      // refuse leaves the node out here, instead of a second message about
      // the address it kept.
      for (const std::string& t : r->tokens) four = four && tavro::parse_conf_int(t, &dummy);
      if (!four) {
        report_line(nl.line, nl.name +
                                 ": a node line needs four integers (line, node id, two "
                                 "identifiers), not \"" +
                                 r->text + "\"; the node is left out (its lines are kept)");
        left_out.insert(loc + "\n" + nl.name);
        continue;
      }
      auto node = std::make_unique<Node>();
      node->name = nl.name;
      node->loc = ef.get();
      node->conf_line = nl.line;
      node->can = new ServerCan(nl.name, ef.get());
      node->pdo = std::make_unique<D_canpdo>(nl.name + ".PDO TPDO values", node->can, ef.get());
      nodes_.push_back(std::move(node));
    }
    if (sim) sim_loc_ = ef.get();
    write_order_.push_back(ef.get());
    locations_.push_back(std::move(ef));
  }

  // As the framework does: every property enters the configuration, then
  // reads its stored value.
  for (EqFct* ef : write_order_) {
    for (D_fct* p : ef->properties()) p->conf(&config_);
    ef->restore_config();
  }

  // Lines that name no property, or hold a value of the wrong kind.
  for (const NamedLine& nl : names) {
    D_conf_struct* r = config_.find(nl.location, nl.name);
    if (!r || r->line != nl.line) continue;
    const std::string owner = nl.name.substr(0, nl.name.find('.'));
    if (left_out.count(nl.location + "\n" + owner)) continue;
    EqFct* ef = nullptr;
    for (EqFct* e : write_order_)
      if (e->name() == nl.location) ef = e;
    D_fct* p = ef ? ef->find_property(nl.name) : nullptr;
    if (!p) {
      report_line(nl.line, "unknown property " + nl.name + " in " + nl.location +
                               "; the line is kept as it is");
      continue;
    }
    // A value its property refused has been reported by the property.
    if (r->rejected) continue;
    int dummy = 0;
    const int type = p->data_type();
    if (type == DATA_INT && (r->tokens.size() != 1 || !parse_integer(r->tokens[0], &dummy)))
      report_line(nl.line, nl.name + " takes one integer, not \"" + r->text + "\"");
    if (type == DATA_IIII && !dynamic_cast<D_can*>(p)) {
      bool ok = r->tokens.size() == 4;
      for (const std::string& t : r->tokens) ok = ok && parse_integer(t, &dummy);
      if (!ok) report_line(nl.line, nl.name + " takes four integers, not \"" + r->text + "\"");
    }
  }

  // A baud rate the driver does not know would keep the node's line closed
  // at every opening: said now, with its line.
  for (auto& n : nodes_) {
    const std::string name = n->name + ".BAUDRATE";
    D_conf_struct* r = config_.find(n->loc->name(), name);
    D_fct* p = n->loc->find_property(name);
    D_int* baud = dynamic_cast<D_int*>(p);
    if (!r || !baud) continue;
    const int v = baud->value();
    if (v != 0 && ntcan_ctl::baud_index_rate(v) == 0)
      report_line(r->line, name + " " + std::to_string(v) +
                               " is not a baud-rate index of the driver (0 to 13; 0 means 6, "
                               "125 kbit/s): line " +
                               std::to_string(n->can->value()->i1_data) +
                               " will not open while it is used");
  }

  // The nodes' addresses as the file gave them (the property's read() turns
  // a line above 20 into 0).
  for (auto& n : nodes_) {
    D_conf_struct* r = config_.find(n->loc->name(), n->name);
    IIII a = *n->can->value();
    if (r && r->ints.size() == 4) {
      a.i1_data = r->ints[0];
      a.i2_data = r->ints[1];
    }
    std::string why = address_problem(*n, a);
    if (!why.empty()) {
      if (r) n->can->keep_file_values(r->text);
      report_line(n->conf_line, n->name + ": " + why + "; the node is not registered");
      n->note = "not registered: " + why;
      n->needs_register = false;
      mark_error(*n);
    }
  }

  if (!sdo_loc_) sdo_loc_ = std::make_unique<EqFct>(std::string(kLabel) + ".SDO");
  for (auto& n : nodes_) n->sdo = std::make_unique<ServerCan>(n->name, sdo_loc_.get());

  // The simulated devices of the in-process bus.
  std::map<std::string, int> device_lines;
  for (const NamedLine& nl : names)
    if (nl.location == "SIMULATION") device_lines[nl.name] = nl.line;
  for (D_simdevice* d : devices_) {
    const int line = device_lines[d->basename()];
    if (!d->problem().empty()) {
      report_line(line, d->basename() + ": " + d->problem() + "; the device is left out");
      continue;
    }
    if (!opts_.host_devices) continue;
    // A net whose medium cannot carry devices (a gateway's) refuses them,
    // with or without --devices-on-any-medium: they would not hear it.
    const std::string refusal = ntcan_ctl::device_refusal(d->line() - 1);
    if (!refusal.empty()) {
      report_line(line, d->basename() + ": " + refusal + "; the device is left out");
      continue;
    }
    const ntcan_ctl::NetConfig medium = ntcan_ctl::net_config(d->line() - 1);
    if (medium.kind != ntcan_ctl::NetConfig::Kind::Sim && !opts_.devices_on_any_medium) {
      // A simulated node on a real bus would answer beside (or instead of)
      // the real one with its id.
      report_line(line, d->basename() + ": line " + std::to_string(d->line()) + " is " +
                            medium_text(d->line()) +
                            ", not the simulated bus; the device is not hosted there "
                            "(--devices-on-any-medium hosts it)");
      continue;
    }
    std::string path = d->eds();
    if (path.empty() || path[0] != '/') path = config_dir_ + "/" + path;
    auto& bus = buses_[d->line()];
    if (!bus) bus = std::make_unique<zsim::Bus>(d->line() - 1);
    std::string err;
    if (!bus->add(d->node(), path, &err))
      report_line(line, d->basename() + ": " + err + "; the device is left out");
  }
  loaded_ = true;
  t0_us_ = now_us();
  if (opts_.sync_ms > 0)
    for (auto& n : nodes_) can_sync(n->can->value()->i1_data, int64_t{opts_.sync_ms} * 1000);
  for (auto& b : buses_) {
    if (opts_.devices_follow_cycle)
      b.second->advance_to(0);
    else
      b.second->start_runner(1000);
  }
  return 0;
}

std::string Server::address_problem(const Node& node, const IIII& a) const {
  if (a.i1_data < 1 || a.i1_data > 20)
    return "line " + std::to_string(a.i1_data) + " is outside 1 to 20";
  if (a.i2_data < 1 || a.i2_data > 127)
    return "node id " + std::to_string(a.i2_data) + " is outside 1 to 127";
  for (const auto& o : nodes_) {
    if (o.get() == &node) continue;
    const IIII* b = o->can->value();
    if (b->i1_data == a.i1_data && b->i2_data == a.i2_data)
      return "line " + std::to_string(a.i1_data) + " node " + std::to_string(a.i2_data) +
             " is already " + o->name + "'s";
  }
  return "";
}

int Server::write_config() {
  std::lock_guard<std::mutex> g(mx_);
  if (!loaded_) {
    report("the configuration did not load; " + write_path_ + " is not written");
    return -1;
  }
  // Lines no property took (typos, unknown names) go back as they were.
  int r = Config::write_file(write_path_, write_order_, &config_);
  if (r == 0) report("configuration written to " + write_path_);
  return r;
}

// ---- registration ----------------------------------------------------------------

void Server::set_note(Node& node, const std::string& note) {
  node.note = note;
}

void Server::mark_error(Node& node) {
  if (node.can->alive_->get_value() != kStateError) node.can->alive_->set_value(kStateError);
  node.last_state = kStateError;
}

void Server::start() {
  std::lock_guard<std::mutex> g(mx_);
  const int64_t now = now_us();
  for (auto& n : nodes_)
    if (n->needs_register) register_node(*n, now);
}

void Server::register_node(Node& node, int64_t now) {
  ServerCan* can = node.can;
  const IIII a = *can->value();
  node.needs_register = false;
  node.next_try_us = now + kRetryUs;
  std::string why = address_problem(node, a);
  if (!why.empty()) {
    if (node.phase != Node::Phase::Off || node.note != "not registered: " + why)
      report(node.name + ": " + why + "; the node is not registered");
    node.phase = Node::Phase::Off;
    set_note(node, "not registered: " + why);
    return;
  }
  const int id = a.i2_data;
  // Buffered mode: the node's master, its emergency and heartbeat
  // identifiers on the handle that the update cycle's fill reads.
  int r = can->init_emergency();
  node.in_list = true;
  node.addr = a;
  node.call_failed = 0;
  if (r == 0 && can->own_handle() > 0 && can->own_handle() == can->line_handle()) {
    // The first registration on a line hands the node the line's own
    // handle, which the line supervision closes under it at every outage.
    // The node takes a handle of its own instead and leaves the line's to
    // the supervision, so that an outage changes no node's handle count.
    canIdDelete(can->line_handle(), kCobEmergency + id);
    can->handle(-1);
    r = can->can_open();
    if (r == 0) r = can->AddIdent(kCobEmergency + id);
  }
  if (r == 0) r = can->AddIdent(kCobErrorControl + id);
  // Direct mode for SDO: a handle of its own that receives only the SDO
  // answers, so that fills and transfers never take each other's frames.
  drop_companion(node);
  node.registered_us = now;
  node.last_heard_us = -1;
  node.last_state = -1;
  node.silent = false;
  if (r != 0 || can->handle() <= 0) {
    node.phase = Node::Phase::Waiting;
    set_note(node, "line " + std::to_string(a.i1_data) + " not open (" +
                       can_error_str(static_cast<unsigned long>(static_cast<long>(r))) + ")");
    // On an open line a registration that failed half way (a handle that
    // died under it) would leave the node deaf: it is tried again.
    if (r != 0 && can->line_open()) {
      report(node.name + ": registration on line " + std::to_string(a.i1_data) + " failed with " +
             can_error_str(static_cast<unsigned long>(static_cast<long>(r))) + "; trying again");
      node.call_failed = r;
    }
    return;
  }
  if (!node.sdo_busy) open_companion(node.sdo.get(), a);
  // A node-guarding request: the node's answer, or its next heartbeat,
  // tells that it is there before its identity is read.
  node.call_failed = can->rtr();
  node.last_guard_us = now;
  node.phase = Node::Phase::Probing;
  node.answered = false;
  set_note(node, "waiting for the node");
}

void Server::reregister_node(Node& node, int64_t now) {
  // Out of the node list first, so that no fill uses the handle while it
  // closes. A dead handle is closed all the same: it holds a place in the
  // driver until then. The line's own handle is the line's to close.
  if (node.in_list) {
    node.can->dellist();
    node.in_list = false;
  }
  node.can->release_handle();
  ++node.reregistrations;
  register_node(node, now);
}

// A fill or another driver call of the node failed. While the line is
// closed the line supervision is at work and the node waits; once the line
// is open any failure may come from a handle that died with the outage
// (the medium's connection dropped, or the line's own handle closed under
// the node), so the node registers again with fresh handles, at most once
// a second.
void Server::handle_failure(Node& node, int status, int64_t now) {
  ServerCan* can = node.can;
  const std::string line = "line " + std::to_string(node.addr.i1_data);
  if (!can->line_open()) {
    if (!node.line_down) {
      node.line_down = true;
      report(node.name + ": " + line + " is closed; waiting for the line supervision to reopen it");
    }
    set_note(node, line + " closed");
    mark_error(node);
    return;
  }
  const std::string what =
      status == -1 ? std::string("no handle")
                   : can_error_str(static_cast<unsigned long>(static_cast<long>(status)));
  mark_error(node);
  if (now < node.next_try_us) {
    set_note(node, "handle failed: " + what);
    return;
  }
  if (!node.failing) {
    node.failing = true;
    report(node.name + ": " + line + " is open, the node's handle answers " + what +
           "; registering the node again");
  }
  node.line_down = false;
  reregister_node(node, now);
}

// Closes the companion, or leaves that to the SDO command using it.
void Server::drop_companion(Node& node) {
  if (node.sdo_busy)
    node.sdo_stale = true;
  else
    node.sdo->close_direct();
}

void Server::read_identity(Node& node) {
  const int64_t started = now_us();
  ServerCan* sdo = node.sdo.get();
  node.answered = false;
  if (sdo->handle() <= 0) open_companion(sdo, node.addr);
  int r = sdo->get_manufacture();
  // -1 is a transfer that got no answer in time, or an abort. Any other
  // failure is a driver call on the companion's handle, which may have died
  // with an outage: once more on a fresh handle, and if that fails too, the
  // whole node registers again.
  if (r != 0 && r != -1 && open_companion(sdo, node.addr) == 0) r = sdo->get_manufacture();
  if (r != 0 && r != -1) {
    node.call_failed = r;
    set_note(node, "identity: " + can_error_str(static_cast<unsigned long>(static_cast<long>(r))));
    return;
  }
  // A node that let the first read time out is not asked twice more.
  const bool slow = r != 0 && now_us() - started >= 1000000;
  if (!slow) {
    sdo->get_hwversion();
    sdo->get_swversion();
  }
  node.can->show_identity(sdo->manu(), slow ? "error" : sdo->hwver(),
                          slow ? "error" : sdo->swver());
  node.identity_read = true;
  const int nmt = node.can->start_node();
  if (nmt != 0) {
    node.call_failed = nmt;
    return;
  }
  node.phase = Node::Phase::Running;
  set_note(node, r == 0 ? "" : "identity not read");
  if (r == 0 && !node.pdo_read) read_pdo_mappings(node);
}

// The node's PDO mappings by SDO through its companion, with the data types
// from the EDS of the simulated device that serves the node here, if any.
void Server::read_pdo_mappings(Node& node) {
  std::string eds;
  for (D_simdevice* d : devices_)
    if (d->problem().empty() && d->line() == node.addr.i1_data && d->node() == node.addr.i2_data) {
      eds = d->eds();
      if (!eds.empty() && eds[0] != '/') eds = config_dir_ + "/" + eds;
    }
  node.pdo->sdo_through(node.sdo.get());
  if (node.pdo->read_mappings(eds) == 0)
    node.pdo_read = true;
  else
    report(node.name + ": PDO mappings not read: " + node.pdo->error());
}

// The simulated power supplies' output follows their set-point: what a
// client sends by RPDO comes back in the measured voltage's TPDO.
void Server::follow_setpoints() {
  for (auto& b : buses_)
    for (zsim::Device* d : b.second->devices()) {
      if (d->name().rfind("ZPS-48", 0) != 0) continue;
      std::vector<uint8_t> set, out;
      if (d->read_object(0x2000, 0, &set) && d->read_object(0x2005, 0, &out) && set != out)
        d->write_object(0x2005, 0, set);
    }
}

// ---- the update cycle ----------------------------------------------------------------

void Server::cycle() {
  std::lock_guard<std::mutex> g(mx_);
  const int64_t now = now_us();
  if (opts_.devices_follow_cycle)
    for (auto& b : buses_) b.second->advance_to(now - t0_us_);
  cycle_start_us_ = now;
  identity_read_in_cycle_ = false;
  follow_setpoints();
  can_looping();
  for (auto& n : nodes_) serve_node(*n, now);
}

void Server::serve_node(Node& node, int64_t now) {
  ServerCan* can = node.can;
  if (node.needs_register) {
    register_node(node, now);
    return;
  }
  if (node.phase == Node::Phase::Off) return;
  const int id = node.addr.i2_data;

  CMSG rx[100];
  int n = 0;
  // Any failing fill status, whatever the medium chose to answer for a
  // handle it lost, counts; so does a failed call since the last fill.
  int st = can->can_array(rx, &n);
  if (st == 0 && node.call_failed != 0) st = node.call_failed;
  node.frames = st == 0 && n > 0 ? n : 0;
  if (st != 0) {
    handle_failure(node, st, now);
    return;
  }
  if (node.failing) {
    node.failing = false;
    report(node.name + ": registered again on line " + std::to_string(node.addr.i1_data));
  }
  if (node.line_down) {
    // The handle outlived the outage: the node is read and started afresh.
    node.line_down = false;
    report(node.name + ": line " + std::to_string(node.addr.i1_data) + " is open again");
    node.phase = Node::Phase::Probing;
    node.answered = false;
    node.registered_us = now;
    set_note(node, "waiting for the node");
  }
  if (node.phase == Node::Phase::Waiting) {
    node.phase = Node::Phase::Probing;
    node.answered = false;
    set_note(node, "waiting for the node");
  }

  bool heard = false;
  for (int k = 0; k < n; ++k)
    if (rx[k].id == kCobErrorControl + id && rx[k].len == 1) heard = true;
  const int operational = can->alive_->check_alive(id, rx, &n);
  const int state = can->alive_->get_value();
  if (heard) {
    node.last_heard_us = now;
    node.unheard_retries = 0;
    if (node.silent) {
      node.silent = false;
      report(node.name + " answers again");
      // It may have been switched off or reset meanwhile: it is read and
      // started afresh.
      if (node.phase == Node::Phase::Running) {
        node.phase = Node::Phase::Probing;
        node.answered = false;
        set_note(node, "waiting for the node");
      }
    }
    // check_alive writes the condition text only for an operational node;
    // the server lets it follow every other state too.
    if (operational != 100 && state != node.last_state) can->alive_->set_value(state);
    node.last_state = state;
  }

  if (can->can_emergency(id, rx, &n) == 100) {
    for (int k = 0; k < n; ++k) {
      if (rx[k].id != kCobEmergency + id || (rx[k].len & NTCAN_RTR)) continue;
      std::string d = candump::decode_canopen(rx[k]);
      size_t colon = d.find(": ");
      node.emergency = colon == std::string::npos ? d : d.substr(colon + 2);
      ++node.emergencies;
      break;
    }
  }

  // Identity reads wait on their answers inside the cycle; after an outage
  // every node of a line wants one. The cycle reads as many as fit into its
  // budget, the rest follow in the next cycles, so the fills and the alive
  // supervision of the other nodes keep their pace.
  if (heard && node.phase == Node::Phase::Probing) node.answered = true;
  if (node.answered && node.phase == Node::Phase::Probing && !node.sdo_busy &&
      (now_us() - cycle_start_us_ < kIdentityBudgetUs || !identity_read_in_cycle_)) {
    identity_read_in_cycle_ = true;
    read_identity(node);
  }

  // Alive supervision: a guarding request when the node has been quiet for
  // a while (nodes without heartbeat answer it), state 2 when it stays quiet.
  const int64_t since = std::max(node.last_heard_us, node.registered_us);
  if (now - since >= int64_t{opts_.guard_ms} * 1000 &&
      now - node.last_guard_us >= int64_t{opts_.guard_ms} * 1000) {
    // A request the driver refuses tells of a dead handle before any fill
    // does on a medium that answers takes on a lost connection with success.
    if (const int g = can->rtr()) node.call_failed = g;
    node.last_guard_us = now;
  }
  if (opts_.alive_timeout_ms > 0 && !node.silent &&
      now - since >= int64_t{opts_.alive_timeout_ms} * 1000) {
    node.silent = true;
    report(node.name + " has not been heard for " + std::to_string(opts_.alive_timeout_ms) + " ms");
    set_note(node, node.last_heard_us < 0 ? "no answer" : "silent");
    mark_error(node);
    // A node registered again after an outage that stays unheard may sit on
    // a fresh handle that hears nothing (seen right after a gateway restart);
    // it registers once more, a few times, before it counts as away.
    if (node.phase == Node::Phase::Probing && node.last_heard_us < 0 && node.reregistrations > 0 &&
        node.unheard_retries < kUnheardRetries && can->line_open()) {
      ++node.unheard_retries;
      report(node.name + ": not heard since it registered again; registering it once more");
      reregister_node(node, now);
    }
  }
}

// ---- clients ------------------------------------------------------------------------------

Server::Node* Server::node_of(D_fct* p) {
  for (auto& n : nodes_)
    if (n->can == p) return n.get();
  return nullptr;
}

bool Server::find_property(const std::string& name, EqFct** loc, D_fct** prop, std::string* local,
                           std::string* error) {
  std::string lname, pname = name;
  size_t slash = name.find('/');
  if (slash != std::string::npos) {
    lname = name.substr(0, slash);
    pname = name.substr(slash + 1);
  }
  *loc = nullptr;
  *prop = nullptr;
  int found = 0;
  for (EqFct* ef : write_order_) {
    if (!lname.empty() && ef->name() != lname) continue;
    if (D_fct* p = ef->find_property(pname)) {
      if (++found == 1) {
        *loc = ef;
        *prop = p;
      }
    }
  }
  *local = pname;
  if (found == 0) {
    if (!lname.empty() && std::none_of(write_order_.begin(), write_order_.end(),
                                       [&](EqFct* e) { return e->name() == lname; }))
      *error = "unknown location " + lname;
    else
      *error = "unknown property " + name;
    return false;
  }
  if (found > 1) {
    *error = pname + " is in more than one location; write LOCATION/" + pname;
    return false;
  }
  return true;
}

std::string Server::do_get(const std::string& name) {
  EqFct* ef = nullptr;
  D_fct* p = nullptr;
  std::string local, err;
  if (!find_property(name, &ef, &p, &local, &err)) return "error: " + err;
  EqData out;
  ef->get(local, nullptr, &out);
  return value_text(out);
}

std::string Server::do_set(const Command& cmd) {
  EqFct* ef = nullptr;
  D_fct* p = nullptr;
  std::string local, err;
  if (!find_property(cmd.name, &ef, &p, &local, &err)) return "error: " + err;
  EqData in, out;
  err = make_value(cmd.name, p->data_type(), cmd, &in);
  if (!err.empty()) return "error: " + err;

  Node* node = node_of(p);
  IIII before;
  if (node) {
    // A node address: 2 to 4 integers, a line and node id the server can use.
    if (cmd.args.size() < 2) return "error: " + cmd.name + " takes line, node id [id3 [id4]]";
    before = *node->can->value();
    IIII* a = in.get_iiii();
    std::string why = address_problem(*node, *a);
    if (!why.empty()) return "error: " + why;
  }
  const NTCAN_HANDLE held = node ? node->can->own_handle() : -1;
  ef->set(local, &in, &out);
  if (out.error() != 0) return value_text(out);

  if (node) {
    const IIII* a = node->can->value();
    if (a->i1_data != before.i1_data || a->i2_data != before.i2_data) {
      // The property closed itself and left the node list; it registers at
      // its new address in the next cycle.
      node->in_list = false;
      // D_can's close leaves the handle open while the line is closed; a
      // handle it did close answers this second close with
      // NTCAN_INVALID_HANDLE (handle values are never reused).
      if (held > 0 && held != node->can->line_handle()) canClose(held);
      node->call_failed = 0;
      node->failing = false;
      drop_companion(*node);
      node->can->show_identity("", "", "");
      node->identity_read = false;
      // Nothing is known of the node at the new address yet: it starts as
      // a freshly registered node does.
      node->can->alive_->set_value(15);
      node->last_state = -1;
      node->phase = Node::Phase::Off;
      node->needs_register = true;
      node->line_down = false;
      node->emergency.clear();
      node->frames = 0;
      set_note(*node, "moved; registering");
    }
  }
  return "ok";
}

std::string Server::do_list(const std::string& loc) {
  std::string out;
  bool any_loc = false;
  for (EqFct* ef : write_order_) {
    if (!loc.empty() && ef->name() != loc) continue;
    any_loc = true;
    for (D_fct* p : ef->properties()) {
      if (!out.empty()) out += ' ';
      if (loc.empty() && write_order_.size() > 1) out += ef->name() + "/";
      out += p->basename();
    }
  }
  if (!any_loc) return "error: unknown location " + loc;
  return out;
}

// An SDO transfer through the node's companion, in the command's thread.
// The transfer waits for the node's answers (2 to 3 s when it is silent), so
// it runs outside the server's lock: the update cycle goes on meanwhile and
// keeps off the companion while the node is marked busy. Failures answer
// with the abort text, or what else ended it.
// pdo NODE: the TPDO values; pdo NODE N VALUE...: RPDO N, each value read
// by the data type of its mapped object. Called with the lock held.
std::string Server::do_pdo(const Command& cmd) {
  Node* node = nullptr;
  for (auto& n : nodes_)
    if (n->name == cmd.name) node = n.get();
  if (!node) return "error: unknown node " + cmd.name;
  if (cmd.index == 0) {
    const std::string t = node->pdo->text();
    return t.empty() ? "error: " + cmd.name + " has no PDO mappings (yet)" : t;
  }
  pdo_map m;
  if (!node->pdo->mapping(false, cmd.index, &m))
    return "error: " + cmd.name + " has no RPDO" + std::to_string(cmd.index);
  if (cmd.args.size() != m.entries.size())
    return "error: RPDO" + std::to_string(cmd.index) + " takes " +
           std::to_string(m.entries.size()) + " values";
  std::vector<pdo_value> values;
  for (size_t i = 0; i < m.entries.size(); ++i) {
    const uint16_t type = m.entries[i].type;
    const std::string& t = cmd.args[i];
    char* end = nullptr;
    errno = 0;
    pdo_value v;
    if (type == PDO_REAL32 || type == PDO_REAL64)
      v = pdo_value::of_real(type, std::strtod(t.c_str(), &end));
    else if (t[0] == '-')
      v = pdo_value::of_int(type, std::strtoll(t.c_str(), &end, 0));
    else
      v = pdo_value::of_uint(type, std::strtoull(t.c_str(), &end, 0));
    // An integer must fit the mapped entry's bits: sending it cut to them
    // would set another value than the one asked for.
    const int bits = m.entries[i].bits;
    const bool is_signed = type == PDO_INTEGER8 || type == PDO_INTEGER16 || type == PDO_INTEGER32 ||
                           type == PDO_INTEGER24 ||
                           (type >= PDO_INTEGER40 && type <= PDO_INTEGER64);
    bool fits = true;
    if (type != PDO_REAL32 && type != PDO_REAL64 && bits > 0 && bits < 64 && !t.empty()) {
      if (is_signed) {
        const int64_t x = static_cast<int64_t>(v.raw);
        fits = x >= -(int64_t{1} << (bits - 1)) && x < (int64_t{1} << (bits - 1));
      } else {
        fits = t[0] != '-' && v.raw < (uint64_t{1} << bits);
      }
    } else if (!is_signed && type != PDO_REAL32 && type != PDO_REAL64 && !t.empty()) {
      fits = t[0] != '-';
    }
    if (t.empty() || *end || errno || !fits)
      return "error: \"" + t + "\" is no " + pdo_type_name(type) + " for " + m.entries[i].name;
    values.push_back(v);
  }
  const int r = node->pdo->send_rpdo(cmd.index, values);
  if (r == -1) return "error: " + node->pdo->error();
  if (r != 0) return "error: " + can_error_str(static_cast<unsigned long>(static_cast<long>(r)));
  return "ok";
}

std::string Server::do_sdo(const Command& cmd) {
  std::unique_lock<std::mutex> lock(mx_);
  Node* node = nullptr;
  for (auto& n : nodes_)
    if (n->name == cmd.name) node = n.get();
  if (!node) return "error: unknown node " + cmd.name;
  // Off: its address is unusable (or it has just moved), it has no companion.
  if (node->needs_register || node->phase == Node::Phase::Off)
    return "error: " + cmd.name + " is not registered";
  if (node->sdo_busy) return "error: " + cmd.name + " is busy with another SDO transfer";
  node->sdo_busy = true;
  const IIII addr = node->addr;
  lock.unlock();

  // Only this command uses the companion until it is marked free again: a
  // registration or a move meanwhile leaves it alone.
  ServerCan* sdo = node->sdo.get();
  const short id = static_cast<short>(addr.i2_data);
  auto reopen = [&] { return open_companion(sdo, addr); };
  if (sdo->handle() <= 0) reopen();
  // A write of more than the threshold goes by block transfer. A read of
  // an object longer than the threshold, whose size is known only once it
  // is read, is begun segmented into a buffer of the threshold's size and
  // then done again by block transfer.
  const int threshold = sdo_block_threshold_.load();
  std::vector<char> buf(static_cast<size_t>(kMaxSdoObject));
  int len = 0;
  bool block = cmd.kind == Command::Kind::SdoWrite && static_cast<int>(cmd.data.size()) > threshold;
  auto run = [&] {
    if (cmd.kind == Command::Kind::SdoRead) {
      if (block)
        return sdo->blockSdoRead(id, cmd.index, cmd.subindex, buf.data(), kMaxSdoObject, &len);
      return sdo->segSdoRead(id, cmd.index, cmd.subindex, buf.data(), threshold, &len);
    }
    const int n = static_cast<int>(cmd.data.size());
    if (block) return sdo->blockSdoWrite(id, cmd.index, cmd.subindex, cmd.data.data(), n);
    return sdo->segSdoWrite(id, cmd.index, cmd.subindex, cmd.data.data(), n);
  };
  int r = run();
  if (r == NTCAN_INVALID_HANDLE && reopen() == 0) r = run();
  if (r == SDO_OBJECT_TOO_LONG && !block) {
    block = true;
    r = run();
  }
  const uint32_t abort_code = sdo->sdo_abort_code();

  lock.lock();
  node->sdo_busy = false;
  if (node->sdo_stale) {
    // The node registered again or moved meanwhile: the next user opens the
    // companion afresh at the node's address.
    node->sdo_stale = false;
    sdo->close_direct();
  }
  lock.unlock();

  if (r == -1 && abort_code != 0) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(abort_code));
    return std::string("error: abort ") + code + " " + sdo_abort_text(abort_code);
  }
  if (r == -1) return "error: no answer in time, or a toggle error";
  if (r == SDO_OBJECT_TOO_LONG)
    return "error: the object is longer than " + std::to_string(kMaxSdoObject) + " bytes";
  if (r != 0 && r != SDO_SEGMENTED_FALLBACK)
    return "error: " + can_error_str(static_cast<unsigned long>(r));
  // How the object went: said whenever block transfer was used or tried.
  std::string how;
  if (r == SDO_SEGMENTED_FALLBACK) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(abort_code));
    how = abort_code != 0 ? std::string(" (segmented: block transfer refused, abort ") + code +
                                " " + sdo_abort_text(abort_code) + ")"
                          : std::string(" (segmented: block transfer broken off)");
  } else if (block) {
    how = " (block transfer)";
  }
  if (cmd.kind == Command::Kind::SdoWrite) return "ok" + how;
  std::string out = std::to_string(len) + (len == 1 ? " byte" : " bytes") + how + ":";
  bool printable = len > 0;
  for (int k = 0; k < len; ++k) {
    char hex[4];
    std::snprintf(hex, sizeof hex, " %02X", static_cast<unsigned char>(buf[k]));
    out += hex;
    printable = printable && buf[k] >= 0x20 && buf[k] <= 0x7E;
  }
  if (printable) out += " \"" + std::string(buf.data(), static_cast<size_t>(len)) + "\"";
  return out;
}

std::string Server::execute(const std::string& line) {
  Command cmd = parse_command(line);
  // An SDO transfer takes the lock itself, only around its start and end.
  if (cmd.kind == Command::Kind::SdoRead || cmd.kind == Command::Kind::SdoWrite) return do_sdo(cmd);
  if (cmd.kind == Command::Kind::SdoBlock) {
    if (cmd.index >= 0) sdo_block_threshold_.store(cmd.index);
    return "ok: objects of more than " + std::to_string(sdo_block_threshold_.load()) +
           " bytes go by block transfer";
  }
  std::lock_guard<std::mutex> g(mx_);
  if (cmd.kind == Command::Kind::Pdo) return do_pdo(cmd);
  switch (cmd.kind) {
    case Command::Kind::Empty:
      return "";
    case Command::Kind::Bad:
      return "error: " + cmd.error;
    case Command::Kind::Help:
      return help_text();
    case Command::Kind::Quit:
      quit_ = true;
      return "ok: stopping";
    case Command::Kind::List:
      return do_list(cmd.name);
    case Command::Kind::Get:
      return do_get(cmd.name);
    case Command::Kind::Set:
      return do_set(cmd);
    case Command::Kind::SdoRead:
    case Command::Kind::SdoWrite:
    case Command::Kind::SdoBlock:
    case Command::Kind::Pdo:
      break;  // above
  }
  return "error: unknown command";
}

// ---- display ------------------------------------------------------------------------------

std::vector<NodeRow> Server::rows() {
  std::lock_guard<std::mutex> g(mx_);
  std::vector<NodeRow> out;
  for (auto& n : nodes_) {
    NodeRow r;
    r.name = n->name;
    const IIII* a = n->can->value();
    r.line = a->i1_data;
    r.node = a->i2_data;
    r.state = n->can->alive_->get_value();
    r.condition = n->can->modul_condition_->value();
    r.manu = n->can->manu();
    r.hwver = n->can->hwver();
    r.swver = n->can->swver();
    r.identity_stale = !n->identity_read;
    r.emergency = n->emergency;
    r.emergencies = n->emergencies;
    r.frames = n->frames;
    r.pdo = n->pdo->text();
    r.note = n->note;
    if (n->reregistrations > 0 && r.note.empty())
      r.note = "registered again " + std::to_string(n->reregistrations) + "x";
    out.push_back(r);
  }
  return out;
}

// The medium of a line's net as the title and the messages name it.
std::string Server::medium_text(int line) const {
  if (line < 1 || line > ntcan_ctl::kMaxNets) return "no net";
  const ntcan_ctl::NetConfig c = ntcan_ctl::net_config(line - 1);
  switch (c.kind) {
    case ntcan_ctl::NetConfig::Kind::Gateway:
      return "gateway " + c.host + ":" + std::to_string(c.port) + " net " +
             std::to_string(c.remote_net);
    case ntcan_ctl::NetConfig::Kind::SocketCan:
      return "SocketCAN " + c.ifname;
    case ntcan_ctl::NetConfig::Kind::Socketcand:
      return "socketcand " + c.host + ":" + std::to_string(c.port) + " bus " + c.bus;
    case ntcan_ctl::NetConfig::Kind::Absent:
      return "absent";
    case ntcan_ctl::NetConfig::Kind::Sim:
    default:
      return "simulated bus";
  }
}

std::string Server::title() const {
  // Each line the nodes use, with its medium and the devices hosted on it.
  std::set<int> lines;
  for (const auto& n : nodes_) {
    const int l = n->can->value()->i1_data;
    if (l >= 1 && l <= 20) lines.insert(l);
  }
  for (const auto& b : buses_) lines.insert(b.first);
  std::string where;
  for (int l : lines) {
    where += "; line " + std::to_string(l) + " " + medium_text(l);
    auto it = buses_.find(l);
    const size_t devices = it == buses_.end() ? 0 : it->second->devices().size();
    if (devices > 0) where += " (" + std::to_string(devices) + " simulated devices)";
  }
  return std::string(kLabel) + ": " + std::to_string(nodes_.size()) + " nodes" + where +
         "; cycle " + std::to_string(opts_.period_ms) + " ms; Ctrl-C stops and writes " +
         write_path_;
}

int Server::reregistrations(const std::string& name) {
  std::lock_guard<std::mutex> g(mx_);
  for (auto& n : nodes_)
    if (n->name == name) return n->reregistrations;
  return -1;
}

zsim::Bus* Server::bus(int line) {
  auto it = buses_.find(line);
  return it == buses_.end() ? nullptr : it->second.get();
}

}  // namespace zserver
