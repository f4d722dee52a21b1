// The gateway's side of the wire protocol, spoken byte by byte by a raw
// client: what a program other than the project's driver meets.
#include "gateway_fixture.h"
#include "gateway_wire.h"

namespace {

using gw_test::frame;
using gw_test::kBase;
using gw_test::RawClient;

std::vector<uint8_t> frames_payload(const std::vector<CMSG>& frames) {
  std::vector<uint8_t> p(frames.size() * gw_wire::kFrameSize);
  for (size_t i = 0; i < frames.size(); ++i)
    gw_wire::put_frame(&p[i * gw_wire::kFrameSize], frames[i]);
  return p;
}

class Wire : public gw_test::GatewayTest {};

TEST_F(Wire, HelloAnswersVersionAndNet) {
  start();
  {
    RawClient c(gw_->can_port());
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.hello(0, 99), NTCAN_INVALID_DRIVER);
    EXPECT_TRUE(c.closed_by_peer());
  }
  {
    RawClient c(gw_->can_port());
    EXPECT_EQ(c.hello(5), NTCAN_NET_NOT_FOUND);
    EXPECT_TRUE(c.closed_by_peer());
  }
  {
    // Not a hello at all: the gateway ends the connection without a word.
    RawClient c(gw_->can_port());
    c.put(std::vector<uint8_t>(gw_wire::kHelloSize, 'x'));
    EXPECT_TRUE(c.closed_by_peer());
  }
}

TEST_F(Wire, MessagesAreAnsweredSkippedOrRefused) {
  start();
  NTCAN_HANDLE local = -1;
  ASSERT_EQ(NTCAN_SUCCESS, canOpen(kBase, 0, 10, 100, 1000, 2000, &local));
  handles_.push_back(local);
  ASSERT_EQ(NTCAN_SUCCESS, canIdAdd(local, 0x123));

  RawClient c(gw_->can_port());
  ASSERT_EQ(c.hello(0), NTCAN_SUCCESS);
  // A message type of a later protocol version is skipped, payload and all.
  c.put(RawClient::message(static_cast<gw_wire::Type>(200), {1, 2, 3, 4, 5}));
  c.put(RawClient::command(gw_wire::kIdAdd, 41, 0x123));
  EXPECT_EQ(c.answer(), std::make_pair(uint32_t{41}, int32_t{NTCAN_SUCCESS}));
  c.put(RawClient::command(gw_wire::kBaud, 42, 99));
  EXPECT_EQ(c.answer(), std::make_pair(uint32_t{42}, int32_t{NTCAN_INVALID_PARAMETER}));

  // A message with a malformed frame puts none of its frames on the net;
  // the next good one goes through.
  CMSG bad = frame(0x123, {1});
  bad.len = 9;
  c.put(RawClient::message(gw_wire::kFrames, frames_payload({frame(0x123, {1}), bad})));
  c.put(RawClient::message(gw_wire::kFrames, frames_payload({frame(0x123, {2})})));
  std::vector<CMSG> got = read_n(local, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data[0], 2);

  // Frames coming from the net carry the client's identifiers only.
  ASSERT_EQ(NTCAN_SUCCESS, send(local, {frame(0x124), frame(0x123, {7})}));
  std::vector<uint8_t> h = c.get(gw_wire::kHeaderSize);
  ASSERT_EQ(h.size(), gw_wire::kHeaderSize);
  EXPECT_EQ(h[4], gw_wire::kFrames);
  ASSERT_EQ(gw_wire::get32(h.data()), gw_wire::kFrameSize);
  std::vector<uint8_t> p = c.get(gw_wire::kFrameSize);
  ASSERT_EQ(p.size(), gw_wire::kFrameSize);
  CMSG f;
  gw_wire::get_frame(p.data(), &f);
  EXPECT_EQ(f.id, 0x123);
  EXPECT_EQ(f.data[0], 7);

  // A length beyond the largest message ends the connection.
  std::vector<uint8_t> huge(gw_wire::kHeaderSize);
  gw_wire::put_header(huge.data(), gw_wire::kMaxPayload + 1, gw_wire::kFrames);
  c.put(huge);
  EXPECT_TRUE(c.closed_by_peer());
}

}  // namespace
