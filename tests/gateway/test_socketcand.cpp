// The socketcand protocol both ways: the driver's socketcand medium against
// the gateway's socketcand service, and what the service does with clients
// that break the protocol or crowd its port.
#include "gateway_fixture.h"

namespace {

using gw_test::frame;
using gw_test::RawClient;

class Socketcand : public gw_test::GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    zgw::Options o = options();
    o.socketcand_port = 0;
    start(o);
    via_socketcand(2, "zuntal0");
  }
  // Driver net `net` opens `bus` of a socketcand server.
  void via_socketcand(int net, const std::string& bus, int port = -1,
                      const std::string& host = "127.0.0.1") {
    ntcan_ctl::NetConfig c;
    c.kind = ntcan_ctl::NetConfig::Kind::Socketcand;
    c.host = host;
    c.port = port < 0 ? gw_->socketcand_port() : port;
    c.bus = bus;
    ntcan_ctl::configure_net(net, c);
  }
  // The next element the server sends, "" when none comes within 2 s.
  static std::string element(RawClient& c) {
    std::string e;
    for (std::vector<uint8_t> b; (b = c.get(1)).size() == 1;)
      if (!(e += char(b[0])).empty() && b[0] == '>') return e;
    return "";
  }
  // A raw client greeted, and with `open` the bus open in raw mode.
  std::unique_ptr<RawClient> raw_client(bool open = true) {
    auto c = std::make_unique<RawClient>(gw_->socketcand_port());
    EXPECT_EQ(element(*c), "< hi >");
    if (!open) return c;
    c->put(bytes("< open zuntal0 >< rawmode >"));
    EXPECT_EQ(element(*c) + element(*c), "< ok >< ok >");
    return c;
  }
  static std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }
};

// Frames as the driver hands them over: msg_lost and the reserved bytes 0.
bool same(const std::vector<CMSG>& a, const std::vector<CMSG>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(CMSG)) == 0;
}

TEST_F(Socketcand, TheDriverMediumCarriesFramesBothWaysFiltersThemAndFailsWhenDropped) {
  const NTCAN_HANDLE sc = open(2, {0x123, kMarker});
  const NTCAN_HANDLE gw = open(0, {0x124, kMarker});
  CMSG rtr = frame(0x123);
  rtr.len = 2 | NTCAN_RTR;
  const std::vector<CMSG> to_sc = {frame(0x123, {1, 2, 3, 4, 5, 6, 7, 0xFF}), frame(0x123), rtr};
  std::vector<CMSG> sent = to_sc;
  sent.insert(sent.begin() + 1, frame(0x125, {9}));  // not in the socketcand handle's filter
  ASSERT_EQ(NTCAN_SUCCESS, send(gw, sent));
  EXPECT_TRUE(same(until_marker(sc, gw), to_sc));
  rtr.id = 0x124;
  const std::vector<CMSG> to_gw = {frame(0x124, {0xA5}), rtr};
  ASSERT_EQ(NTCAN_SUCCESS, send(sc, to_gw));
  EXPECT_TRUE(same(until_marker(gw, sc), to_gw));
  CAN_IF_STATUS st;
  EXPECT_EQ(NTCAN_SUCCESS, canStatus(sc, &st));
  const auto clients = gw_->status().nets[0].clients;
  EXPECT_TRUE(std::any_of(clients.begin(), clients.end(), [](const zgw::ClientInfo& c) {
    return c.protocol == "socketcand" && c.ids == 2048 && c.frames_in == 3;
  }));

  // A restart drops the connection: every call fails, the handle stays
  // counted until it is closed, and a new one works.
  gw_->restart();
  ASSERT_TRUE(gw_test::eventually([&] { return canStatus(sc, &st) == NTCAN_SOCK_CONN_TIMEOUT; }));
  int32_t n = 1;
  CMSG f = frame(0x124);
  EXPECT_EQ(NTCAN_SOCK_CONN_TIMEOUT, canSend(sc, &f, &n));
  EXPECT_EQ(NTCAN_SOCK_CONN_TIMEOUT, canRead(sc, &f, &(n = 1), nullptr));
  EXPECT_EQ(ntcan_ctl::open_handles(2), 1);
  EXPECT_EQ(NTCAN_SUCCESS, canClose(sc));
  handles_.erase(std::find(handles_.begin(), handles_.end(), sc));
  EXPECT_EQ(ntcan_ctl::open_handles(2), 0);
  ASSERT_TRUE(gw_test::eventually([&] { return gw_->service_up(); }));
  EXPECT_GT(open(2), 0);
}

TEST_F(Socketcand, OpensThatCannotWorkAnswerTheGatewayMediumsStatuses) {
  ::setenv("NTCAN_GATEWAY_TIMEOUT_MS", "300", 1);  // read when a net is configured
  const struct {
    std::string host, bus;
    int port;  // -1: the socketcand service
    NTCAN_RESULT want;
  } cases[] = {
      {"127.0.0.1", "nosuch", -1, NTCAN_NET_NOT_FOUND},
      {"no host!", "zuntal0", -1, NTCAN_SOCK_HOST_NOT_FOUND},
      {"127.0.0.1", "zuntal0", gw_->can_port(), NTCAN_SOCK_CONN_TIMEOUT},  // never greets
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host + " " + c.bus);
    via_socketcand(3, c.bus, c.port, c.host);
    NTCAN_HANDLE h = -1;
    EXPECT_EQ(c.want, canOpen(3, 0, 10, 100, 1000, 1000, &h));
  }
  ::unsetenv("NTCAN_GATEWAY_TIMEOUT_MS");
  EXPECT_EQ(ntcan_ctl::open_handles(), 0);
}

TEST_F(Socketcand, BadInputIsAnsweredWithAnErrorAndNeverReachesTheNet) {
  const NTCAN_HANDLE h = open(0, {0x012, 0x123});
  auto c = raw_client();
  for (const char* bad : {"< send 123 2 1 >", "< send 123 1 1FF >", "< send 1AAAAAAA 0 >",
                          "< send 123 9 1 2 3 4 5 6 7 8 9 >", "< send 12 >", "< sendrtr 123 1 5 >",
                          "< subscribe 0 0 123 >", "< open zuntal1 >", "<  >"}) {
    SCOPED_TRACE(bad);
    c->put(bytes(bad));
    EXPECT_EQ(element(*c).rfind("< error ", 0), 0u);
  }
  c->put(bytes("< echo >< send 123 2 1 F1 >"));
  EXPECT_EQ(element(*c), "< echo >");
  EXPECT_TRUE(same(read_n(h, 1), {frame(0x123, {0x01, 0xF1})}));
  // What cannot be cut into elements any more ends the connection; so does
  // a hello other than an open of a served bus.
  const struct {
    std::string text;
    bool in_hello;
  } enders[] = {{"garbage", false},
                {"< send " + std::string(300, '1'), false},
                {"< open nosuch >", true},
                {"GET / HTTP/1.0\r\n\r\n", true}};
  for (const auto& e : enders) {
    const std::string& bad = e.text;
    SCOPED_TRACE(bad.substr(0, 20));
    auto d = raw_client(!e.in_hello);
    d->put(bytes(bad));
    EXPECT_EQ(element(*d).rfind("< error ", 0), 0u);
    EXPECT_TRUE(d->ended_within(2000));
  }
}

TEST_F(Socketcand, AHostileCrowdDoesNotStopTheOtherClientsWithinASecond) {
  // 500 connections: silent ones, garbage, endless lines.
  std::vector<std::unique_ptr<RawClient>> crowd;
  for (int i = 0; i < 500; ++i) {
    crowd.push_back(std::make_unique<RawClient>(gw_->socketcand_port()));
    if (i % 3 == 1) crowd.back()->put(bytes("\x01\x02 garbage"));
    if (i % 3 == 2) crowd.back()->put(bytes("< open " + std::string(150, 'x')));
  }
  const auto t0 = std::chrono::steady_clock::now();
  const NTCAN_HANDLE sc = open(2, {0x300});
  const NTCAN_HANDLE gw = open(0);
  ASSERT_EQ(NTCAN_SUCCESS, send(gw, {frame(0x300, {7})}));
  EXPECT_TRUE(same(read_n(sc, 1), {frame(0x300, {7})}));
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
}

}  // namespace
