// SDO upload of the node property against scripted peers on the driver's
// device hook: recorded traffic, answer decoding, aborts, toggle errors,
// capacity and the answer wait on the framework clock.
#include <string>
#include <vector>

#include "canopen_support.h"

using cotest::Responder;
using cotest::text;

namespace {

constexpr int kNet = cotest::kSdoNet;
constexpr int kNode = cotest::kSdoNode;
using cotest::frames602;

using SdoTest = cotest::SdoNodeFixture;

// Traffic recorded from an independent CANopen implementation: the library's
// requests must match it byte for byte.
TEST_F(SdoTest, RecordedUploadsMatchByteForByte) {
  {
    Responder peer(kNet, kNode);
    peer.then("41 08 10 00 1A 00 00 00");
    peer.then("00 54 69 6E 79 20 4E 6F");
    peer.then("10 64 65 20 2D 20 4D 65");
    peer.then("00 67 61 20 44 6F 6D 61");
    peer.then("15 69 6E 73 20 21 00 00");
    char buf[64] = {};
    int len = -1;
    EXPECT_EQ(0, can->segSdoRead(kNode, 0x1008, 0, buf, 63, &len));
    EXPECT_EQ(peer.requests(), frames602({"40 08 10 00 00 00 00 00", "60 00 00 00 00 00 00 00",
                                          "70 00 00 00 00 00 00 00", "60 00 00 00 00 00 00 00",
                                          "70 00 00 00 00 00 00 00"}));
    EXPECT_EQ(26, len);
    EXPECT_EQ(std::string(buf), "Tiny Node - Mega Domains !");
  }
  {
    Responder peer(kNet, kNode);
    peer.then("43 18 10 01 04 00 00 00");
    unsigned char buf[8];
    std::memset(buf, 0xAA, sizeof buf);
    int len = -1;
    EXPECT_EQ(0, can->segSdoRead(kNode, 0x1018, 1, reinterpret_cast<char*>(buf), 8, &len));
    EXPECT_EQ(peer.requests(), frames602({"40 18 10 01 00 00 00 00"}));
    EXPECT_EQ(4, len);
    const unsigned char want[] = {0x04, 0x00, 0x00, 0x00, 0x00, 0xAA};
    EXPECT_EQ(0, std::memcmp(buf, want, sizeof want)) << "4 data bytes and a zero byte";
  }
  EXPECT_EQ(0, sdo_errors());
}

TEST_F(SdoTest, RecordedAbortEndsTheTransfer) {
  Responder peer(kNet, kNode);
  peer.then("80 18 10 01 11 00 09 06");
  char buf[64] = {};
  testing::internal::CaptureStdout();
  const int r = can->segSdoRead(kNode, 0x1018, 1, buf);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(-1, r);
  EXPECT_EQ(peer.requests(), frames602({"40 18 10 01 00 00 00 00"}));
  EXPECT_EQ(out, "Segmented transfer aborted with code 0x6090011\n");
  EXPECT_EQ(1, msgs_.count("segSdoRead", "--Error: initUploadResponse failed with error -1"));
}

// What the command bytes of the answers mean.
TEST_F(SdoTest, ExpeditedAndSegmentAnswersAreDecoded) {
  struct Case {
    const char* answer;
    int length;
  } cases[] = {{"4F 00 10 00 11 22 33 44", 1},
               {"4B 00 10 00 11 22 33 44", 2},
               {"43 00 10 00 11 22 33 44", 4},
               {"42 00 10 00 11 22 33 44", 4}};  // size not given: 4
  for (const Case& c : cases) {
    Responder peer(kNet, kNode);
    peer.then(c.answer);
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    int len = -1;
    EXPECT_EQ(0, can->segSdoRead(kNode, 0x1000, 0, buf, 8, &len)) << c.answer;
    EXPECT_EQ(c.length, len) << c.answer;
    EXPECT_EQ(0, std::memcmp(buf, "\x11\x22\x33\x44", c.length)) << c.answer;
    EXPECT_EQ('\0', buf[c.length]) << c.answer;
    EXPECT_EQ('#', buf[c.length + 1]) << c.answer;
  }

  // Segmented: the size given is ignored; the toggle alternates from 0; a
  // segment 0x0B carries 2 bytes and is the last.
  Responder peer(kNet, kNode);
  peer.then("41 00 10 00 FF 00 00 00");
  peer.then("00 41 42 43 44 45 46 47");
  peer.then("10 48 49 4A 4B 4C 4D 4E");
  peer.then("0B 4F 50 00 00 00 00 00");
  char buf[64] = {};
  int len = -1;
  EXPECT_EQ(0, can->segSdoRead(kNode, 0x1000, 0, buf, 63, &len));
  EXPECT_EQ(16, len);
  EXPECT_EQ(std::string(buf), "ABCDEFGHIJKLMNOP");
  EXPECT_EQ(peer.requests(), frames602({"40 00 10 00 00 00 00 00", "60 00 00 00 00 00 00 00",
                                        "70 00 00 00 00 00 00 00", "60 00 00 00 00 00 00 00"}));
}

TEST_F(SdoTest, FramesThatAreNotTheAnswerArePassedOver) {
  using cotest::frame;
  CMSG remote = frame(0x582, "");
  remote.len = NTCAN_RTR | 8;
  // 0x583 is enabled as well, so that the other node's frames reach the wait.
  ASSERT_EQ(0, can->AddIdent(0x583));
  Responder peer(kNet, kNode);
  peer.then_frames({frame(0x583, "43 08 10 00 58 58 58 58"),  // another node
                    frame(0x582, "60 08 10 00 00 00 00 00"),  // not an initiate answer
                    remote,                                   // a remote request
                    frame(0x582, "80 08 10 01 00 00 02 06"),  // abort of another object
                    frame(0x582, "41 08 10 00 09 00 00 00")});
  peer.then_frames({frame(0x582, "80 08 10 01 00 00 02 06"),  // the same, during a segment
                    frame(0x582, "43 08 10 00 58 58 58 58"),  // not a segment answer
                    frame(0x582, "00 6F 6E 65 20 74 77 6F")});
  peer.then("1B 21 21 00 00 00 00 00");
  char buf[64] = {};
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, can->segSdoRead(kNode, 0x1008, 0, buf));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(std::string(buf), "one two!!");
  EXPECT_EQ(0, sdo_errors());
}

TEST_F(SdoTest, AbortsAndToggleErrorsEndTheTransfer) {
  using cotest::frame;
  ASSERT_EQ(0, can->AddIdent(0x583));
  char buf[64] = {};

  // An abort of the same object counts from any identifier.
  {
    Responder peer(kNet, kNode);
    peer.then_frames({frame(0x583, "80 08 10 00 00 00 02 06")});
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, can->segSdoRead(kNode, 0x1008, 0, buf));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Segmented transfer aborted with code 0x6020000\n");
    EXPECT_EQ(1, sdo_errors());
  }
  msgs_.clear();

  // An abort instead of the second segment: no message of segSdoRead's own.
  {
    Responder peer(kNet, kNode);
    peer.then("41 08 10 00 20 00 00 00");
    peer.then("00 41 42 43 44 45 46 47");
    peer.then("80 08 10 00 00 00 04 05");
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, can->segSdoRead(kNode, 0x1008, 0, buf));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Segmented transfer aborted with code 0x5040000\n");
    EXPECT_EQ(3u, peer.request_count()) << "no request is repeated";
  }

  // A first segment that carries toggle 1.
  {
    Responder peer(kNet, kNode);
    peer.then("41 08 10 00 20 00 00 00");
    peer.then("10 41 42 43 44 45 46 47");
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, can->segSdoRead(kNode, 0x1008, 0, buf));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "--Error: bad toggle bit in segmented transfer sequence.\n");
    EXPECT_EQ(2u, peer.request_count());
  }
  EXPECT_EQ(0, sdo_errors());
}

// No transfer writes past its buffer or goes on beyond it: once the buffer
// is full before the last segment, the node gets an abort request 0x05040005
// for the object and no further segment request. The identity-sized form
// counts that as a read; the forms with a capacity say the object did not fit.
TEST_F(SdoTest, ObjectLongerThanTheBufferEndsWithAnAbort) {
  std::string name;
  for (int k = 0; k < 70; ++k) name += static_cast<char>('A' + k % 26);
  const std::vector<uint8_t> object(name.begin(), name.end());
  const std::string abort1008 = text(0x602, "80 08 10 00 05 00 04 05");
  {
    Responder peer(kNet, kNode);
    peer.serve(object);
    // Exactly 64 bytes on the heap, so that a write past them is caught.
    std::unique_ptr<char[]> buf(new char[64]());
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, can->segSdoRead(kNode, 0x1008, 0, buf.get()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(std::string(buf.get()), name.substr(0, 63));
    EXPECT_EQ(9, peer.segments_served()) << "9 segments fill 63 bytes";
    EXPECT_EQ(1, peer.aborts());
    EXPECT_EQ(0x05040005u, peer.abort_code());
    const auto req = peer.requests();
    ASSERT_EQ(11u, req.size());
    EXPECT_EQ(req.back(), abort1008);
    EXPECT_EQ(0, sdo_errors());
  }
  {
    // The identity read shows the first 63 characters and counts as done.
    Responder peer(kNet, kNode);
    peer.serve(object);
    EXPECT_EQ(0, can->get_manufacture());
    EXPECT_EQ(shown("NODE2.MANU"), name.substr(0, 63));
    EXPECT_EQ(1, peer.aborts());
    // The node is out of the transfer: the next upload starts cleanly.
    peer.serve({'o', 'k', '!', '?', '.', '1'});
    EXPECT_EQ(0, can->get_hwversion());
    EXPECT_EQ(shown("NODE2.HWVER"), "ok!?.1");
    EXPECT_EQ(1, peer.aborts());
  }
  {
    // A capacity of 20: three segments (21 bytes, the last one cut), then
    // the abort; the caller learns that the object did not fit, and what
    // was stored.
    Responder peer(kNet, kNode);
    peer.serve(object);
    std::unique_ptr<char[]> buf(new char[20]());
    int len = -1;
    EXPECT_EQ(SDO_OBJECT_TOO_LONG, can->segSdoRead(kNode, 0x1008, 0, buf.get(), 20, &len));
    EXPECT_EQ(20, len);
    EXPECT_EQ(std::string(buf.get(), 20), name.substr(0, 20));
    EXPECT_EQ(3, peer.segments_served());
    EXPECT_EQ(peer.requests().back(), abort1008);
    EXPECT_EQ(1, msgs_.count("segSdoRead", "--Error: object 0x1008/0 does not fit into 20 bytes"));
  }
  msgs_.clear();
  {
    // Cut in the last segment or in an expedited answer: the node has ended
    // the transfer itself, so nothing is aborted, but it did not fit.
    Responder peer(kNet, kNode);
    peer.serve(std::vector<uint8_t>(object.begin(), object.begin() + 10));
    char buf[8];
    int len = -1;
    EXPECT_EQ(SDO_OBJECT_TOO_LONG, can->segSdoRead(kNode, 0x1008, 0, buf, 8, &len));
    EXPECT_EQ(8, len);
    EXPECT_EQ(std::string(buf, 8), name.substr(0, 8));
    peer.serve({1, 2, 3, 4});
    std::unique_ptr<char[]> two(new char[2]());
    EXPECT_EQ(SDO_OBJECT_TOO_LONG, can->segSdoRead(kNode, 0x1018, 1, two.get(), 2, &len));
    EXPECT_EQ(2, len);
    EXPECT_EQ(1, two[0]);
    EXPECT_EQ(2, two[1]);
    EXPECT_EQ(0, peer.aborts());
    EXPECT_EQ(1, msgs_.count("segSdoRead", "--Error: object 0x1018/1 does not fit into 2 bytes"));
  }
  {
    // An object of exactly the capacity fits: no abort, no message.
    Responder peer(kNet, kNode);
    peer.serve(std::vector<uint8_t>(object.begin(), object.begin() + 21));
    char buf[21];
    int len = -1;
    msgs_.clear();
    EXPECT_EQ(0, can->segSdoRead(kNode, 0x1008, 0, buf, 21, &len));
    EXPECT_EQ(21, len);
    EXPECT_EQ(std::string(buf, 21), name.substr(0, 21));
    EXPECT_EQ(0, peer.aborts());
    EXPECT_EQ(0, sdo_errors());
  }
}

// A node that never sends its last segment holds nobody: the transfer asks
// for at most ceil(capacity / 7) + 1 segments, also when they carry little
// or no data, and then ends the node's side with the abort.
TEST_F(SdoTest, NodeThatNeverSendsTheLastSegmentIsBounded) {
  struct Case {
    int bytes;     // per segment
    int capacity;  // 0: the identity-sized form
    int result;
    int segments;
    int stored;
  } cases[] = {
      {7, 0, 0, 9, 63},   // fills the buffer
      {0, 0, 0, 10, 0},   // empty segments: the segment bound
      {3, 0, 0, 10, 30},  // short segments
      {1, 14, SDO_OBJECT_TOO_LONG, 3, 3},
      {7, 5, SDO_OBJECT_TOO_LONG, 1, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("bytes " + std::to_string(c.bytes) + " capacity " + std::to_string(c.capacity));
    Responder peer(kNet, kNode);
    peer.serve_endless(c.bytes);
    char buf[64] = {};
    int len = -1;
    const int r = c.capacity == 0 ? can->segSdoRead(kNode, 0x1008, 0, buf)
                                  : can->segSdoRead(kNode, 0x1008, 0, buf, c.capacity, &len);
    EXPECT_EQ(c.result, r);
    EXPECT_EQ(c.segments, peer.segments_served());
    EXPECT_EQ(1, peer.aborts());
    EXPECT_EQ(0x05040005u, peer.abort_code());
    EXPECT_EQ(peer.requests().size(), size_t(c.segments) + 2) << "initiate, segments, abort";
    if (c.capacity == 0) {
      EXPECT_EQ(std::string(buf), std::string(size_t(c.stored), 'z'));
    } else {
      EXPECT_EQ(c.stored, len);
    }
  }

  // The steps on their own: a segment that fills the buffer sends the abort;
  // the identity-sized form completes, the form with a capacity says it did
  // not fit.
  for (int capacity : {0, 7}) {
    Responder peer(kNet, kNode);
    peer.serve_endless(7);
    char buf[64] = {};
    int offset = 0;
    EXPECT_EQ(0, can->initiateUpload(kNode, 0x1008, 0));
    if (capacity == 0) {
      EXPECT_EQ(0, can->initUploadResponse(kNode, buf, &offset));
      for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(0, can->requestUploadSegment(0));
        EXPECT_EQ(0, can->receiveUploadSegment(kNode, buf, &offset));
      }
      EXPECT_EQ(0, can->requestUploadSegment(0));
      EXPECT_EQ(0x12345678, can->receiveUploadSegment(kNode, buf, &offset));
      EXPECT_EQ(63, offset);
    } else {
      EXPECT_EQ(0, can->initUploadResponse(kNode, buf, &offset, capacity));
      EXPECT_EQ(0, can->requestUploadSegment(0));
      EXPECT_EQ(SDO_OBJECT_TOO_LONG, can->receiveUploadSegment(kNode, buf, &offset, capacity));
      EXPECT_EQ(7, offset);
    }
    EXPECT_EQ(1, peer.aborts());
  }
}

TEST_F(SdoTest, NodeThatStopsAnsweringIsGivenUpAfterTwoToThreeSeconds) {
  const NTCAN_HANDLE h = can->handle();
  char buf[64] = {};
  {
    Responder peer(kNet, kNode);
    peer.then("");
    int r = until_given_up(
        h, [&] { return peer.request_count() >= 1; },
        [&] { return can->segSdoRead(kNode, 0x1008, 0, buf); });
    EXPECT_EQ(-1, r);
    EXPECT_EQ(1u, peer.request_count());
    EXPECT_EQ(1, msgs_.count("segSdoRead", "--Error: initUploadResponse failed with error -1"));
  }
  msgs_.clear();
  {
    Responder peer(kNet, kNode);
    peer.then("41 08 10 00 20 00 00 00");
    peer.then("");
    int r = until_given_up(
        h, [&] { return peer.request_count() >= 2; },
        [&] { return can->segSdoRead(kNode, 0x1008, 0, buf); });
    EXPECT_EQ(-1, r);
    EXPECT_EQ(2u, peer.request_count());
    EXPECT_EQ(0, sdo_errors()) << "a segment time-out prints nothing of segSdoRead's own";
  }
}

TEST_F(SdoTest, DriverFailuresArePassedThrough) {
  using ntcan_ctl::Op;
  char buf[64] = {};
  Responder peer(kNet, kNode);
  peer.serve({'x', 'y', 'z', '1', '2', '3'});

  ntcan_ctl::force_status(kNet, Op::Send, NTCAN_TX_ERROR, 1);
  EXPECT_EQ(NTCAN_TX_ERROR, can->segSdoRead(kNode, 0x1008, 0, buf));
  EXPECT_EQ(1, msgs_.count("segSdoRead", "--Error: initiateUpload failed with error 260"));

  ntcan_ctl::force_status(kNet, Op::Take, NTCAN_CONTR_OFF_BUS, 1);
  EXPECT_EQ(NTCAN_CONTR_OFF_BUS, can->segSdoRead(kNode, 0x1008, 0, buf));
  EXPECT_EQ(1, msgs_.count("segSdoRead", "--Error: initUploadResponse failed with error 261"));
}

// The four-argument forms of the steps, as a server may drive them itself.
TEST_F(SdoTest, StepsDrivenOneByOne) {
  Responder peer(kNet, kNode);
  peer.then("41 09 10 00 09 00 00 00");
  peer.then("00 31 2E 30 20 72 65 76");
  peer.then("1B 20 42 00 00 00 00 00");
  char buf[64] = {};
  int offset = 0;
  EXPECT_EQ(0, can->initiateUpload(kNode, 0x1009, 0));
  EXPECT_EQ(0, can->initUploadResponse(kNode, buf, &offset));
  EXPECT_EQ(0, can->requestUploadSegment(0));  // always to the property's own node
  EXPECT_EQ(0, can->receiveUploadSegment(kNode, buf, &offset));
  EXPECT_EQ(7, offset);
  EXPECT_EQ(0, can->requestUploadSegment(0));
  EXPECT_EQ(0x12345678, can->receiveUploadSegment(kNode, buf, &offset));
  EXPECT_EQ(9, offset);
  EXPECT_EQ(std::string(buf), "1.0 rev B");
  EXPECT_EQ(peer.requests(), frames602({"40 09 10 00 00 00 00 00", "60 00 00 00 00 00 00 00",
                                        "70 00 00 00 00 00 00 00"}));

  // isAbort looks at the command byte and the object of the transfer only.
  CMSG m = cotest::frame(0x7FF, "85 09 10 00 78 56 34 12");
  int code = 0;
  EXPECT_EQ(1, can->isAbort(&m, &code));
  EXPECT_EQ(0x12345678, code);
  m.data[3] = 1;
  EXPECT_EQ(0, can->isAbort(&m, &code));
}

}  // namespace
