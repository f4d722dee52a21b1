// zuntal_line.cpp - the line object: opening with the baud rate, handing
// further handles to node properties, closing, and the names of the driver's
// status codes.
#include <cstdio>
#include <string>

#include "D_zuntal.h"

namespace {

struct ERR2STR {
  unsigned long ntstatus;
  const char* str;
};

// The driver's status codes by name; the last record ends the table and
// names every code not listed.
const ERR2STR err2str[] = {
    {0x000, "NTCAN_SUCCESS"},
    {0x101, "NTCAN_RX_TIMEOUT"},
    {0x102, "NTCAN_TX_TIMEOUT"},
    {0x104, "NTCAN_TX_ERROR"},
    {0x105, "NTCAN_CONTR_OFF_BUS"},
    {0x106, "NTCAN_CONTR_BUSY"},
    {0x107, "NTCAN_CONTR_WARN"},
    {0x109, "NTCAN_NO_ID_ENABLED"},
    {0x10A, "NTCAN_ID_ALREADY_ENABLED"},
    {0x10B, "NTCAN_ID_NOT_ENABLED"},
    {0x10D, "NTCAN_INVALID_FIRMWARE"},
    {0x10E, "NTCAN_MESSAGE_LOST"},
    {0x016, "NTCAN_INVALID_PARAMETER"},
    {0x04D, "NTCAN_INVALID_HANDLE"},
    {0x013, "NTCAN_NET_NOT_FOUND"},
    {0x10F, "NTCAN_INVALID_HARDWARE"},
    {0x110, "NTCAN_PENDING_WRITE"},
    {0x111, "NTCAN_PENDING_READ"},
    {0x112, "NTCAN_INVALID_DRIVER"},
    {0x004, "NTCAN_OPERATION_ABORTED"},
    {0x113, "NTCAN_WRONG_DEVICE_STATE"},
    {0x00C, "NTCAN_INSUFFICIENT_RESOURCES"},
    {0x180, "NTCAN_SOCK_CONN_TIMEOUT"},
    {0x181, "NTCAN_SOCK_CMD_TIMEOUT"},
    {0x182, "NTCAN_SOCK_HOST_NOT_FOUND"},
    {0xFFFFFFFFUL, "NTCAN_UNKNOWN"},
};

constexpr unsigned long kEndMarker = 0xFFFFFFFFUL;
constexpr int32_t kTxQueue = 10;
constexpr int32_t kRxQueue = 100;
constexpr int32_t kTxTimeout = 1000;
constexpr int32_t kRxTimeout = 1000;

}  // namespace

std::string can_error_str(unsigned long ntstatus) {
  const ERR2STR* e = err2str;
  while (e->ntstatus != ntstatus && e->ntstatus != kEndMarker) ++e;
  char num[32];
  std::snprintf(num, sizeof num, "(0x%08lx)", ntstatus);
  return std::string(e->str) + num;
}

canline::canline()
    : linehandle_(-1),
      line_(0),
      baudrate_(6),
      is_open_(false),
      err_first_(false),
      board_status(0),
      deny_wget_reset_(false),
      reset_first_(false),
      t1_(),
      line_ip_(),
      ThreadStop_(false) {}

int canline::can_open(NTCAN_HANDLE& handle, bool openalways) {
  const NTCAN_HANDLE own = linehandle_.load(std::memory_order_relaxed);
  if (own > 0 && !openalways && handle != -1) {
    if (handle > 0) {
      is_open_ = true;
      err_first_ = false;
      return 0;
    }
    handle = -1;
    is_open_ = false;
    return -1;
  }
  if (own <= 0 && !openalways) {
    // Only the line's creator and its supervision thread open a line.
    handle = -1;
    is_open_ = false;
    return -1;
  }

  NTCAN_HANDLE fresh = -1;
  int r = canOpen(line_ - 1, 0, kTxQueue, kRxQueue, kTxTimeout, kRxTimeout, &fresh);
  if (r != NTCAN_SUCCESS) {
    handle = -1;
    // Reported once per run of failures; a successful open re-arms it.
    if (!err_first_.exchange(true))
      tavro::printtostderr(
          "canOpen returned: ", "Line : " + std::to_string(line_) + "mess: " + can_error_str(r),
          0x80000000u);
    is_open_ = false;
    return r;
  }

  TAVROsleep(0, 5000);
  r = canSetBaudrate(fresh, static_cast<uint32_t>(baudrate_));
  if (r != NTCAN_SUCCESS) {
    tavro::printtostderr("canSetBaudrate returned: ", can_error_str(r), 0x80000000u);
    is_open_ = false;
    canClose(fresh);
    return r;
  }

  handle = fresh;
  NTCAN_HANDLE none = -1;
  linehandle_.compare_exchange_strong(none, fresh);
  is_open_ = true;
  err_first_ = false;
  return 0;
}

int canline::can_open() {
  NTCAN_HANDLE h = linehandle_.load();
  int r = can_open(h, true);
  linehandle_.store(h);
  return r;
}

int canline::can_close() {
  const NTCAN_HANDLE own = linehandle_.load();
  if (own == -1) return 0;
  int r = canClose(own);
  if (r != NTCAN_SUCCESS)
    tavro::printtostderr("canline::canClose returned: ", can_error_str(r), 0x80000000u);
  linehandle_.store(-1);
  TAVROsleep(0, 5000);
  is_open_ = false;
  return r;
}
