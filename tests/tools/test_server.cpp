// The example server driven in-process: through its client socket, through
// a line outage, and with a configuration full of mistakes.
//
// Time is the framework's clock. Pauses of a few milliseconds (around
// opening and closing handles, before a software-version read) pass at once
// and move the clock on; longer ones (the line supervision's) wait until the
// test moves the clock, in steps of one update cycle.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <thread>

#include "client_io.h"
#include "ntcan_ctl.h"
#include "server.h"
#include "tavro_test.h"
#include "terminal.h"
#include "zuntal_test.h"

namespace {

class HybridClock : public tavro::ManualClock {
 public:
  void sleep_us(int64_t us) override {
    if (us < 500000) {
      advance_us(us);
      return;
    }
    ManualClock::sleep_us(us);
  }
};

const std::string kExamples = ZUNTAL_EXAMPLES_DIR;

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ntcan_ctl::reset();
    zuntal_test::reset();
    clock_ = std::make_unique<HybridClock>();
    char tmpl[] = "/tmp/zuntal_server_test.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    server_.reset();
    EXPECT_TRUE(zuntal_test::reset());
    ntcan_ctl::reset();
    clock_.reset();
    std::string cmd = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
  }

  std::string write_file(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    return path;
  }

  // Three nodes on line 1 with their simulated devices.
  std::string three_nodes() {
    return "LOCATION CANOPEN.LINE1\n"
           "NODE5 \t1  5  0  0\nNODE5.BAUDRATE\t6\n"
           "NODE12 \t1  12  0  0\nNODE12.BAUDRATE\t6\n"
           "NODE32 \t1  32  0  0\nNODE32.BAUDRATE\t6\n"
           "LOCATION SIMULATION\n"
           "DEVICE5\t1 5 \"" +
           kExamples +
           "/zps48.eds\"\n"
           "DEVICE12\t1 12 \"" +
           kExamples +
           "/zmc200.eds\"\n"
           "DEVICE32\t1 32 \"" +
           kExamples + "/zio8.eds\"\n";
  }

  void make_server(const std::string& config, const std::string& write_path = "") {
    zserver::ServerOptions o;
    o.config_path = config;
    o.write_path = write_path;
    o.devices_follow_cycle = true;
    server_ = std::make_unique<zserver::Server>(o);
    ASSERT_EQ(server_->load(), 0);
    server_->start();
  }

  // One update cycle, 100 ms after the last one. The line supervision gets
  // to run what falls due before the cycle.
  void step() {
    clock_->advance_us(100000);
    clock_->wait_for_sleepers(zuntal_test::running_supervision_threads(), 2000);
    server_->cycle();
  }
  // Cycles until `done` holds, for at most `seconds` of the framework clock.
  bool run_until(const std::function<bool()>& done, int seconds) {
    for (int k = 0; k < seconds * 10; ++k) {
      if (done()) return true;
      step();
    }
    return done();
  }
  void run_for(int ms) {
    for (int k = 0; k < ms / 100; ++k) step();
  }
  std::string get(const std::string& name) { return server_->execute("get " + name); }
  bool all_operational() {
    for (const char* n : {"NODE5", "NODE12", "NODE32"})
      if (get(std::string(n) + ".CONDITION") != "Operational") return false;
    return true;
  }

  std::unique_ptr<HybridClock> clock_;
  std::string dir_;
  std::unique_ptr<zserver::Server> server_;
};

// A client of the server's socket: one line out, one line back.
class SocketClient {
 public:
  explicit SocketClient(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a;
    std::memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ok_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~SocketClient() { ::close(fd_); }
  bool ok() const { return ok_; }
  std::string ask(const std::string& line) {
    std::string out = line + "\n";
    if (::send(fd_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size()))
      return "<send failed>";
    return next_line();
  }
  // The next line the server sent, unasked.
  std::string next_line() {
    std::string answer;
    while (true) {
      size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        answer = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return answer;
      }
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return "<no answer>";
      char b[512];
      ssize_t n = ::read(fd_, b, sizeof b);
      if (n <= 0) return "<closed>";
      buf_.append(b, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::string buf_;
};

TEST_F(ServerTest, ClientsStartStopAndMoveNodesAndTheFileKeepsIt) {
  const std::string written = dir_ + "/written.conf";
  make_server(write_file("server.conf", three_nodes()), written);
  ASSERT_TRUE(run_until([&] { return all_operational(); }, 10));
  EXPECT_EQ(get("NODE5.MANU"), "ZPS-48 Power Supply");
  EXPECT_EQ(get("NODE12.SWVER"), "2.3.11 build 4711") << "a segmented identity text";
  EXPECT_EQ(get("NODE32.HWVER"), "1.0") << "an expedited identity text";

  zserver::ClientIo io([this](const std::string& l) { return server_->execute(l); },
                       [](const std::string&, const std::string&) {});
  std::string err;
  ASSERT_EQ(io.listen(dir_ + "/srv.sock", &err), 0) << err;
  io.start();
  SocketClient c(dir_ + "/srv.sock");
  ASSERT_TRUE(c.ok());

  // Stop a node and start it again; its condition follows its heartbeat.
  EXPECT_EQ(c.ask("set NODE12.STOP 1"), "ok");
  ASSERT_TRUE(run_until([&] { return c.ask("get NODE12.CONDITION") == "Stopped"; }, 3));
  EXPECT_EQ(c.ask("get NODE12.ALIVE"), "4");
  EXPECT_EQ(c.ask("set NODE12.START 1"), "ok");
  ASSERT_TRUE(run_until([&] { return c.ask("get NODE12.CONDITION") == "Operational"; }, 3));
  EXPECT_EQ(c.ask("get NODE12.START"), "1");

  // A reset brings the node's boot-up; it stays pre-operational until started.
  EXPECT_EQ(c.ask("set NODE32.RESET 1"), "ok");
  ASSERT_TRUE(run_until([&] { return c.ask("get NODE32.CONDITION") == "Preoperational"; }, 3));
  run_for(2000);
  EXPECT_EQ(c.ask("get NODE32.CONDITION"), "Preoperational");

  // An emergency is reported and shown with the node.
  zsim::Bus* bus = server_->bus(1);
  ASSERT_NE(bus, nullptr);
  ASSERT_TRUE(bus->find(5)->emergency(0x3210, 0x04, {1, 2, 3, 4, 5}));
  tavro::MessageCapture msgs;
  step();
  EXPECT_EQ(msgs.count("D_can::can_emergency", "0x10 0x32 0x4 0x1 "), 1);
  bool shown = false;
  for (const zserver::NodeRow& r : server_->rows())
    if (r.name == "NODE5")
      shown = r.emergencies == 1 &&
              r.emergency ==
                  "code 0x3210 (voltage inside the device) register 0x04 data 01 02 03 04 05";
  EXPECT_TRUE(shown);

  // Bad requests get an error line and change nothing.
  EXPECT_EQ(c.ask("get NODE9.ALIVE"), "error: unknown property NODE9.ALIVE");
  EXPECT_EQ(c.ask("set NODE5.START go").rfind("error: NODE5.START takes one integer", 0), 0u);
  EXPECT_EQ(c.ask("set NODE5 21 5 0 0"), "error: line 21 is outside 1 to 20");
  EXPECT_EQ(c.ask("set NODE5 1 32"), "error: line 1 node 32 is already NODE32's");
  EXPECT_EQ(c.ask("set NODE5 1"), "error: NODE5 takes line, node id [id3 [id4]]");
  EXPECT_EQ(c.ask("set SIMULATION/DEVICE5 1 6 x").rfind("error: DEVICE5: simulated devices", 0),
            0u);
  EXPECT_EQ(c.ask("get NODE5"), "1 5 0 0");
  EXPECT_EQ(c.ask("bogus").rfind("error: unknown command", 0), 0u);
  EXPECT_EQ(c.ask("get SIMULATION/DEVICE32"), "1 32 " + kExamples + "/zio8.eds");
  const std::string names = c.ask("list");
  EXPECT_NE(names.find("CANOPEN.LINE1/NODE5.CONDITION"), std::string::npos) << names;
  EXPECT_NE(names.find("SIMULATION/DEVICE12"), std::string::npos) << names;
  EXPECT_EQ(names.find("SDO"), std::string::npos) << "the SDO companions are not shown";

  // Move NODE5 to node 7, where no device answers.
  EXPECT_EQ(c.ask("set NODE5 1 7 0 0"), "ok");
  EXPECT_EQ(c.ask("get NODE5"), "1 7 0 0");
  EXPECT_EQ(c.ask("get NODE5.MANU"), "");
  ASSERT_TRUE(run_until([&] { return c.ask("get NODE5.CONDITION") == "Error"; }, 5));
  EXPECT_TRUE(all_operational() == false);
  EXPECT_EQ(get("NODE12.CONDITION"), "Operational") << "the other nodes go on";

  EXPECT_EQ(c.ask("quit"), "ok: stopping");
  EXPECT_TRUE(server_->quit_requested());
  io.stop();
  ASSERT_EQ(server_->write_config(), 0);

  Config back;
  ASSERT_EQ(back.load(written), 0);
  EXPECT_EQ(back.errors(), 0);
  D_conf_struct* r = back.find("CANOPEN.LINE1", "NODE5");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->ints, (std::vector<int>{1, 7, 0, 0}));
  r = back.find("CANOPEN.LINE1", "NODE12.BAUDRATE");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->ints, (std::vector<int>{6}));
  r = back.find("CANOPEN.LINE1", "NODE12.MANU");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->tokens, (std::vector<std::string>{"ZMC-200 Motor Controller"}));
  r = back.find("SIMULATION", "DEVICE5");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->tokens, (std::vector<std::string>{"1", "5", kExamples + "/zps48.eds"}));

  // The next start reads the written file back to the same addresses.
  server_.reset();
  ASSERT_TRUE(zuntal_test::reset());
  ntcan_ctl::reset();
  make_server(written);
  EXPECT_EQ(get("NODE5"), "1 7 0 0");
  EXPECT_EQ(get("NODE12"), "1 12 0 0");
  ASSERT_TRUE(run_until([&] { return get("NODE12.CONDITION") == "Operational"; }, 5));
}

// SDO reads and writes of the simulated devices' objects from a client,
// with the abort texts on failure.
TEST_F(ServerTest, SdoCommandsReadAndWriteDeviceObjects) {
  make_server(write_file("server.conf", three_nodes()));
  ASSERT_TRUE(run_until([&] { return all_operational(); }, 10));
  zsim::Bus* bus = server_->bus(1);
  ASSERT_NE(bus, nullptr);
  bus->find(5)->write_object(0x2100, 0, {});  // a read-write DOMAIN

  auto ask = [&](const std::string& l) { return server_->execute(l); };
  // The examples of docs/server.md, on the shipped device description.
  EXPECT_EQ(ask("sdo NODE5 read 0x1017 0"), "2 bytes: E8 03");
  EXPECT_EQ(ask("sdo NODE5 write 0x2004 0 some text"), "ok");
  EXPECT_EQ(ask("sdo NODE5 read 0x2004 0"), "9 bytes: 73 6F 6D 65 20 74 65 78 74 \"some text\"");
  EXPECT_EQ(ask("sdo NODE32 read 0x1009 0"), "3 bytes: 31 2E 30 \"1.0\"");
  EXPECT_EQ(ask("sdo NODE5 write 0x1017 0 DC 05"), "ok");
  EXPECT_EQ(ask("sdo NODE5 read 0x1017 0"), "2 bytes: DC 05");
  EXPECT_EQ(ask("sdo NODE5 write 0x2100 0 a segmented text"), "ok");
  EXPECT_EQ(ask("sdo NODE5 read 0x2100 0"),
            "16 bytes: 61 20 73 65 67 6D 65 6E 74 65 64 20 74 65 78 74 \"a segmented text\"");
  std::vector<uint8_t> v;
  ASSERT_TRUE(bus->find(5)->read_object(0x2100, 0, &v));
  EXPECT_EQ(std::string(v.begin(), v.end()), "a segmented text");
  const std::string manu = ask("sdo NODE12 read 0x1008 0");
  EXPECT_EQ(manu.rfind("24 bytes: 5A 4D 43 2D", 0), 0u) << manu;
  EXPECT_EQ(manu.substr(manu.size() - 26), "\"ZMC-200 Motor Controller\"") << manu;

  EXPECT_EQ(ask("sdo NODE5 write 0x1008 0 \"X\""),
            "error: abort 0x06010002 attempt to write a read only object");
  EXPECT_EQ(ask("sdo NODE5 read 0x2FFF 0"),
            "error: abort 0x06020000 object does not exist in the object dictionary");
  EXPECT_EQ(ask("sdo NODE5 write 0x1017 0 01"),
            "error: abort 0x06070013 data type does not match, length of service parameter too "
            "low");
  EXPECT_EQ(ask("sdo NODE9 read 0x1008 0"), "error: unknown node NODE9");
  EXPECT_EQ(get("NODE5.CONDITION"), "Operational") << "the node goes on";

  // Objects over the threshold (256 bytes, settable) go by block transfer,
  // and the answer says so; so does a fallback after the device's refusal.
  const std::string big(300, 'b');
  EXPECT_EQ(ask("sdo NODE5 write 0x2100 0 " + big), "ok (block transfer)");
  EXPECT_EQ(ask("sdo NODE5 read 0x2100 0").substr(0, 39),
            "300 bytes (block transfer): 62 62 62 62");
  EXPECT_EQ(ask("sdo block 300"), "ok: objects of more than 300 bytes go by block transfer");
  EXPECT_EQ(ask("sdo NODE5 read 0x2100 0").substr(0, 20), "300 bytes: 62 62 62 ");
  EXPECT_EQ(ask("sdo block 0"), "ok: objects of more than 0 bytes go by block transfer");
  bus->find(5)->set_block_fault(zsim::BlockFault::Refuse);
  EXPECT_EQ(ask("sdo NODE5 write 0x2100 0 " + big),
            "ok (segmented: block transfer refused, abort 0x05040001 client/server command "
            "specifier not valid or unknown)");
}

// The pdo commands: a voltage set-point sent by RPDO comes back in the
// simulated supply's voltage TPDO, shown by NODE5.PDO and the display.
TEST_F(ServerTest, PdoCommandsSendASetPointAndShowTheTpdoValues) {
  make_server(write_file("server.conf", three_nodes()));
  ASSERT_TRUE(run_until([&] { return all_operational() && get("NODE5.PDO") != ""; }, 10));
  auto ask = [&](const std::string& l) { return server_->execute(l); };
  EXPECT_EQ(ask("pdo NODE5 1 36.5"), "ok");
  const std::string shown = "TPDO1: Output voltage measured=36.5 Output current measured=0";
  ASSERT_TRUE(run_until([&] { return get("NODE5.PDO") == shown; }, 2)) << get("NODE5.PDO");
  EXPECT_EQ(ask("pdo NODE5"), shown);
  EXPECT_EQ(server_->rows()[0].pdo, shown);
  const std::pair<const char*, const char*> bad[] = {
      {"pdo NODE5 1 abc", "error: \"abc\" is no REAL32 for Output voltage setpoint"},
      {"pdo NODE5 2 1", "error: NODE5 has no RPDO2"},
      {"pdo NODE5 1 1 2", "error: RPDO1 takes 1 values"},
      {"pdo NODE9", "error: unknown node NODE9"},
      // An UNSIGNED8 output takes 0 to 255, nothing cut to its bits.
      {"pdo NODE32 1 256 0", "error: \"256\" is no UNSIGNED8 for Write output 1h to 8h"},
      {"pdo NODE32 1 0 -1", "error: \"-1\" is no UNSIGNED8 for Write output 9h to 10h"},
      {"pdo NODE32 1 255 0", "ok"},
  };
  for (const auto& b : bad) EXPECT_EQ(ask(b.first), b.second);
}

// An SDO transfer to a node that never answers waits 2 to 3 s for its
// answer. The update cycles go on meanwhile (they would block on the
// server's lock if the transfer held it), other commands are answered, and
// the transfer's answer arrives when its wait has run out. The node moves
// away and back during the transfer: its companion is left to the transfer
// and opened afresh afterwards.
TEST_F(ServerTest, AnSdoCommandToASilentNodeLetsTheCyclesRun) {
  std::string conf = three_nodes();
  const std::string last = "NODE32.BAUDRATE\t6\n";
  conf.insert(conf.find(last) + last.size(), "NODE7 \t1  7  0  0\n");
  conf += "DEVICE7\t1 7 \"" + kExamples + "/zio8.eds\"\n";
  make_server(write_file("server.conf", conf));
  auto four_operational = [&] {
    return all_operational() && get("NODE7.CONDITION") == "Operational";
  };
  ASSERT_TRUE(run_until(four_operational, 10));
  const int handles = ntcan_ctl::open_handles();
  zsim::Bus* bus = server_->bus(1);
  ASSERT_NE(bus, nullptr);
  ASSERT_TRUE(bus->remove(7));

  // A handle of the test's own sees the transfer's request to node 7.
  NTCAN_HANDLE probe = -1;
  ASSERT_EQ(canOpen(0, 0, 10, 100, 0, 0, &probe), NTCAN_SUCCESS);
  ASSERT_EQ(canIdAdd(probe, 0x607), NTCAN_SUCCESS);
  std::atomic<bool> answered{false};
  std::string answer;
  std::thread client([&] {
    answer = server_->execute("sdo NODE7 read 0x1008 0");
    answered = true;
  });
  bool requested = false;
  for (int k = 0; k < 2000 && !requested; ++k) {
    CMSG m{};
    int32_t n = 1;
    requested = canTake(probe, &m, &n) == NTCAN_SUCCESS && n == 1 && m.data[0] == 0x40;
    if (!requested) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  canClose(probe);
  EXPECT_TRUE(requested);

  // Cycles while the transfer waits. A cycle that does not come back within
  // 10 s of real time waits for the transfer: the clock then lets the
  // transfer end, so the test fails instead of hanging.
  int cycles = 0;
  bool stalled = false;
  for (int k = 0; k < 50 && !answered && !stalled; ++k) {
    auto c = std::async(std::launch::async, [&] { step(); });
    if (c.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      stalled = true;
      clock_->advance_s(10);
    }
    c.wait();
    if (!answered) ++cycles;
    if (k == 5) {
      EXPECT_FALSE(answered);
      EXPECT_EQ(get("NODE12.CONDITION"), "Operational") << "a command between the cycles";
      EXPECT_EQ(server_->execute("sdo NODE7 read 0x1000 0"),
                "error: NODE7 is busy with another SDO transfer");
      EXPECT_EQ(server_->execute("sdo NODE5 read 0x1017 0").rfind("2 bytes:", 0), 0u)
          << "another node's companion is free";
      // A move, and the cycle's registration at the new address, while the
      // transfer uses the companion.
      EXPECT_EQ(server_->execute("set NODE7 1 9 0 0"), "ok");
    }
    if (k == 7) {
      EXPECT_EQ(server_->execute("set NODE7 1 7 0 0"), "ok");
    }
  }
  client.join();
  EXPECT_FALSE(stalled) << "a cycle waited for the SDO transfer";
  EXPECT_GE(cycles, 19) << "at least 2 s of cycles while the transfer waited";
  EXPECT_EQ(answer, "error: no answer in time, or a toggle error");
  EXPECT_TRUE(all_operational()) << "the other nodes were served meanwhile";

  // Node 7 is back: its identity is read through the companion, opened
  // afresh, and the next transfer is answered.
  std::string err;
  ASSERT_NE(bus->add(7, kExamples + "/zio8.eds", &err), nullptr) << err;
  ASSERT_TRUE(run_until(four_operational, 10));
  EXPECT_EQ(get("NODE7.MANU"), "ZIO8");
  EXPECT_EQ(server_->execute("sdo NODE7 read 0x1008 0"), "4 bytes: 5A 49 4F 38 \"ZIO8\"");
  EXPECT_EQ(ntcan_ctl::open_handles(), handles) << "no companion handle left behind";
}

// The client channels cut requests at line ends whatever pieces they arrive
// in, answer each one, and outlive a misbehaving client.
// The messages pane's capture of standard output: a child process that
// inherited it and stays (as the line supervision's wget may, for minutes)
// does not hold up the stop, and what was written before, a partial last
// line included, is delivered.
TEST(OutputCaptureTest, AChildThatKeepsTheOutputOpenDoesNotHoldTheStop) {
  std::mutex mx;
  std::vector<std::string> lines;
  auto seen = [&](const std::string& l) {
    std::lock_guard<std::mutex> g(mx);
    return std::count(lines.begin(), lines.end(), l) == 1;
  };
  zserver::OutputCapture cap;
  ASSERT_EQ(0, cap.start({STDOUT_FILENO}, [&](const std::string& l) {
    std::lock_guard<std::mutex> g(mx);
    lines.push_back(l);
  }));
  std::printf("before\n");
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child == 0) {
    const char text[] = "from the child\n";
    (void)!::write(STDOUT_FILENO, text, sizeof text - 1);
    ::pause();
    ::_exit(0);
  }
  ASSERT_GT(child, 0);
  for (int k = 0; k < 5000 && !seen("from the child"); ++k) usleep(1000);
  std::printf("partial");
  auto stopped = std::async(std::launch::async, [&] { cap.stop(); });
  const bool in_time = stopped.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  ::kill(child, SIGKILL);  // also ends a stop that waits for the child
  ::waitpid(child, nullptr, 0);
  stopped.wait();
  EXPECT_TRUE(in_time) << "stop() waited for the child that kept the pipe open";
  EXPECT_TRUE(seen("before"));
  EXPECT_TRUE(seen("from the child"));
  EXPECT_TRUE(seen("partial"));
}

TEST(ClientChannels, OneAnswerPerLineOnEveryChannel) {
  std::mutex mx;
  std::vector<std::string> seen, input_answers;
  zserver::ClientIo io(
      [&](const std::string& l) {
        std::lock_guard<std::mutex> g(mx);
        seen.push_back(l);
        return l.empty() ? std::string() : "echo " + l;
      },
      [&](const std::string&, const std::string& a) {
        std::lock_guard<std::mutex> g(mx);
        input_answers.push_back(a);
      });
  char tmpl[] = "/tmp/zuntal_io_test.XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  std::ofstream(dir + "/plain-file") << "x";
  std::string err;
  EXPECT_EQ(io.listen(dir + "/plain-file", &err), -1) << "an ordinary file is not replaced";
  EXPECT_NE(err.find("not a socket"), std::string::npos) << err;
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  io.read_fd(pipe_fds[0]);
  ASSERT_EQ(io.listen(dir + "/s.sock", &err), 0) << err;
  io.start();

  // Standard input: a request in two pieces, a CRLF line, and a last line
  // without its line feed before the end of input.
  auto put = [&](const std::string& s) {
    ASSERT_EQ(write(pipe_fds[1], s.data(), s.size()), static_cast<ssize_t>(s.size()));
  };
  put("get A");
  SocketClient c(dir + "/s.sock");
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c.ask("get B"), "echo get B");
  put(".X\r\nlist\nquit");
  close(pipe_fds[1]);
  // Lines of up to 4096 characters are taken, also with a CR LF ending.
  const std::string x4096(4096, 'x');
  const std::pair<std::string, bool> lines[] = {
      {x4096, true}, {x4096 + "\r", true}, {x4096 + "x", false}, {std::string(5000, 'x'), false}};
  for (const auto& l : lines)
    EXPECT_EQ(c.ask(l.first),
              l.second ? "echo " + x4096 : "error: line longer than 4096 characters");
  EXPECT_EQ(c.ask("after"), "echo after") << "the connection goes on after a long line";
  {
    SocketClient gone(dir + "/s.sock");
    ASSERT_TRUE(gone.ok());
  }  // a client that leaves without a word
  SocketClient c2(dir + "/s.sock");
  EXPECT_EQ(c2.ask("second"), "echo second");
  {
    // Clients that stay are served up to a bound; one more is told so and
    // closed, and the ones already there go on.
    std::vector<std::unique_ptr<SocketClient>> many;
    for (int k = 0; k < 62; ++k) {
      many.emplace_back(new SocketClient(dir + "/s.sock"));
      ASSERT_EQ(many.back()->ask("n"), "echo n");
    }
    SocketClient extra(dir + "/s.sock");
    EXPECT_EQ(extra.next_line(), "error: too many clients (64)");
    EXPECT_EQ(extra.next_line(), "<closed>");
    EXPECT_EQ(many.front()->ask("still"), "echo still");
  }
  for (int k = 0; k < 1000; ++k) {  // the end of standard input is read by now, or soon
    {
      std::lock_guard<std::mutex> g(mx);
      if (input_answers.size() >= 3) break;
    }
    usleep(2000);
  }
  io.stop();
  close(pipe_fds[0]);
  std::lock_guard<std::mutex> g(mx);
  EXPECT_EQ(input_answers, (std::vector<std::string>{"echo get A.X", "echo list", "echo quit"}));
  EXPECT_EQ(std::count(seen.begin(), seen.end(), "get A.X"), 1);
  std::string cmd = "rm -rf '" + dir + "'";
  ASSERT_EQ(system(cmd.c_str()), 0);
}

// The simulated net stalls (as a gateway that stops answering) and comes
// back, five times; then five times more with the first reopen attempts
// refused. After each outage every node is back to "Operational" without a
// restart, and the driver holds as many handles as before the first.
TEST_F(ServerTest, EveryNodeComesBackAfterEachLineOutageWithoutARestart) {
  tavro::MessageCapture msgs;
  make_server(write_file("server.conf", three_nodes()));
  ASSERT_TRUE(run_until([&] { return all_operational(); }, 10));
  // The supervision's first status query comes 60 s after the line opened.
  run_for(61000);
  ASSERT_TRUE(all_operational());
  const int handles = ntcan_ctl::open_handles();
  EXPECT_EQ(handles, 7) << "the line's handle, one per node and one per SDO companion";
  auto line_handle = [] {
    canline* l = zuntal_test::find_line(1);
    return l == nullptr ? -1 : l->handle();
  };

  for (int round = 1; round <= 10; ++round) {
    SCOPED_TRACE(round);
    const bool refused = round > 5;
    const NTCAN_HANDLE before = line_handle();
    // The net stops answering: the status queries fail and the supervision
    // closes the line; every node shows the outage.
    ntcan_ctl::set_stalled(0, true);
    ASSERT_TRUE(run_until([&] { return line_handle() <= 0; }, 10));
    step();
    for (const char* n : {"NODE5", "NODE12", "NODE32"}) {
      EXPECT_EQ(get(std::string(n) + ".CONDITION"), "Error") << n;
      EXPECT_EQ(get(std::string(n) + ".ALIVE"), "2") << n;
    }
    if (refused) ntcan_ctl::refuse_open(0, NTCAN_NET_NOT_FOUND);
    ntcan_ctl::set_stalled(0, false);
    if (refused) {
      // Three reopen attempts fail before the net takes handles again.
      const uint64_t opens = ntcan_ctl::calls_on_net(0, ntcan_ctl::Op::Open);
      ASSERT_TRUE(run_until(
          [&] { return ntcan_ctl::calls_on_net(0, ntcan_ctl::Op::Open) >= opens + 3; }, 60));
      EXPECT_LE(line_handle(), 0);
      ntcan_ctl::refuse_open(0, NTCAN_SUCCESS);
    }
    const int64_t back = clock_->now_us();
    // The supervision reopens the line on its own; the server registers the
    // nodes whose handles did not survive again and reads every node afresh.
    ASSERT_TRUE(run_until([&] { return line_handle() > 0 && line_handle() != before; }, 60));
    const int64_t opened = clock_->now_us();
    ASSERT_TRUE(run_until([&] { return all_operational(); }, 10));
    std::printf(
        "[outage] simulated net %s #%d: medium back -> line open %.1f s, -> every node "
        "Operational %.1f s (framework clock)\n",
        refused ? "stalled, reopen refused 3 times" : "stalled and released",
        refused ? round - 5 : round, (opened - back) / 1e6, (clock_->now_us() - back) / 1e6);
    EXPECT_EQ(get("NODE5.MANU"), "ZPS-48 Power Supply");
  }
  // The stalled net kept the nodes' own handles: they were read and started
  // afresh on them.
  EXPECT_EQ(msgs.count("zuntal_server", "line 1 is open again"), 3 * 10);
  EXPECT_EQ(server_->reregistrations("NODE5"), 0) << "the node that opened the line";
  EXPECT_EQ(get("NODE32.ALIVE") == "5" || get("NODE32.ALIVE") == "133", true);
  EXPECT_EQ(ntcan_ctl::open_handles(), handles) << "no handle left behind";
  // And it stays up: the fills go on at the new handles.
  run_for(3000);
  EXPECT_TRUE(all_operational());
}

// A node's handle that fails under an open line (the medium dropped its
// connection) is closed and the node registered again, whatever status the
// driver gives; the handle count stays as it was.
TEST_F(ServerTest, AFailingHandleUnderAnOpenLineIsReplacedWithoutALeak) {
  tavro::MessageCapture msgs;
  make_server(write_file("server.conf", three_nodes()));
  ASSERT_TRUE(run_until([&] { return all_operational(); }, 10));
  const int handles = ntcan_ctl::open_handles();
  const NTCAN_RESULT statuses[] = {NTCAN_SOCK_CMD_TIMEOUT, NTCAN_CONTR_OFF_BUS,
                                   NTCAN_INVALID_HANDLE, NTCAN_NET_NOT_FOUND};
  int round = 0;
  for (NTCAN_RESULT st : statuses) {
    SCOPED_TRACE(st);
    ++round;
    // The fills of the net fail: every node's handle looks dead.
    ntcan_ctl::force_status(0, ntcan_ctl::Op::Take, st, -1);
    ASSERT_TRUE(run_until([&] { return server_->reregistrations("NODE12") == round; }, 5));
    ntcan_ctl::force_status(0, ntcan_ctl::Op::Take, NTCAN_SUCCESS, 0);
    ASSERT_TRUE(run_until([&] { return all_operational(); }, 10));
    EXPECT_EQ(ntcan_ctl::open_handles(), handles);
  }
  EXPECT_EQ(msgs.count("zuntal_server", "NODE32: line 1 is open, the node's handle answers"),
            static_cast<int>(std::size(statuses)));

  // A node that stays unheard after it registered again is registered a
  // few times more, then counts as away: no endless registrations.
  ASSERT_TRUE(server_->bus(1)->remove(12));
  ntcan_ctl::force_status(0, ntcan_ctl::Op::Take, NTCAN_SOCK_CMD_TIMEOUT, -1);
  ASSERT_TRUE(run_until([&] { return server_->reregistrations("NODE12") == round + 1; }, 5));
  ntcan_ctl::force_status(0, ntcan_ctl::Op::Take, NTCAN_SUCCESS, 0);
  run_for(30000);
  EXPECT_EQ(server_->reregistrations("NODE12"), round + 1 + 3);
  EXPECT_EQ(msgs.count("zuntal_server", "NODE12: not heard since it registered again"), 3);
  EXPECT_EQ(get("NODE12.CONDITION"), "Error");
  EXPECT_EQ(ntcan_ctl::open_handles(), handles);
}

TEST_F(ServerTest, ConfigurationMistakesAreReportedWithTheirLines) {
  tavro::MessageCapture msgs;
  const std::string path = write_file("bad.conf",
                                      "LOCATION L\n"            // 1
                                      "NODE5 \t1  5  0  0\n"    // 2
                                      "NODE5.BAUDRATE\tfast\n"  // 3
                                      "NODE5.FOO\t3\n"          // 4
                                      "NODE6 \t1  6  0\n"       // 5
                                      "NODE6.BAUDRATE\t6\n"     // 6
                                      "NODE7 \t25  7  0  0\n"   // 7
                                      "NODE8\t1 8 0 \"x\n"      // 8
                                      "LOCATION SIMULATION\n"   // 9
                                      "DEVICE5\t1 5 \"" +
                                          kExamples +
                                          "/zps48.eds\"\n"                           // 10
                                          "DEVICE9\t1 nine \"x.eds\"\n"              // 11
                                          "DEVICE10\t1 10 \"/nonexistent/x.eds\"\n"  // 12
                                          "LOCATION L\n"                             // 13
                                          "NODE7.BAUDRATE\t20\n"                     // 14
                                          "LOCATION SIMULATION\n"                    // 15
                                          "DEVICE11\t2 11 \"" +
                                          kExamples + "/zps48.eds\"\n");  // 16
  ntcan_ctl::NetConfig gateway;  // line 2: a gateway's net, whose devices are the gateway's
  gateway.kind = ntcan_ctl::NetConfig::Kind::Gateway;
  gateway.host = "127.0.0.1";
  gateway.port = 1;
  ntcan_ctl::configure_net(1, gateway);
  make_server(path);
  auto said = [&](const std::string& part) { return msgs.count("zuntal_server", part) == 1; };
  EXPECT_EQ(msgs.count("Config", "line 3: NODE5.BAUDRATE takes an integer"), 1);
  EXPECT_EQ(msgs.count("zuntal_server", "line 3:"), 0) << "one message for one mistake";
  EXPECT_TRUE(said("line 4: unknown property NODE5.FOO in L; the line is kept as it is"));
  EXPECT_TRUE(said("line 5: NODE6: a node line needs four integers"));
  EXPECT_EQ(msgs.count("zuntal_server", "line 6:"), 0) << "the line of a node left out";
  EXPECT_TRUE(said("line 7: NODE7: line 25 is outside 1 to 20"));
  EXPECT_EQ(msgs.count("Config", "line 8:"), 1);
  EXPECT_TRUE(said("line 11: DEVICE9: expected: line, node id and EDS file"));
  EXPECT_TRUE(said("line 12: DEVICE10:"));
  EXPECT_TRUE(
      said("line 14: NODE7.BAUDRATE 20 is not a baud-rate index of the driver (0 to 13; "
           "0 means 6, 125 kbit/s): line 0 will not open while it is used"));
  EXPECT_TRUE(
      said("line 16: DEVICE11: net 1 is net 0 of the gateway 127.0.0.1:1, whose devices "
           "belong to the gateway"));

  // The server goes on with what it could use.
  EXPECT_EQ(server_->node_count(), 2);
  ASSERT_TRUE(run_until([&] { return get("NODE5.CONDITION") == "Operational"; }, 10));
  EXPECT_EQ(get("NODE7.CONDITION"), "Error");
  EXPECT_EQ(get("NODE7"), "0 7 0 0") << "the property's reader turned line 25 into 0";
  EXPECT_EQ(server_->execute("sdo NODE7 read 0x1008 0"), "error: NODE7 is not registered");
  EXPECT_EQ(server_->execute("get NODE6"), "error: unknown property NODE6");

  // On stop, every line the server could not use goes back as it was, so
  // a typo does not delete a node.
  ASSERT_EQ(server_->write_config(), 0);
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const char* line :
       {"\nNODE5.FOO\t3\n", "\nNODE6 \t1  6  0\n", "\nNODE6.BAUDRATE\t6\n", "\nNODE8\t1 8 0 \"x\n",
        "\nDEVICE9\t1 nine \"x.eds\"\n", "\nNODE7.BAUDRATE\t20\n", "\nNODE5.BAUDRATE\t0\n",
        "\nNODE7 \t25  7  0  0\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;

  zserver::ServerOptions o;
  o.config_path = dir_ + "/missing.conf";
  zserver::Server none(o);
  EXPECT_EQ(none.load(), -1);
  EXPECT_EQ(msgs.count("zuntal_server", "cannot read the configuration file " + o.config_path +
                                            ": cannot open " + o.config_path +
                                            ": No such file or directory"),
            1);
}

// An integer line with more than one value is no value: the property keeps
// its own (0), which is what goes back to the file, and the mistake is
// reported once.
TEST_F(ServerTest, AnIntegerLineWithTwoValuesChangesNothing) {
  tavro::MessageCapture msgs;
  make_server(write_file("two.conf",
                         "LOCATION L\n"
                         "NODE5 \t1  5  0  0\n"
                         "NODE5.BAUDRATE\t6 7\n"));
  EXPECT_EQ(msgs.count("Config",
                       "line 3: NODE5.BAUDRATE takes one integer, not \"6 7\"; it "
                       "keeps its value 0"),
            1);
  EXPECT_EQ(msgs.count("zuntal_server", "line 3:"), 0) << "one message for one mistake";
  EXPECT_EQ(get("NODE5.BAUDRATE"), "0");
}

// A file that is no configuration (a device description, random bytes, a
// device) is never written over: the server does not start. Temporary
// files of an interrupted write are removed at the next start.
TEST_F(ServerTest, AFileThatDidNotLoadIsNeverWrittenOver) {
  tavro::MessageCapture msgs;
  std::string random(3000, '\0');
  unsigned x = 12345;
  for (char& c : random) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
  std::ifstream eds_in(kExamples + "/zps48.eds");
  const std::string eds((std::istreambuf_iterator<char>(eds_in)), std::istreambuf_iterator<char>());
  for (const std::string& content : {eds, random}) {
    const std::string path = write_file("not-a-config", content);
    zserver::ServerOptions o;
    o.config_path = path;
    zserver::Server s(o);
    msgs.clear();
    EXPECT_EQ(s.load(), -1);
    EXPECT_EQ(msgs.count("zuntal_server", path + " holds no configuration: none of its "), 1);
    EXPECT_EQ(msgs.count("zuntal_server", "the server does not start and leaves the file"), 1);
    EXPECT_EQ(s.write_config(), -1);
    EXPECT_EQ(
        msgs.count("zuntal_server", "the configuration did not load; " + path + " is not written"),
        1);
    std::ifstream in(path);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()),
              content);
  }
  zserver::ServerOptions o;
  o.config_path = "/dev/zero";
  zserver::Server zero(o);
  EXPECT_EQ(zero.load(), -1);
  EXPECT_EQ(msgs.count("zuntal_server", "/dev/zero is not a regular file (a character device)"), 1);

  // A process killed between the write and the rename left its temporary.
  pid_t child = fork();
  if (child == 0) _exit(0);
  ASSERT_GT(child, 0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  // The file starts with a byte-order mark and names its location in quotes.
  std::string text = three_nodes();
  text.replace(0, text.find('\n'), "\xEF\xBB\xBFLOCATION \" LINE 1 \"");
  const std::string path = write_file("server.conf", text);
  const std::string stale = write_file("server.conf.tmp." + std::to_string(child) + ".0", "x");
  make_server(path);
  EXPECT_NE(access(path.c_str(), F_OK), -1);
  EXPECT_EQ(access(stale.c_str(), F_OK), -1) << "the stale temporary file is gone";
  EXPECT_EQ(msgs.count("Config", "removed " + stale), 1);
  EXPECT_EQ(server_->node_count(), 3);
  EXPECT_EQ(get("NODE12"), "1 12 0 0");
  ASSERT_TRUE(run_until([&] { return all_operational(); }, 10));
}

// Lines and node ids at their limits, through the file and the client's
// set command: the last value inside registers, the first outside is named.
TEST_F(ServerTest, LinesAndNodeIdsAtTheirLimits) {
  tavro::MessageCapture msgs;
  const struct {
    const char* line;  // a node, or a device with "zio8.eds" after it
    const char* said;  // after "NAME: "; empty: nothing said
  } file[] = {         // clang-format off
      {"NA \t20  127  0  0", ""}, {"NB \t1  1  0  0", ""},
      {"NC \t21  5  0  0", "line 21 is outside 1 to 20; the node is not registered"},
      {"ND \t0  5  0  0", "line 0 is outside 1 to 20; the node is not registered"},
      {"NE \t1  128  0  0", "node id 128 is outside 1 to 127; the node is not registered"},
      {"NF \t1  0  0  0", "node id 0 is outside 1 to 127; the node is not registered"},
      {"NG \t0x1  7  0  0", "a node line needs four integers"},
      {"DA\t20 127", ""}, {"DB\t1 0", ""},
      {"DC\t21 5", "line 21 is outside 1 to 20; the device is left out"},
      {"DD\t0 5", "line 0 is outside 1 to 20; the device is left out"},
      {"DE\t1 128", "node id 128 is outside 1 to 127"}, {"DF\t1 -1", "node id -1 is outside"}};
  // clang-format on
  std::string text = "LOCATION L\n";
  for (const auto& f : file) {
    if (std::strcmp(f.line, "DA\t20 127") == 0) text += "LOCATION SIMULATION\n";
    text += std::string(f.line) + (f.line[0] == 'D' ? " \"" + kExamples + "/zio8.eds\"\n" : "\n");
  }
  make_server(write_file("edges.conf", text));
  for (size_t k = 0; k < std::size(file); ++k) {
    const std::string at = "line " + std::to_string(k + (k < 7 ? 2 : 3)) + ": ";
    const std::string said = at + std::string(file[k].line, 2) + ": " + file[k].said;
    EXPECT_EQ(msgs.count("Config", at), 0) << file[k].line << ": one message for one mistake";
    EXPECT_EQ(msgs.count("zuntal_server", *file[k].said ? said : at), *file[k].said ? 1 : 0)
        << said;
  }
  ASSERT_TRUE(server_->bus(20) && server_->bus(20)->find(127));
  EXPECT_TRUE(server_->bus(1) && server_->bus(1)->find(32)) << "node id 0: the EDS file's own";
  ASSERT_TRUE(run_until([&] { return get("NA.CONDITION") == "Operational"; }, 10));

  const struct {
    const char* address;
    const char* answer;
  } set[] = {// clang-format off
      {"20 126", "ok"}, {"1 127", "ok"}, {"0x14 0x7E 0 0", "ok"},
      {"21 5", "error: line 21 is outside 1 to 20"}, {"0 5", "error: line 0 is outside 1 to 20"},
      {"1 128", "error: node id 128 is outside 1 to 127"},
      {"1 0", "error: node id 0 is outside 1 to 127"}};
  // clang-format on
  for (const auto& c : set)
    EXPECT_EQ(server_->execute(std::string("set NB ") + c.address), c.answer) << c.address;
  EXPECT_EQ(get("NB"), "20 126 0 0");
}

}  // namespace
