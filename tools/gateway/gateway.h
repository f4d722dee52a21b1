// gateway.h - a network CAN gateway: serves nets of this process's driver
// over TCP (wire protocol in gateway_wire.h and docs/gateway.md), hosts
// simulated CANopen devices on them, and has a web interface through which
// it is reset.
//
// Each served net is a simulated net of the project's driver in this
// process: gateway net k is driver net local_net_base + k. Every TCP client
// becomes a handle of its own on that net, so clients hear each other and the
// hosted devices as the handles of one process do. A net may be bridged to a
// SocketCAN interface (bridge.h): the interface's traffic then joins it.
//
// The CAN service can be made to hang (a fault of real gateways): it then
// accepts no connection and answers nothing on the connections it has, until
// it is restarted through the web interface (POST /Forms/Firmware with
// FWUpdReset=1 and the fixed login) or the fault is cleared.
#ifndef ZUNTAL_GATEWAY_H
#define ZUNTAL_GATEWAY_H

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zgw {

class Core;  // service.h

struct DeviceEntry {
  int net = 0;   // gateway net
  int node = 0;  // node id, 0: the EDS file's own
  std::string eds;
};

struct BridgeEntry {
  int net = 0;         // gateway net
  std::string ifname;  // SocketCAN interface, e.g. "can0"
};

struct Options {
  std::string listen = "127.0.0.1";  // address of both services
  int can_port = 2209;               // 0: any free port
  // The socketcand service (socketcand_session.cpp): 0 any free port, -1
  // none. The program's default is socketcand's own port, 29536.
  int socketcand_port = -1;
  int http_port = 8080;      // 0: any free port, -1: no web interface
  std::vector<int> nets{0};  // gateway nets served (0 to 255)
  int local_net_base = 0;    // gateway net k is driver net base + k
  std::vector<DeviceEntry> devices;
  // Nets bridged to SocketCAN interfaces (served whether listed in nets or
  // not); each takes a further driver net of this process, the highest free.
  std::vector<BridgeEntry> bridges;
  bool hung = false;            // start with the CAN service hung
  bool admin = true;            // accept /admin/* requests from loopback
  int restart_pause_ms = 1000;  // the CAN service is away this long on reset
  int session_queue = 65536;    // receive queue of each client's handle
  // Bounds against clients that take more than they use (docs/gateway.md).
  int max_clients = 320;         // sessions at once; further hellos are refused
  int idle_timeout_ms = 300000;  // a session without traffic this long is dropped; 0: never
  int hello_timeout_ms = 5000;   // a new connection has this long to send its hello
  // Tests: called before each thread the CAN service starts for a session;
  // it may throw std::system_error as a refused thread start does.
  std::function<void()> before_thread_start;
  // The clock of the idle and hello time-outs and of the clients'
  // connected time: nanoseconds on a steady clock. Empty: the system's
  // steady clock. Tests drive a clock of their own and call time_moved().
  std::function<int64_t()> clock;
  std::string user = "tavroadm";  // login of the web interface's reset form
  std::string password = "kix7parlo";
};

struct ClientInfo {
  uint64_t id = 0;
  std::string peer;          // address:port
  std::string protocol;      // the protocol the client speaks ("zuntal": the gateway's own)
  uint64_t frames_in = 0;    // from the client onto the net
  uint64_t frames_out = 0;   // from the net to the client
  uint64_t frames_lost = 0;  // dropped for the client: it read too slowly
  int ids = 0;               // identifiers enabled
  double seconds = 0;        // connected for
};

struct DeviceInfo {
  int node = 0;
  std::string name;
  std::string state;
  uint64_t frames_sent = 0;
};

struct NetInfo {
  int net = 0;
  int local_net = 0;
  std::string medium = "simulated";  // or "socketcan": bridged to an interface
  // A bridged net's interface: its name, its state ("up", "down", "gone")
  // and the frames the bridge carried from it, to it, and lost on the way.
  std::string iface;
  std::string iface_state;
  uint64_t iface_in = 0;
  uint64_t iface_out = 0;
  uint64_t iface_dropped = 0;
  uint64_t frames_on_bus = 0;        // every frame on the net, devices' too
  uint64_t frames_from_clients = 0;  // put on the net by clients
  uint64_t frames_to_clients = 0;    // carried to clients
  std::vector<ClientInfo> clients;
  std::vector<DeviceInfo> devices;
};

struct Status {
  std::string listen;
  int can_port = 0;
  int socketcand_port = -1;
  int http_port = -1;
  bool service_up = false;  // listening (not between a reset's drop and return)
  bool hung = false;
  uint64_t restarts = 0;      // completed restarts of the CAN service
  uint64_t connections = 0;   // connections accepted since start
  uint64_t unauthorized = 0;  // reset requests refused for their login
  int max_clients = 0;
  uint64_t refused = 0;          // hellos refused: client limit reached or no thread to serve it
  uint64_t idle_dropped = 0;     // sessions ended for lack of traffic
  uint64_t accept_failures = 0;  // accepts that failed for lack of descriptors or memory
  std::vector<NetInfo> nets;
};

class Gateway {
 public:
  explicit Gateway(Options options);
  ~Gateway();  // stop()
  Gateway(const Gateway&) = delete;
  Gateway& operator=(const Gateway&) = delete;

  // Binds both services, hosts the devices and starts serving. Returns 0, or
  // -1 with a message in *error.
  int start(std::string* error);
  void stop();

  int can_port() const;         // the bound port, valid after start()
  int socketcand_port() const;  // the bound port, -1 without the socketcand service
  int http_port() const;        // -1 without a web interface

  // The hung fault: no connection is accepted, no message answered.
  void set_hung(bool hung);
  bool hung() const;
  // Restarts the CAN service in the background: every connection drops, the
  // service is away for restart_pause_ms, then back with the fault cleared.
  void restart();
  bool service_up() const;
  uint64_t restarts() const;
  // Counts a reset request refused for its login (the web interface).
  void note_unauthorized();
  // Counts an accept of the web interface that failed for lack of room.
  void note_accept_failure();

  // Options::clock moved: the service looks at its time-outs again.
  void time_moved();

  Status status() const;
  const Options& options() const;

 private:
  std::unique_ptr<Core> core_;
};

// The status page and its machine-readable twin.
std::string status_html(const Status& st, bool admin);
std::string status_json(const Status& st);

// Parses "NET:NODE:PATH" (node decimal or 0x hex). False with *error.
bool parse_device(const std::string& entry, DeviceEntry* out, std::string* error);
// Parses "NET:IFACE" (e.g. "0:can0"). False with *error.
bool parse_bridge(const std::string& entry, BridgeEntry* out, std::string* error);
// Parses "0,2,5" into gateway nets. False with *error.
bool parse_net_list(const std::string& list, std::vector<int>* out, std::string* error);

}  // namespace zgw

#endif  // ZUNTAL_GATEWAY_H
