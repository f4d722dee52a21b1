// The gateway's web interface: the reset form and its login, the hung fault
// switch, the status page; and the command-line entries of the tool.
#include <httplib.h>

#include "gateway_fixture.h"

namespace {

using gw_test::eventually;
using gw_test::frame;

constexpr const char* kForm = "application/x-www-form-urlencoded";

class Web : public gw_test::GatewayTest {
 protected:
  httplib::Client client() { return httplib::Client("127.0.0.1", gw_->http_port()); }

  int post_reset(const std::string& body, const char* user, const char* password) {
    httplib::Client c = client();
    if (user) c.set_basic_auth(user, password);
    auto res = c.Post("/Forms/Firmware", body, kForm);
    if (!res) return -1;
    last_auth_challenge_ = res->get_header_value("WWW-Authenticate");
    return res->status;
  }

  std::string last_auth_challenge_;
};

TEST_F(Web, TheResetFormRestartsTheServiceOnlyWithTheLogin) {
  start();
  NTCAN_HANDLE a = open(0);
  gw_->set_hung(true);

  EXPECT_EQ(401, post_reset("FWUpdReset=1", nullptr, nullptr));
  EXPECT_EQ(last_auth_challenge_.rfind("Basic ", 0), 0u) << last_auth_challenge_;
  EXPECT_EQ(401, post_reset("FWUpdReset=1", "tavroadm", "kix7parl"));
  EXPECT_EQ(401, post_reset("FWUpdReset=1", "tavroadm2", "kix7parlo"));
  EXPECT_EQ(401, post_reset("FWUpdReset=1", "", ""));
  {
    httplib::Client c = client();
    httplib::Headers h{{"Authorization", "Basic !!!!"}};
    auto res = c.Post("/Forms/Firmware", h, "FWUpdReset=1", kForm);
    ASSERT_TRUE(res);
    EXPECT_EQ(401, res->status);
  }
  // The right login without the form field is no reset either.
  EXPECT_EQ(400, post_reset("FWUpdReset=0", "tavroadm", "kix7parlo"));
  EXPECT_EQ(400, post_reset("Other=1", "tavroadm", "kix7parlo"));
  EXPECT_EQ(gw_->restarts(), 0u);
  EXPECT_TRUE(gw_->hung());
  EXPECT_TRUE(gw_->service_up());
  EXPECT_EQ(gw_->status().unauthorized, 5u);

  gw_->set_hung(false);
  CAN_IF_STATUS st;
  ASSERT_EQ(NTCAN_SUCCESS, canStatus(a, &st));  // the connection is still there
  gw_->set_hung(true);

  EXPECT_EQ(200, post_reset("FWUpdReset=1", "tavroadm", "kix7parlo"));
  ASSERT_TRUE(eventually([&] { return gw_->restarts() == 1 && gw_->service_up(); }));
  EXPECT_FALSE(gw_->hung());
  EXPECT_EQ(NTCAN_SOCK_CONN_TIMEOUT, canStatus(a, &st));  // dropped by the restart
  NTCAN_HANDLE b = open(0);
  EXPECT_EQ(NTCAN_SUCCESS, canStatus(b, &st));
}

TEST_F(Web, StatusPageShowsNetsClientsDevicesAndCounters) {
  zgw::Options o = options();
  o.devices.push_back({1, 7, std::string(ZUNTAL_EXAMPLES_DIR) + "/zio8.eds"});
  start(o);
  NTCAN_HANDLE a = open(0, {0x100, 0x101, kMarker});
  NTCAN_HANDLE b = open(0, {0x100, kMarker});
  ASSERT_EQ(NTCAN_SUCCESS, send(b, {frame(0x100), frame(0x100), frame(0x101)}));
  ASSERT_EQ(until_marker(a, b).size(), 3u);
  ASSERT_TRUE(eventually([&] { return gw_->status().nets[0].frames_to_clients == 4; }));

  httplib::Client c = client();
  auto res = c.Get("/");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Type").rfind("text/html", 0), 0u);
  const std::string& page = res->body;
  for (const char* part :
       {"<h2>Net 0</h2>", "<h2>Net 1</h2>", "127.0.0.1:", "ZIO8", "pre-operational", "running",
        "Frames on the net: 4, from clients: 4, to clients: 4.", "no clients", "no devices"})
    EXPECT_NE(page.find(part), std::string::npos) << part;
  // Both clients are listed with their counters: a took 4 frames with three
  // identifiers enabled, b put 4 on the net with two.
  EXPECT_NE(page.find("<td class=\"n\">0</td><td class=\"n\">4</td><td class=\"n\">3</td>"),
            std::string::npos);
  EXPECT_NE(page.find("<td class=\"n\">4</td><td class=\"n\">0</td><td class=\"n\">2</td>"),
            std::string::npos);

  // The fault switch, from loopback; the page and the JSON follow it.
  auto hang = c.Post("/admin/hang");
  ASSERT_TRUE(hang);
  EXPECT_EQ(hang->status, 303);
  EXPECT_TRUE(gw_->hung());
  EXPECT_NE(c.Get("/")->body.find("<b class=\"hung\">hung</b>"), std::string::npos);
  EXPECT_NE(c.Get("/status.json")->body.find("\"hung\":true"), std::string::npos);
  ASSERT_TRUE(c.Post("/admin/unhang"));
  EXPECT_FALSE(gw_->hung());
}

TEST_F(Web, AdminRequestsCanBeSwitchedOff) {
  zgw::Options o = options();
  o.admin = false;
  start(o);
  httplib::Client c = client();
  auto res = c.Post("/admin/hang");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 403);
  EXPECT_FALSE(gw_->hung());
  EXPECT_EQ(c.Get("/")->body.find("/admin/hang"), std::string::npos);
}

TEST(GatewayEntries, DevicesAndNetListsFromTheCommandLine) {
  zgw::DeviceEntry d;
  std::string why;
  ASSERT_TRUE(zgw::parse_device("1:0x10:dir:with:colons/dev.eds", &d, &why)) << why;
  EXPECT_EQ(d.net, 1);
  EXPECT_EQ(d.node, 16);
  EXPECT_EQ(d.eds, "dir:with:colons/dev.eds");
  for (const char* bad : {"dev.eds", "0:5", "0:5:", "x:5:a.eds", "0:128:a.eds", "256:1:a.eds"})
    EXPECT_FALSE(zgw::parse_device(bad, &d, &why)) << bad;

  std::vector<int> nets;
  ASSERT_TRUE(zgw::parse_net_list("0,2,5", &nets, &why));
  EXPECT_EQ(nets, (std::vector<int>{0, 2, 5}));
  for (const char* bad : {"", "0,,1", "1,", "256", "a"})
    EXPECT_FALSE(zgw::parse_net_list(bad, &nets, &why)) << bad;
}

}  // namespace
