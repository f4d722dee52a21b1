// service.h - the inside of the gateway, shared by its files:
//   service.cpp  the CAN service: listening sockets, accept, greetings and
//                hellos, the limits, idle drop, restart and the hung fault,
//                and what every session has in common (its threads, its
//                writer, its frames onto the net)
//   session.cpp  the sessions of the gateway's own wire protocol
//   nets.cpp     the served nets and the devices hosted on them
//   status.cpp   the status snapshot behind the page and /status.json
//   gateway.cpp  the public face (class Gateway) and option parsing
//
// A kind of client is a Protocol: the service owns one listening socket per
// protocol, keeps its connections among the greetings until the protocol
// has read a hello naming a net, then applies the limits (max_clients, the
// threads), opens a driver handle on the net and makes the protocol's
// Session. The service starts the session's reader thread, which starts the
// writer; the writer carries the net's frames to the client through
// Session::deliver(), the reader runs Session::serve() and hands the
// client's frames to Core::to_net(), and tells the client of a bridged
// interface going down, away and back (Session::link_changed). Idle drop,
// restart, the hung fault,
// msg_lost (the handle's queue of session_queue frames) and the status page
// work alike for every protocol.
#ifndef ZUNTAL_GATEWAY_SERVICE_H
#define ZUNTAL_GATEWAY_SERVICE_H

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge.h"
#include "gateway.h"
#include "ntcan.h"
#include "sim_bus.h"
#include "web.h"

namespace zgw {

// One served net: driver net local_net of this process.
struct NetState {
  int net = 0;
  int local_net = 0;
  std::atomic<uint64_t> on_bus{0};
  std::atomic<uint64_t> from_clients{0};
  std::atomic<uint64_t> to_clients{0};
  int observer = -1;
  std::unique_ptr<zsim::Bus> bus;
  std::unique_ptr<Bridge> bridge;  // a net bridged to a SocketCAN interface
  // What a handle on the net's medium would answer: 0, or the bridged
  // interface down (NTCAN_CONTR_OFF_BUS) or gone (NTCAN_NET_NOT_FOUND).
  NTCAN_RESULT link() const { return bridge ? bridge->link() : NTCAN_SUCCESS; }
};

class Protocol;

// One client after a good hello: a driver handle on its net, a reader thread
// serving the client's messages and a writer thread carrying the net's
// frames to it. The common part is the service's; the protocol's subclass
// speaks to the client.
class Session {
 public:
  virtual ~Session() = default;
  // Serves the client's messages on the reader thread until the connection
  // ends, the client closes or `stop` is set. Bytes that came with the hello
  // (`pending`) come first.
  virtual void serve(Core& core) = 0;
  // Sends n frames of the net to the client as whole messages; false when
  // the connection is broken. Called by the writer with wmx held.
  virtual bool deliver(const CMSG* frames, int n) = 0;
  // Tells the client that its net's medium changed (status as link()). The
  // writer calls it with wmx held; a session whose interface is gone ends
  // after it. False when the connection is broken.
  virtual bool link_changed(NTCAN_RESULT status) {
    (void)status;
    return true;
  }

  Protocol* proto = nullptr;
  uint64_t id = 0;
  int fd = -1;
  std::string peer;
  int64_t since = 0;                    // the gateway's clock, ns
  std::atomic<NetState*> net{nullptr};  // set once the hello is taken
  NTCAN_HANDLE handle = -1;
  std::vector<uint8_t> pending;  // what the client sent after its hello
  std::atomic<bool> stop{false};
  std::atomic<bool> finished{false};
  std::atomic<uint64_t> in{0};
  std::atomic<uint64_t> out{0};
  std::atomic<uint64_t> lost{0};  // frames the handle's queue dropped for the client
  std::atomic<int> ids{0};
  std::atomic<int64_t> last_active{0};  // the gateway's clock, ns: last bytes in or frames out
  std::mutex wmx;  // whole messages to the client; held from the hello answer on
  std::thread reader;
  std::thread writer;
};

// A connection that has not said hello yet: the service thread's alone.
struct Greeting {
  Protocol* proto = nullptr;
  int fd = -1;
  std::string peer;
  int64_t since = 0;  // the gateway's clock, ns
  std::vector<uint8_t> got;
};

// A kind of client: how it greets and what its session is.
class Protocol {
 public:
  virtual ~Protocol() = default;
  virtual const char* name() const = 0;  // the status page's "protocol"
  // A new connection (a protocol whose server speaks first greets here);
  // false closes it.
  virtual bool on_accept(int /*fd*/) { return true; }
  // The most bytes a hello can take; the service reads no more than that
  // before the session exists.
  virtual size_t max_hello() const = 0;
  enum class Hello { Wait, Drop, Refuse, Open };
  // Looks at what the connection sent so far: Wait (more to come), Drop
  // (not a client of ours: closed without an answer), Refuse (answered with
  // *status and closed) or Open on gateway net *net, the hello taking the
  // first *used bytes.
  virtual Hello parse_hello(const std::vector<uint8_t>& got, int* net, NTCAN_RESULT* status,
                            size_t* used) = 0;
  // Answers a hello: NTCAN_SUCCESS or the reason of a refusal. False when
  // the connection is broken.
  virtual bool answer_hello(int fd, NTCAN_RESULT status) = 0;
  virtual std::shared_ptr<Session> make_session() = 0;
};

// The gateway's own binary protocol (gateway_wire.h, docs/gateway.md).
std::unique_ptr<Protocol> make_wire_protocol();
// The socketcand protocol (socketcand_session.cpp).
std::unique_ptr<Protocol> make_socketcand_protocol(Core& core);
// A net's bus name for socketcand clients: the interface's name for a
// bridged net, zuntalN for simulated gateway net N.
std::string bus_name(const NetState& ns);

// Sends all n bytes (the socket's send time-out bounds it); false on error.
bool send_all(int fd, const uint8_t* p, size_t n);

// A listening socket of the CAN service.
struct Listener {
  std::unique_ptr<Protocol> proto;
  std::atomic<int> port{0};  // asked for; the bound one after start
  int fd = -1;
};

class Core {
 public:
  Core(Gateway& gw, Options o);

  // The gateway's clock (Options::clock or the steady clock), ns.
  int64_t now() const;

  // ---- nets.cpp
  int setup_nets(std::string* error);  // 0, or -1 with *error
  void start_devices();
  void drop_nets();
  NetState* find_net(int net);

  // ---- status.cpp
  Status status() const;

  // ---- service.cpp
  int open_listeners(std::string* error);
  void close_listeners();
  void service_loop();
  void wake();
  // Frames of a client onto its net (the driver refuses malformed ones as a
  // whole); the number taken.
  int to_net(Session& s, CMSG* frames, int n);
  // Marks traffic from the client.
  void touch(Session& s) { s.last_active.store(now(), std::memory_order_relaxed); }
  // Blocks while the service hangs; false when the session is to end.
  bool wait_unhung(Session& s);

  Gateway& gw;
  Options opt;
  std::vector<std::unique_ptr<NetState>> nets;
  std::vector<std::unique_ptr<Listener>> listeners;  // [0]: the wire protocol on can_port
  std::unique_ptr<Web> web;

  mutable std::mutex mx;
  std::condition_variable cv;     // hung fault cleared, session stopping, restart pause
  std::atomic<bool> hung{false};  // written under mx
  bool stopping = false;
  bool restart_wanted = false;
  bool up = false;
  bool started = false;
  uint64_t restarts = 0;
  uint64_t connections = 0;
  uint64_t next_session = 1;
  std::atomic<uint64_t> unauthorized{0};
  std::atomic<uint64_t> refused{0};
  std::atomic<uint64_t> idle_dropped{0};
  std::atomic<uint64_t> accept_failures{0};
  std::vector<std::shared_ptr<Session>> sessions;
  int64_t unhung_at = 0;  // the gateway's clock; idle time counts from here at the most

  int wake_fd = -1;
  std::thread service;

 private:
  // The service thread's:
  std::vector<Greeting> greetings;
  std::chrono::steady_clock::time_point accept_resume;  // no accept before, after a failure

  template <typename Fn>
  bool start_thread(std::thread* th, Fn fn);
  void run_session(const std::shared_ptr<Session>& sp);
  void write_loop(Session& s);
  size_t live_sessions();
  void take_hello(Greeting& g, int net, size_t used);
  bool read_hello(Greeting& g);
  void take_connection(Protocol* proto, int fd, const sockaddr_storage& ss);
  void close_greetings();
  int64_t drop_idle();
  void finish(const std::shared_ptr<Session>& s);
  bool reap();
  void drop_all();
  void restart_service();
};

}  // namespace zgw

#endif  // ZUNTAL_GATEWAY_SERVICE_H
