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
// Recovery: any failing fill status (or -1 from can_array), and any failing
// driver call of the node's guarding request, NMT start or SDO companion,
// may mean that the node's handle is dead (its connection gone, or closed
// with the line). While the line is closed the node shows state 2 ("Error")
// and waits; once the line is open again the server closes the node's
// handles (never the line's own), registers the node again, reads its
// identity and starts it. A node heard again after it fell silent is read
// and started afresh too.
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
  // Host them also on a line whose net is not the simulated bus (SocketCAN,
  // gateway): there they would answer beside the real nodes, so only when
  // asked for (--devices-on-any-medium).
  bool devices_on_any_medium = false;
  // false: the devices run in real time (a runner thread per bus); true:
  // their time is the framework clock, moved on at every cycle (tests).
  bool devices_follow_cycle = false;
  int period_ms = 100;          // shown in the title; the caller paces the cycles
  int guard_ms = 1000;          // a node not heard for this long gets a guarding request
  int alive_timeout_ms = 3000;  // a node not heard for this long shows state 2 "Error"
  // `sdo` commands move objects of more than this many bytes by SDO block
  // transfer (also set by the command "sdo block BYTES").
  int sdo_block_threshold = 256;
  int sync_ms = 0;  // SYNC period of every line (0: no SYNC)
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
  // the file cannot be read or holds no configuration at all (nothing is
  // ever written over such a file). Bad lines are reported and kept for the
  // write-back; stale temporary files of an interrupted write are removed.
  int load();
  // First registration of every node.
  void start();
  // One update cycle.
  void cycle();
  // One client command; the answer is one line without its line feed.
  std::string execute(const std::string& command);
  // Writes the configuration back (a new file, then a rename), with the
  // lines that no property took kept verbatim. 0, or -1 (also when load()
  // did not succeed).
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
    ServerCan* can = nullptr;  // the node property (owned here)
    // Its process data, NODE.PDO: mappings read by SDO once the node runs.
    std::unique_ptr<D_canpdo> pdo;
    bool pdo_read = false;
    std::unique_ptr<ServerCan> sdo;  // its direct-mode SDO companion
    enum class Phase { Off, Waiting, Probing, Running } phase = Phase::Off;
    bool needs_register = true;
    bool in_list = false;  // registered as its node's master
    bool line_down = false;
    bool silent = false;
    // A driver call other than the fill failed (guarding request, NMT
    // start, SDO companion): the node registers again like after a failed
    // fill. The status, for the note and the message.
    int call_failed = 0;
    bool failing = false;     // a run of failures has been reported
    bool answered = false;    // heard while probing; its identity is read next
    int unheard_retries = 0;  // registrations since the last frame heard
    IIII addr;                // the address of the last registration
    int64_t registered_us = 0, last_heard_us = -1, last_guard_us = -1, next_try_us = 0;
    int last_state = -1;
    std::string emergency;
    int emergencies = 0;
    int frames = 0;
    int reregistrations = 0;
    std::string note;
    bool identity_read = false;  // read from the node in this run
    // A client's SDO command is using the companion outside the server's
    // lock: the cycle leaves the companion alone (no identity read, no
    // close); a registration meanwhile only marks it stale, and the command
    // closes it when it is done, so that its next user opens it afresh.
    bool sdo_busy = false;
    bool sdo_stale = false;
  };

  void report(const std::string& text);
  void report_line(int line, const std::string& text);
  std::string address_problem(const Node& node, const IIII& a) const;
  void register_node(Node& node, int64_t now);
  void reregister_node(Node& node, int64_t now);
  void handle_failure(Node& node, int status, int64_t now);
  void serve_node(Node& node, int64_t now);
  void read_identity(Node& node);
  void drop_companion(Node& node);
  void set_note(Node& node, const std::string& note);
  void mark_error(Node& node);
  bool find_property(const std::string& name, EqFct** loc, D_fct** prop, std::string* local,
                     std::string* error);
  std::string do_get(const std::string& name);
  std::string do_set(const Command& cmd);
  std::string do_list(const std::string& loc);
  std::string do_sdo(const Command& cmd);
  std::string do_pdo(const Command& cmd);
  void read_pdo_mappings(Node& node);
  void follow_setpoints();
  Node* node_of(D_fct* p);
  int64_t now_us();

  const ServerOptions opts_;
  std::atomic<int> sdo_block_threshold_;
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
  std::string medium_text(int line) const;
  int64_t t0_us_ = 0;
  int64_t cycle_start_us_ = 0;
  bool identity_read_in_cycle_ = false;
  std::atomic<bool> quit_{false};
  bool loaded_ = false;  // load() succeeded: write_config() may replace the file
};

}  // namespace zserver

#endif  // ZUNTAL_SERVER_SERVER_H
