// Interoperation with an independent CANopen stack: libzuntal on one side of
// a net of the network gateway (zuntal_gateway, a child process), reached
// through the driver's gateway medium, and node-canopen devices on the other
// (peer.js, a child process that joins the net over the gateway's wire
// protocol). The other way round, a node-canopen SDO client reads the
// identity of simulated devices that the gateway hosts.
//
// Everything runs in real time across three processes, on the framework's
// real clock; every wait is bounded and short.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "D_zuntal.h"
#include "child.h"
#include "ntcan_ctl.h"
#include "tavro_test.h"

using peertest::Child;

namespace {

const std::string kPeerDir = ZUNTAL_PEER_DIR;
const std::string kExamples = ZUNTAL_EXAMPLES_DIR;
const std::string kGateway = ZUNTAL_GATEWAY_PATH;

// Waits for a child's answer or event; each is a few ms on loopback.
constexpr int kAnswerMs = 3000;
constexpr int kCycleMs = 5;

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

// Why the peer tests cannot run here, or "" when they can.
std::string missing_peer(std::string* node) {
  const char* env = std::getenv("ZUNTAL_NODE");
  *node = (env && *env) ? env : peertest::find_in_path("node");
  if (node->empty())
    return "Node.js (node) is not in PATH; the peer tests need it (scripts/setup.sh --test "
           "installs nodejs and npm)";
  if (!exists(kPeerDir + "/node_modules/canopen/package.json"))
    return "node-canopen is not installed: run `npm ci` in " + kPeerDir;
  if (!exists(kGateway)) return "the gateway program " + kGateway + " is not built";
  return "";
}

// The location of every node property of this process. It outlives the
// properties, and .DEBUG_ID, made in it by the first one, lives on.
EqFct& location() {
  static EqFct* loc = new EqFct("PEER");
  return *loc;
}

// A line of its own for every test of the process: a line object and its
// supervision thread live until the process ends.
int fresh_line() {
  static int next = 0;
  return ++next;
}

std::string hex_text(const std::string& hex) {
  std::string s;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    s += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return s;
}

class PeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string why = missing_peer(&node_);
    if (!why.empty()) GTEST_SKIP() << why;
    ::signal(SIGPIPE, SIG_IGN);
    ntcan_ctl::reset();
  }

  void TearDown() override {
    if (peer_.running()) {
      EXPECT_EQ(0, peer_.stop()) << "peer.js did not end cleanly";
      for (const std::string& l : peer_.lines())
        EXPECT_NE(0u, l.rfind("error", 0)) << "peer.js: " << l;
    }
    nodes_.clear();
    ntcan_ctl::reset();  // closes the lines' connections to the gateway
    if (gateway_.running()) {
      EXPECT_EQ(0, gateway_.stop(2000, false)) << "the gateway did not end cleanly";
    }
  }

  // Starts the gateway on a free loopback port with one net, without web
  // interface; `extra` are further arguments (--device ...).
  void start_gateway(const std::vector<std::string>& extra = {}, int can_port = 0) {
    std::vector<std::string> argv{
        kGateway,      "--listen", "127.0.0.1", "--can-port", std::to_string(can_port),
        "--http-port", "-1",       "--nets",    "1",          "--socketcand-port",
        "-1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string err;
    ASSERT_TRUE(gateway_.start(argv, &err)) << err;
    const std::string tag = "CAN service on 127.0.0.1:";
    const int i = gateway_.wait_for(
        [&](const std::string& l) { return l.find(tag) != std::string::npos; }, 10000);
    ASSERT_GE(i, 0) << "the gateway did not come up";
    const std::string& l = gateway_.lines()[i];
    port_ = std::atoi(l.c_str() + l.find(tag) + tag.size());
    ASSERT_GT(port_, 0) << l;
  }

  // Starts peer.js on the gateway's net 0 with the devices and client given
  // as JSON members, and waits until it has joined.
  void start_peer(const std::string& members) {
    const std::string cfg =
        "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port_) + ",\"net\":0," + members + "}";
    std::string err;
    ASSERT_TRUE(peer_.start({node_, kPeerDir + "/peer.js", cfg}, &err)) << err;
    ASSERT_GE(peer_.wait_for_line("ready", 10000), 0) << "peer.js did not join the net";
  }

  // A node property on a fresh line that the driver reaches through the
  // gateway, registered in buffered mode with the heartbeat identifier, the
  // SDO answers and the emergency identifier enabled.
  D_can* node(const std::string& name, int id) {
    const int line = fresh_line();
    ntcan_ctl::NetConfig cfg;
    cfg.kind = ntcan_ctl::NetConfig::Kind::Gateway;
    cfg.host = "127.0.0.1";
    cfg.port = port_;
    cfg.remote_net = 0;
    ntcan_ctl::configure_net(line - 1, cfg);

    nodes_.push_back(std::make_unique<D_can>(name, &location()));
    D_can* n = nodes_.back().get();
    IIII a;
    a.i1_data = line;
    a.i2_data = id;
    n->set_value(&a);
    EXPECT_EQ(0, n->init(0x700 + id)) << name;
    EXPECT_EQ(0, n->AddIdent(0x580 + id)) << name;
    EXPECT_EQ(0, n->init_emergency()) << name;
    return n;
  }

  std::string shown(const std::string& prop) {
    EqData out;
    EXPECT_EQ(0, location().get(prop, nullptr, &out)) << prop;
    return out.get_string();
  }
  int shown_int(const std::string& prop) {
    EqData out;
    EXPECT_EQ(0, location().get(prop, nullptr, &out)) << prop;
    return out.get_int();
  }
  void client_write(const std::string& prop, int v) {
    EqData in, out;
    in.set(v);
    ASSERT_EQ(0, location().set(prop, &in, &out)) << prop;
  }

  // One update cycle of a server: the buffers are filled, and the node's
  // frames go through check_alive and can_emergency as device code passes
  // them. Returns the emergency result; the frames stay in rx_/rx_len_.
  int cycle(D_can* n) {
    can_looping();
    rx_len_ = 0;
    EXPECT_EQ(0, n->can_array(rx_.data(), &rx_len_));
    const int id = n->value()->i2_data;
    n->alive_->check_alive(id, rx_.data(), &rx_len_);
    return n->can_emergency(id, rx_.data(), &rx_len_);
  }

  // Cycles every few ms until `done` holds after a cycle, at most ms.
  bool cycle_until(D_can* n, const std::function<bool()>& done, int ms = kAnswerMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      cycle(n);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(kCycleMs));
    }
    return false;
  }

  // The first frame of the last fill that can_read takes as the node's
  // state (identifier 0x700 + id, one data byte), or null.
  const CMSG* first_state_frame(int id) const {
    for (int i = 0; i < rx_len_; ++i)
      if (rx_[i].id == 0x700 + id && rx_[i].len == 1) return &rx_[i];
    return nullptr;
  }

  std::string node_;
  int port_ = 0;
  Child gateway_;
  Child peer_;
  tavro::MessageCapture msgs_;
  std::vector<std::unique_ptr<D_can>> nodes_;
  std::vector<CMSG> rx_ = std::vector<CMSG>(100);
  int rx_len_ = 0;
};

// A text longer than the 63 characters an identity buffer holds.
const char kLongText[] =
    "node-canopen test object with a text longer than the identity buffers hold, "
    "80+ chars";

// One node-canopen device, node 12, heartbeat every 100 ms. Its name fits
// an expedited answer without size (4 bytes), its versions need segments:
// 20 bytes (two full segments and a part) and 14 (two full segments); both
// are ended by node-canopen with a segment that carries no data. Objects
// of its own: 0x2001 (2 bytes), 0x2002 (1 byte), 0x2003 (kLongText).
const std::string kDevice12 =
    std::string("\"devices\":[{\"id\":12,\"name\":\"NCAN\",\"hw\":\"peer hardware rev. B\",") +
    "\"sw\":\"canopen-v6.2.1\",\"heartbeat\":100,\"objects\":[" +
    "{\"index\":8193,\"type\":\"u16\",\"value\":4660}," +
    "{\"index\":8194,\"type\":\"u8\",\"value\":165}," +
    "{\"index\":8195,\"type\":\"text\",\"value\":\"" + kLongText + "\"}]}]";

TEST_F(PeerTest, LibraryReadsTheIdentityOfANodeCanopenDevice) {
  ASSERT_NO_FATAL_FAILURE(start_gateway());
  ASSERT_NO_FATAL_FAILURE(start_peer(kDevice12));
  D_can* n = node("NC12", 12);

  EXPECT_EQ(0, n->get_manufacture());
  EXPECT_EQ(0, n->get_hwversion());
  EXPECT_EQ(0, n->get_swversion());
  EXPECT_EQ(shown("NC12.MANU"), "NCAN");
  EXPECT_EQ(shown("NC12.HWVER"), "peer hardware rev. B");
  EXPECT_EQ(shown("NC12.SWVER"), "canopen-v6.2.1");

  // More than the buffer holds: the identity-sized read keeps 63 bytes and
  // its zero byte, then ends the transfer with an abort request, so the
  // device's SDO server serves the next request.
  char text[64];
  std::memset(text, 0, sizeof text);
  ASSERT_GT(sizeof kLongText, 64u);
  EXPECT_EQ(0, n->segSdoRead(12, 0x2003, 0, text));
  EXPECT_EQ(std::string(text), std::string(kLongText, 63));

  // Expedited objects of 2 and 1 bytes (size given) and 4 bytes (size not
  // given: the SDO server's client-to-server COB-ID), read by a caller with
  // a buffer of its own.
  char buf[16];
  int len = -1;
  std::memset(buf, 0x55, sizeof buf);
  EXPECT_EQ(0, n->segSdoRead(12, 0x2001, 0, buf, 8, &len));
  EXPECT_EQ(2, len);
  EXPECT_EQ(0, std::memcmp(buf, "\x34\x12\x00", 3));
  std::memset(buf, 0x55, sizeof buf);
  EXPECT_EQ(0, n->segSdoRead(12, 0x2002, 0, buf, 8, &len));
  EXPECT_EQ(1, len);
  EXPECT_EQ(0, std::memcmp(buf, "\xA5\x00", 2));
  EXPECT_EQ(0, n->segSdoRead(12, 0x1200, 1, buf, 8, &len));
  EXPECT_EQ(4, len);
  EXPECT_EQ(0, std::memcmp(buf, "\x0C\x06\x00\x00", 4));
  EXPECT_EQ(0, msgs_.count("segSdoRead"));
}

TEST_F(PeerTest, HeartbeatAndClientCommandsGiveTheNodeState) {
  ASSERT_NO_FATAL_FAILURE(start_gateway());
  ASSERT_NO_FATAL_FAILURE(start_peer(kDevice12));
  D_can* n = node("NC12", 12);

  // Pre-operational heartbeats (0x7F): .ALIVE shows them, .CONDITION keeps
  // the text of registration.
  ASSERT_TRUE(cycle_until(n, [&] { return shown_int("NC12.ALIVE") == 0x7F; }));
  EXPECT_EQ(shown("NC12.CONDITION"), "Preoperational");
  EXPECT_FALSE(n->alive_->isalive());

  // .START written by a client: node-canopen goes operational, its
  // heartbeat says 5, and check_alive writes the condition text.
  size_t mark = peer_.line_count();
  client_write("NC12.START", 1);
  EXPECT_GE(peer_.wait_for_line("state 12 5", kAnswerMs, mark), 0);
  ASSERT_TRUE(cycle_until(n, [&] { return shown_int("NC12.ALIVE") == 5; }));
  EXPECT_EQ(shown("NC12.CONDITION"), "Operational");
  EXPECT_TRUE(n->alive_->isalive());

  // .STOP: stopped heartbeats (4); the condition text stays.
  mark = peer_.line_count();
  client_write("NC12.STOP", 1);
  EXPECT_GE(peer_.wait_for_line("state 12 4", kAnswerMs, mark), 0);
  ASSERT_TRUE(cycle_until(n, [&] { return shown_int("NC12.ALIVE") == 4; }));
  EXPECT_EQ(shown("NC12.CONDITION"), "Operational");
  EXPECT_FALSE(n->alive_->isalive());

  // .RESET right after a heartbeat, so that the boot-up frame comes before
  // the next one: the node reboots, .ALIVE shows the boot-up (0), then the
  // pre-operational heartbeats again. (Only on a machine so loaded that a
  // stopped heartbeat lands in the same fill just before the boot-up does
  // .ALIVE show that one: check_alive takes the fill's first state frame.)
  ASSERT_TRUE(cycle_until(n, [&] { return first_state_frame(12) != nullptr; }));
  mark = peer_.line_count();
  client_write("NC12.RESET", 1);
  EXPECT_GE(peer_.wait_for_line("bootup 12", kAnswerMs, mark), 0);
  ASSERT_TRUE(cycle_until(n, [&] {
    for (int i = 0; i < rx_len_; ++i)
      if (rx_[i].id == 0x70C && rx_[i].len == 1 && rx_[i].data[0] == 0) return true;
    return false;
  })) << "no boot-up frame after .RESET";
  EXPECT_EQ(first_state_frame(12)->data[0], shown_int("NC12.ALIVE"));
  ASSERT_TRUE(cycle_until(n, [&] { return shown_int("NC12.ALIVE") == 0x7F; }));
  EXPECT_GE(peer_.wait_for_line("state 12 127", kAnswerMs, mark), 0);
  EXPECT_EQ(shown("NC12.CONDITION"), "Operational");

  // The node answers .START again after its reset.
  mark = peer_.line_count();
  client_write("NC12.START", 1);
  EXPECT_GE(peer_.wait_for_line("state 12 5", kAnswerMs, mark), 0);
  EXPECT_TRUE(cycle_until(n, [&] { return shown_int("NC12.ALIVE") == 5; }));
}

TEST_F(PeerTest, EmergencyOfANodeCanopenDeviceIsReported) {
  ASSERT_NO_FATAL_FAILURE(start_gateway());
  ASSERT_NO_FATAL_FAILURE(start_peer(kDevice12));
  D_can* n = node("NC12", 12);

  // Code 0x8110 (CAN overrun), error register 0x11, five bytes of
  // manufacturer data: node-canopen's frame as can_emergency prints it.
  ASSERT_TRUE(peer_.send("emcy 12 0x8110 0x11 1 2 3 4 5"));
  ASSERT_TRUE(cycle_until(n, [&] { return msgs_.count("D_can::can_emergency") == 1; }));
  EXPECT_EQ(1, msgs_.count("D_can::can_emergency", "0x10 0x81 0x11 0x1 0x2 0x3 0x4 0x5 "));

  // Operational, with an empty error register and no manufacturer data.
  client_write("NC12.START", 1);
  ASSERT_TRUE(cycle_until(n, [&] { return shown_int("NC12.ALIVE") == 5; }));
  ASSERT_TRUE(peer_.send("emcy 12 0x2310 0"));
  ASSERT_TRUE(cycle_until(n, [&] { return msgs_.count("D_can::can_emergency") == 2; }));
  EXPECT_EQ(1, msgs_.count("D_can::can_emergency", "0x10 0x23 0x0 0x0 0x0 0x0 0x0 0x0 "));
}

TEST_F(PeerTest, UploadOfAnObjectTheDeviceLacksEndsWithItsAbort) {
  ASSERT_NO_FATAL_FAILURE(start_gateway());
  ASSERT_NO_FATAL_FAILURE(start_peer(kDevice12));
  D_can* n = node("NC12", 12);

  char buf[64] = {};
  testing::internal::CaptureStdout();
  // No object 0x2000: "object does not exist" (0x06020000).
  EXPECT_EQ(-1, n->segSdoRead(12, 0x2000, 0, buf));
  // Object 0x1200 exists, its subindex 9 does not (0x06090011).
  EXPECT_EQ(-1, n->segSdoRead(12, 0x1200, 9, buf));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Segmented transfer aborted with code 0x6020000\n"
            "Segmented transfer aborted with code 0x6090011\n");
  EXPECT_EQ(2, msgs_.count("segSdoRead", "--Error: initUploadResponse failed with error -1"));

  // The device's SDO server goes on serving after the aborts.
  EXPECT_EQ(0, n->get_hwversion());
  EXPECT_EQ(shown("NC12.HWVER"), "peer hardware rev. B");
}

TEST_F(PeerTest, NodeCanopenClientReadsTheIdentityOfSimulatedDevices) {
  ASSERT_NO_FATAL_FAILURE(start_gateway({"--device", "0:5:" + kExamples + "/zps48.eds", "--device",
                                         "0:0x20:" + kExamples + "/zio8.eds"}));
  ASSERT_NO_FATAL_FAILURE(
      start_peer("\"client\":{\"id\":127,\"servers\":[5,32],\"timeout\":2000}"));

  struct Read {
    int node, index;
    const char* text;
  };
  // Segmented (ZPS-48) and expedited (ZIO8's name and hardware version).
  const Read reads[] = {
      {5, 0x1008, "ZPS-48 Power Supply"},
      {5, 0x1009, "B2"},
      {5, 0x100A, "V1.04.2"},
      {32, 0x1008, "ZIO8"},
      {32, 0x1009, "1.0"},
      {32, 0x100A, "FW 3.2.0-r17"},
  };
  for (const Read& r : reads) {
    char idx[8];
    std::snprintf(idx, sizeof idx, "0x%04X", r.index);
    const std::string tag = "upload " + std::to_string(r.node) + " " + idx + " 0 ";
    const size_t mark = peer_.line_count();
    ASSERT_TRUE(peer_.send("upload " + std::to_string(r.node) + " " + idx + " 0"));
    const int i =
        peer_.wait_for([&](const std::string& l) { return l.rfind(tag, 0) == 0; }, kAnswerMs, mark);
    ASSERT_GE(i, 0) << "no answer to " << tag;
    const std::string& l = peer_.lines()[i];
    ASSERT_EQ(l.substr(tag.size(), 3), "ok ") << l;
    EXPECT_EQ(hex_text(l.substr(tag.size() + 3)), r.text) << l;
  }

  // An object the simulator lacks: its abort reaches the client.
  const size_t mark = peer_.line_count();
  ASSERT_TRUE(peer_.send("upload 5 0x2FFF 0"));
  EXPECT_GE(peer_.wait_for_line("upload 5 0x2FFF 0 abort 0x06020000", kAnswerMs, mark), 0);
}

// The gateway is killed and started again on the same port: the
// node-canopen device and client join the net again by themselves, and the
// client reads the device's name through the new gateway.
TEST_F(PeerTest, NodeCanopenNodesJoinAgainAfterTheGatewayIsRestarted) {
  ASSERT_NO_FATAL_FAILURE(start_gateway());
  ASSERT_NO_FATAL_FAILURE(
      start_peer(kDevice12 + ",\"client\":{\"id\":127,\"servers\":[12],\"timeout\":2000}"));
  auto name_read = [&] {
    const size_t mark = peer_.line_count();
    EXPECT_TRUE(peer_.send("upload 12 0x1008 0"));
    return peer_.wait_for_line("upload 12 0x1008 0 ok 4E43414E", kAnswerMs, mark) >= 0;
  };
  ASSERT_TRUE(name_read());
  for (int round = 0; round < 2; ++round) {
    const size_t mark = peer_.line_count();
    ::kill(gateway_.pid(), SIGKILL);
    gateway_.stop(1000, false);
    ASSERT_GE(peer_.wait_for_line("lost 12", kAnswerMs, mark), 0);
    ASSERT_NO_FATAL_FAILURE(start_gateway({}, port_));
    EXPECT_GE(peer_.wait_for_line("joined 12", 10000, mark), 0);
    EXPECT_GE(peer_.wait_for_line("joined 127", 10000, mark), 0);
    EXPECT_TRUE(name_read()) << "round " << round;
  }
}

// Objects of node 12 a client may write: 0x2004 (u16) and 0x2005 (text).
const std::string kDevice12Writable =
    std::string("\"devices\":[{\"id\":12,\"name\":\"NCAN\",\"objects\":[") +
    "{\"index\":8193,\"type\":\"u16\",\"value\":4660}," +
    "{\"index\":8196,\"type\":\"u16\",\"value\":0,\"access\":\"rw\"}," +
    "{\"index\":8197,\"type\":\"text\",\"value\":\"-\",\"access\":\"rw\"}]}]";

// The library writes a node-canopen device's objects, expedited and
// segmented, and node-canopen's own dictionary holds the values; a
// read-only object is refused with node-canopen's abort.
TEST_F(PeerTest, LibraryWritesObjectsOfANodeCanopenDevice) {
  ASSERT_NO_FATAL_FAILURE(start_gateway());
  ASSERT_NO_FATAL_FAILURE(start_peer(kDevice12Writable));
  D_can* n = node("NC12", 12);
  auto value = [&](const std::string& obj) {
    const size_t mark = peer_.line_count();
    const std::string tag = "value 12 " + obj + " ";
    if (!peer_.send("value 12 " + obj)) return std::string("<send failed>");
    const int i =
        peer_.wait_for([&](const std::string& l) { return l.rfind(tag, 0) == 0; }, kAnswerMs, mark);
    return i < 0 ? std::string("<no answer>") : peer_.lines()[i].substr(tag.size());
  };

  EXPECT_EQ(0, n->segSdoWrite(12, 0x2004, 0, "\x78\x56", 2));
  EXPECT_EQ(value("0x2004 0"), "7856");
  const std::string text = "written by libZUNTAL in segments";
  EXPECT_EQ(0, n->segSdoWrite(12, 0x2005, 0, text.data(), static_cast<int>(text.size())));
  EXPECT_EQ(hex_text(value("0x2005 0")), text);
  char buf[64] = {};
  int len = 0;
  EXPECT_EQ(0, n->segSdoRead(12, 0x2005, 0, buf, 63, &len));
  EXPECT_EQ(std::string(buf, len), text);

  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, n->segSdoWrite(12, 0x2001, 0, "\x01\x00", 2));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(0x06010002u, n->sdo_abort_code());
  EXPECT_EQ(value("0x2001 0"), "3412");
  EXPECT_EQ(0, msgs_.count("segSdoWrite"));
}

// node-canopen's SDO client writes into the project's simulated device,
// expedited and segmented, and reads the values back.
TEST_F(PeerTest, NodeCanopenClientWritesIntoSimulatedDevices) {
  ASSERT_NO_FATAL_FAILURE(start_gateway({"--device", "0:5:" + kExamples + "/zps48.eds"}));
  ASSERT_NO_FATAL_FAILURE(start_peer("\"client\":{\"id\":127,\"servers\":[5],\"timeout\":2000}"));
  // The answer line starts with the command's first three words.
  auto ask = [&](const std::string& cmd) {
    const size_t mark = peer_.line_count();
    if (!peer_.send(cmd)) return std::string("<send failed>");
    const int i = peer_.wait_for(
        [&](const std::string& l) { return l.rfind(cmd.substr(0, cmd.find(" ", 14)), 0) == 0; },
        kAnswerMs, mark);
    return i < 0 ? std::string("<no answer>") : peer_.lines()[i];
  };
  EXPECT_EQ(ask("download 5 0x1017 0 F401"), "download 5 0x1017 0 ok");
  EXPECT_EQ(ask("upload 5 0x1017 0"), "upload 5 0x1017 0 ok F401");
  const std::string label = "rack 3, slot 12, bench B";
  std::string hex;
  for (unsigned char c : label) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", c);
    hex += b;
  }
  EXPECT_EQ(ask("download 5 0x2004 0 " + hex), "download 5 0x2004 0 ok");
  EXPECT_EQ(ask("upload 5 0x2004 0"), "upload 5 0x2004 0 ok " + hex);
  EXPECT_EQ(ask("download 5 0x1008 0 41"), "download 5 0x1008 0 abort 0x06010002");
}

// 4 KiB objects by SDO block transfer, both ways: the library writes and
// reads a node-canopen device's domain, and node-canopen's client writes and
// reads a simulated device's text, byte for byte.
TEST_F(PeerTest, BlockTransfersOf4KiBBothWays) {
  std::string hex;
  for (int k = 0; k < 4096; ++k) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", (k * 7 + k / 256) & 0xFF);
    hex += b;
  }
  const std::string data = hex_text(hex);
  ASSERT_NO_FATAL_FAILURE(start_gateway({"--device", "0:5:" + kExamples + "/zps48.eds"}));
  ASSERT_NO_FATAL_FAILURE(
      start_peer("\"devices\":[{\"id\":12,\"name\":\"NCAN\",\"objects\":[{\"index\":8704,"
                 "\"type\":\"domain\",\"value\":\"00\",\"access\":\"rw\"}]}],"
                 "\"client\":{\"id\":127,\"servers\":[5],\"timeout\":2000}"));
  D_can* n = node("NC12", 12);
  n->set_sdo_timeout_ms(2000);
  EXPECT_EQ(0, n->blockSdoWrite(12, 0x2200, 0, data.data(), 4096));
  std::vector<char> buf(5000);
  int len = 0;
  EXPECT_EQ(0, n->blockSdoRead(12, 0x2200, 0, buf.data(), 5000, &len));
  EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(len)), data);

  auto ask = [&](const std::string& cmd, const std::string& tag) {
    const size_t mark = peer_.line_count();
    if (!peer_.send(cmd)) return std::string("<send failed>");
    const int i =
        peer_.wait_for([&](const std::string& l) { return l.rfind(tag, 0) == 0; }, kAnswerMs, mark);
    return i < 0 ? std::string("<no answer>") : peer_.lines()[i];
  };
  EXPECT_EQ(ask("download 5 0x2004 0 " + hex + " block", "download 5 0x2004 0"),
            "download 5 0x2004 0 ok");
  EXPECT_EQ(ask("upload 5 0x2004 0 block", "upload 5 0x2004 0"), "upload 5 0x2004 0 ok " + hex);
}

}  // namespace

// Process data with node-canopen, node 12: the library decodes its
// event-driven TPDO (UNSIGNED16, INTEGER32) and, driven by the library's
// SYNC, its synchronous TPDO (REAL32) exactly; node-canopen takes the
// library's RPDO into its object. The mappings are read by SDO from
// node-canopen, the types from a small EDS of the test's own.
TEST_F(PeerTest, ProcessDataWithANodeCanopenDevice) {
  ASSERT_NO_FATAL_FAILURE(start_gateway());
  ASSERT_NO_FATAL_FAILURE(
      start_peer(std::string("\"devices\":[{\"id\":12,\"objects\":[") +
                 "{\"index\":8193,\"type\":\"u16\",\"value\":4660,\"access\":\"rw\"}," +
                 "{\"index\":8198,\"type\":\"i32\",\"value\":-5,\"access\":\"rw\"}," +
                 "{\"index\":8199,\"type\":\"r32\",\"value\":2.5,\"access\":\"rw\"}," +
                 "{\"index\":8196,\"type\":\"u16\",\"value\":0,\"access\":\"rw\"}]," +
                 "\"tpdo\":[{\"cobId\":396,\"type\":254,\"objects\":[8193,8198]}," +
                 "{\"cobId\":652,\"type\":1,\"objects\":[8199]}]," +
                 "\"rpdo\":[{\"cobId\":524,\"objects\":[8196]}]}]"));
  D_can* n = node("NC12", 12);
  const std::string eds = testing::TempDir() + "peer_pdo.eds";
  std::ofstream(eds)
      << "[1400sub1]\n[1800sub1]\n[1801sub1]\n[2001]\nParameterName=count\nDataType=0x6\n"
         "[2006]\nParameterName=offset\nDataType=0x4\n[2007]\nParameterName=gain\n"
         "DataType=0x8\n[2004]\nParameterName=setpoint\nDataType=0x6\n";
  D_canpdo p("NC12.PDO", n, &location());
  ASSERT_EQ(0, p.read_mappings(eds)) << p.error();
  std::remove(eds.c_str());
  // The event-driven TPDO goes out only in Operational: set the object after
  // the device has taken the start command, not while it may still be on its way.
  const size_t started = peer_.line_count();
  ASSERT_EQ(0, n->start_node());
  ASSERT_GE(peer_.wait_for_line("state 12 5", kAnswerMs, started), 0);
  pdo_sample s;
  const size_t set_at = peer_.line_count();
  ASSERT_TRUE(peer_.send("set 12 0x2001 43981"));
  ASSERT_GE(peer_.wait_for_line("set 12 0x2001 ok", kAnswerMs, set_at), 0);
  ASSERT_TRUE(cycle_until(n, [&] { return p.take(1, &s) == 1 && s.values[0].as_uint() == 43981; }))
      << testing::PrintToString(peer_.lines());
  EXPECT_EQ(-5, s.values[1].as_int());
  EXPECT_EQ(0, p.take(2, &s)) << "no SYNC yet";
  ASSERT_EQ(0, can_sync(n->value()->i1_data, 20000, 0));
  ASSERT_TRUE(cycle_until(n, [&] { return p.take(2, &s) == 1; }));
  EXPECT_EQ(2.5, s.values[0].as_double());
  ASSERT_EQ(0, p.send_rpdo(1, {pdo_value::of_uint(PDO_UNSIGNED16, 0xBEEF)}));
  // The RPDO reaches node-canopen over the gateway, the question over its
  // standard input: ask until the object shows the value.
  std::string shown;
  for (int k = 0; k < 30 && shown != "value 12 0x2004 0 EFBE"; ++k) {
    if (k > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const size_t mark = peer_.line_count();
    ASSERT_TRUE(peer_.send("value 12 0x2004 0"));
    const int i = peer_.wait_for([](const std::string& l) { return l.rfind("value 12 ", 0) == 0; },
                                 kAnswerMs, mark);
    ASSERT_GE(i, 0);
    shown = peer_.lines()[i];
  }
  EXPECT_EQ(shown, "value 12 0x2004 0 EFBE");
}
