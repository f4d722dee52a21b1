// The gateway's /status.json: valid UTF-8 JSON also when an EDS file holds
// Latin-1 text, and the same content as the HTML page, "Connected (s)"
// included.
#include <httplib.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "gateway_fixture.h"
#include "status_json.h"

namespace {

using gw_test::eventually;

TEST(StatusJson, TextsBecomeUtf8) {
  const std::string utf8 = "\xC3\x96lpumpe \xE2\x82\xAC \xF0\x9F\x94\x8C";  // "Ölpumpe € 🔌"
  EXPECT_EQ(zgw::to_utf8(utf8), utf8) << "valid UTF-8 stays";
  EXPECT_EQ(zgw::to_utf8("plain"), "plain");
  EXPECT_EQ(zgw::to_utf8("\xD6lpumpe 10\xB0"
                         "C"),
            "\xC3\x96lpumpe 10\xC2\xB0"
            "C")
      << "Latin-1";
  // Not UTF-8: overlong, a surrogate, cut short, a lone continuation byte.
  EXPECT_EQ(zgw::to_utf8("\xC0\xAF"), "\xC3\x80\xC2\xAF");
  EXPECT_EQ(zgw::to_utf8("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80");
  EXPECT_EQ(zgw::to_utf8("ab\xE2\x82"), "ab\xC3\xA2\xC2\x82");
  EXPECT_EQ(zgw::to_utf8("\x80"), "\xC2\x80");
}

class StatusJsonWeb : public gw_test::GatewayTest {};

TEST_F(StatusJsonWeb, Latin1EdsAndTheColumnsOfThePage) {
  // The ZIO8's file with a product name in Latin-1, as a Windows tool writes it.
  std::ifstream in(std::string(ZUNTAL_EXAMPLES_DIR) + "/zio8.eds");
  std::stringstream eds;
  for (std::string l; std::getline(in, l);)
    eds << (l.rfind("ProductName=", 0) == 0 ? std::string("ProductName=Z\xE4hler E/A") : l) << "\n";
  char path[] = "/tmp/zuntal-latin1-XXXXXX.eds";
  const int fd = ::mkstemps(path, 4);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, eds.str().data(), eds.str().size()),
            static_cast<ssize_t>(eds.str().size()));
  ::close(fd);

  zgw::Options o = options();
  o.devices.push_back({0, 7, path});
  start(o);
  open(0, {0x100});
  // The page is read after the JSON: wait until the device has booted and
  // said so on the net, the last change of the figures both show.
  ASSERT_TRUE(eventually([&] {
    const zgw::NetInfo n = gw_->status().nets[0];
    return n.clients.size() == 1 && n.frames_on_bus >= 1 && n.devices.size() == 1 &&
           n.devices[0].state == "pre-operational" && n.devices[0].frames_sent >= 1;
  }));

  httplib::Client c("127.0.0.1", gw_->http_port());
  auto res = c.Get("/status.json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->get_header_value("Content-Type").rfind("application/json", 0), 0u);
  nlohmann::json j;
  ASSERT_NO_THROW(j = nlohmann::json::parse(res->body)) << res->body;  // throws on bad UTF-8
  const std::string page = c.Get("/")->body;
  std::remove(path);

  const auto& net = j.at("nets").at(0);
  const std::string name = net.at("devices").at(0).at("name");
  EXPECT_EQ(name, "Z\xC3\xA4hler E/A");
  EXPECT_EQ(net.at("devices").at(0).at("state"), "pre-operational");
  EXPECT_EQ(net.at("medium"), "simulated");
  // What the page shows of each client and device, the JSON has.
  ASSERT_EQ(net.at("clients").size(), 1u);
  const auto& client = net.at("clients").at(0);
  char secs[32];
  std::snprintf(secs, sizeof secs, "%.1f", client.at("connected_s").get<double>());
  EXPECT_NE(page.find("<th>Connected (s)</th>"), std::string::npos);
  std::ostringstream row;
  row << "<td class=\"n\">" << client.at("id").get<uint64_t>() << "</td><td>"
      << client.at("peer").get<std::string>() << "</td><td>"
      << client.at("protocol").get<std::string>() << "</td><td class=\"n\">"
      << client.at("frames_in").get<uint64_t>() << "</td><td class=\"n\">"
      << client.at("frames_out").get<uint64_t>() << "</td><td class=\"n\">"
      << client.at("ids").get<int>() << "</td><td class=\"n\">";
  EXPECT_NE(page.find(row.str()), std::string::npos) << row.str() << "\n" << page;
  EXPECT_NE(page.find("<td>" + name + "</td><td>pre-operational</td>"), std::string::npos)
      << "the page in UTF-8 too\n"
      << page;
  EXPECT_EQ(j.at("service"), "running");
  EXPECT_EQ(j.at("can_port"), gw_->can_port());
  EXPECT_NE(
      page.find("Frames on the net: " + std::to_string(net.at("frames_on_bus").get<uint64_t>())),
      std::string::npos);
}

}  // namespace
