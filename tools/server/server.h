// server.h - the example device server: a small TAVRO-style server that
// reaches CANopen nodes through libZUNTAL.
//
// It reads its configuration file, builds one location per LOCATION block
// and one node property (D_can) per node line, lets the properties read
// their stored values, registers every node, and runs the update cycle:
// can_looping(), then per node can_array(), check_alive() and
// can_emergency(). Clients read and write properties by name through
// execute(), as a framework client would.
//
// Registration pattern, per node (docs/server.md):
//   - the node property registers in buffered mode with init_emergency()
//     (0x80 + id) and enables the heartbeat 0x700 + id: the update cycle's
//     fill takes these frames into the node's buffer;
//   - a second, direct-mode D_can of the same address (the node's SDO
//     companion, in a private location) enables only 0x580 + id on a handle
//     of its own: SDO uploads wait on that handle, so the fill never takes
//     an SDO answer and an SDO transfer never takes a heartbeat;
//   - the identity is read through the companion once the node has been
//     heard (heartbeat or node-guarding answer), then the node is started.
//
// Recovery: when a fill reports that the node has no usable handle (77, or
// -1 from can_array) while its line is open again, the line supervision has
// closed and reopened the line under the node; the server registers the
// node again, reads its identity and starts it. While the line is closed the
// node shows state 2 ("Error").
#ifndef ZUNTAL_SERVER_SERVER_H
#define ZUNTAL_SERVER_SERVER_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "D_zuntal.h"
#include "commands.h"
#include "display.h"
#include "server_can.h"
#include "sim_bus.h"
#include "sim_device_prop.h"
#include "tavro.h"

namespace zserver {

struct ServerOptions {
  std::string config_path = "examples/server.conf";
  std::string write_path;    // where stop writes the configuration; "" = config_path
  std::string gateway;       // "HOST:PORT": every line's net goes to that gateway
  bool host_devices = true;  // host the SIMULATION devices on the in-process bus
  // false: the devices run in real time (a runner thread per bus); true:
  // their time is the framework clock, moved on at every cycle (tests).
  bool devices_follow_cycle = false;
  int period_ms = 100;          // shown in the title; the caller paces the cycles
  int guard_ms = 1000;          // a node not heard for this long gets a guarding request
  int alive_timeout_ms = 3000;  // a node not heard for this long shows state 2 "Error"
};

// Splits "HOST:PORT". Returns false with *error for anything else.
bool parse_host_port(const std::string& text, std::string* host, int* port, std::string* error);

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Reads the configuration and builds the locations, the node properties
  // and (on the in-process bus) the simulated devices. Returns 0, or -1 when
  // the file cannot be read. Bad lines are reported and left out.
  int load();
  // First registration of every node.
  void start();
  // One update cycle.
  void cycle();
  // One client command; the answer is one line without its line feed.
  std::string execute(const std::string& command);
  // Writes the configuration back (a new file, then a rename). 0 or -1.
  int write_config();

  std::vector<NodeRow> rows();
  std::string title() const;
  bool quit_requested() const { return quit_.load(); }
  void request_quit() { quit_ = true; }

  // For tests and tools.
  std::vector<EqFct*> locations() const { return write_order_; }
  int node_count() const { return static_cast<int>(nodes_.size()); }
  int reregistrations(const std::string& node_name);
  zsim::Bus* bus(int line);
  const std::string& write_path() const { return write_path_; }

 private:
  struct Node {
    std::string name;
    EqFct* loc = nullptr;
    int conf_line = 0;
    ServerCan* can = nullptr;        // the node property (owned here)
    std::unique_ptr<ServerCan> sdo;  // its direct-mode SDO companion
    enum class Phase { Off, Waiting, Probing, Running } phase = Phase::Off;
    bool needs_register = true;
    bool in_list = false;  // registered as its node's master
    bool line_down = false;
    bool silent = false;
    IIII addr;  // the address of the last registration
    int64_t registered_us = 0, last_heard_us = -1, last_guard_us = -1, next_try_us = 0;
    int last_state = -1;
    std::string emergency;
    int emergencies = 0;
    int frames = 0;
    int reregistrations = 0;
    std::string note;
  };

  void report(const std::string& text);
  void report_line(int line, const std::string& text);
  std::string address_problem(const Node& node, const IIII& a) const;
  void register_node(Node& node, int64_t now);
  void reregister_node(Node& node, bool stale_handle, int64_t now);
  void serve_node(Node& node, int64_t now);
  void read_identity(Node& node, int64_t now);
  void set_note(Node& node, const std::string& note);
  void mark_error(Node& node);
  bool find_property(const std::string& name, EqFct** loc, D_fct** prop, std::string* local,
                     std::string* error);
  std::string do_get(const std::string& name);
  std::string do_set(const Command& cmd);
  std::string do_list(const std::string& loc);
  std::string do_sdo(const Command& cmd);
  Node* node_of(D_fct* p);
  int64_t now_us();

  const ServerOptions opts_;
  const std::string write_path_;
  std::string config_dir_;
  Config config_;
  std::mutex mx_;  // one command or one cycle at a time
  std::vector<std::unique_ptr<EqFct>> locations_;
  std::vector<EqFct*> write_order_;  // client-visible locations, in file order
  std::unique_ptr<EqFct> sdo_loc_;   // the SDO companions' private location
  EqFct* sim_loc_ = nullptr;
  std::vector<std::unique_ptr<Node>> nodes_;
  std::vector<D_simdevice*> devices_;
  std::map<int, std::unique_ptr<zsim::Bus>> buses_;  // by line
  int64_t t0_us_ = 0;
  std::atomic<bool> quit_{false};
};

}  // namespace zserver

#endif  // ZUNTAL_SERVER_SERVER_H
