// SDO block upload and download (blockSdoRead, blockSdoWrite) against
// simulated devices: objects of every size class byte for byte, and the
// device's faults, each ending as CiA 301 says.
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

class BlockTest : public cotest::SimFixture {
 protected:
  void SetUp() override {
    cotest::SimFixture::SetUp();
    dev_ = add(5, "zps48.eds");
    ASSERT_NE(nullptr, dev_);
    n_ = node("PSU", 1, 5, 0x585);
  }
  static std::vector<uint8_t> pattern(int size) {
    std::vector<uint8_t> v(static_cast<size_t>(size));
    for (int k = 0; k < size; ++k) v[static_cast<size_t>(k)] = static_cast<uint8_t>(k * 7 + 3);
    return v;
  }
  std::vector<uint8_t> stored(uint16_t index) {
    std::vector<uint8_t> v;
    EXPECT_TRUE(dev_->read_object(index, 0, &v));
    return v;
  }

  zsim::Device* dev_ = nullptr;
  D_can* n_ = nullptr;
};

// Sizes from the empty object to 4 KiB, sub-block boundaries and both ends
// of the block size range on either side; a buffer of exactly the object's
// size, and ones too small, where the transfer stops with abort 0x05040005.
// The device's frame count shows the block protocol: an upload takes the
// initiate answer, one frame per 7 bytes and the end; a download the
// initiate answer, one acknowledgement per sub-block and the end.
TEST_F(BlockTest, ObjectsMoveByteForByte) {
  struct Row {
    int size, capacity, client_blk, device_blk;
  };
  const Row rows[] = {{0, 0, 64, 127},       {1, 1, 64, 127},       {7, 7, 64, 127},
                      {8, 8, 1, 1},          {448, 448, 64, 64},    {600, 600, 127, 5},
                      {4096, 4096, 64, 127}, {4096, 4095, 64, 127}, {100, 50, 64, 127}};
  for (const Row& row : rows) {
    SCOPED_TRACE("size " + std::to_string(row.size) + " capacity " + std::to_string(row.capacity));
    const std::vector<uint8_t> obj = pattern(row.size);
    const int segments = std::max(1, (row.size + 6) / 7);
    n_->set_sdo_block_size(row.client_blk);
    dev_->set_block_size(row.device_blk);
    dev_->write_object(0x2100, 0, obj);
    std::vector<char> buf(static_cast<size_t>(row.capacity) + 1, '\0');
    int len = -1;
    uint64_t sent = dev_->frames_sent();
    const int r = n_->blockSdoRead(5, 0x2100, 0, buf.data(), row.capacity, &len);
    if (row.capacity >= row.size) {
      EXPECT_EQ(0, r);
      EXPECT_EQ(row.size, len);
      EXPECT_EQ(sent + segments + 2, dev_->frames_sent());
      EXPECT_EQ(0u, n_->sdo_sent_abort_code());
    } else {
      EXPECT_EQ(SDO_OBJECT_TOO_LONG, r);
      EXPECT_EQ(row.capacity, len);
      EXPECT_EQ(0x05040005u, n_->sdo_sent_abort_code());
    }
    EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + len),
              std::vector<uint8_t>(obj.begin(), obj.begin() + len));

    dev_->write_object(0x2100, 0, {});
    sent = dev_->frames_sent();
    EXPECT_EQ(0,
              n_->blockSdoWrite(5, 0x2100, 0, reinterpret_cast<const char*>(obj.data()), row.size));
    EXPECT_EQ(stored(0x2100), obj);
    EXPECT_EQ(sent + (segments + row.device_blk - 1) / row.device_blk + 2, dev_->frames_sent());
  }
  // A last segment (0x83) whose data repeats the object's index and subindex
  // is data, not an abort.
  std::vector<uint8_t> obj = pattern(20);
  obj[14] = 0x00, obj[15] = 0x21, obj[16] = 0x00;
  dev_->write_object(0x2100, 0, obj);
  std::vector<char> buf(20);
  int len = -1;
  EXPECT_EQ(0, n_->blockSdoRead(5, 0x2100, 0, buf.data(), 20, &len));
  EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.end()), obj);
}

// The device's faults, in either direction. A lost or repeated segment is
// recovered within the block transfer; a wrong CRC and a refusal end it with
// their abort, and the segmented transfer that follows says so in its
// result; a device that falls silent mid-block fails the transfer after the
// answer time-out, the node's side ended with abort 0x05040000.
TEST_F(BlockTest, FaultsEndAsCiA301Says) {
  using F = zsim::BlockFault;
  struct Row {
    F fault;
    bool upload;
    int result;
    uint32_t node_abort, sent_abort;
  };
  const Row rows[] = {
      {F::DropSegment, true, 0, 0, 0},
      {F::DropSegment, false, 0, 0, 0},
      {F::RepeatSegment, true, 0, 0, 0},
      {F::RepeatSegment, false, 0, 0, 0},
      {F::BadCrc, true, SDO_SEGMENTED_FALLBACK, 0, 0x05040004},
      {F::BadCrc, false, SDO_SEGMENTED_FALLBACK, 0x05040004, 0},
      {F::Refuse, true, SDO_SEGMENTED_FALLBACK, 0x05040001, 0},
      {F::Refuse, false, SDO_SEGMENTED_FALLBACK, 0x05040001, 0},
      {F::SilentAtSegment, true, -1, 0, 0x05040000},
      // Last: the silent device never heard the abort and would take the
      // next request as a segment of this download.
      {F::SilentAtSegment, false, -1, 0, 0x05040000},
  };
  const std::vector<uint8_t> obj = pattern(1000);
  n_->set_sdo_timeout_ms(500);
  testing::internal::CaptureStdout();
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(static_cast<int>(row.fault)) +
                 (row.upload ? " upload" : " download"));
    dev_->clear_faults();
    dev_->write_object(0x2100, 0, row.upload ? obj : std::vector<uint8_t>{});
    dev_->set_block_fault(row.fault, 3);
    std::vector<char> buf(obj.size());
    int len = 0;
    const int r = with_clock_running([&] {
      return row.upload
                 ? n_->blockSdoRead(5, 0x2100, 0, buf.data(), static_cast<int>(buf.size()), &len)
                 : n_->blockSdoWrite(5, 0x2100, 0, reinterpret_cast<const char*>(obj.data()),
                                     static_cast<int>(obj.size()));
    });
    EXPECT_EQ(row.result, r);
    EXPECT_EQ(row.node_abort, n_->sdo_abort_code());
    EXPECT_EQ(row.sent_abort, n_->sdo_sent_abort_code());
    if (r < 0) continue;
    if (row.upload)
      EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + len), obj);
    else
      EXPECT_EQ(stored(0x2100), obj);
  }
  testing::internal::GetCapturedStdout();
  // Each fallback is reported: the wrong CRCs and the refusals.
  EXPECT_EQ(4, msgs_.count("blockSdoRead", "segmented transfer follows") +
                   msgs_.count("blockSdoWrite", "segmented transfer follows"));
}

}  // namespace
