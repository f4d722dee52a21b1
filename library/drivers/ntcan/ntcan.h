/*
 * ntcan.h - what a server-side library sees of the NTCAN CAN driver.
 *
 * Nine calls, the frame record CMSG, the interface status record CAN_IF_STATUS,
 * the handle type and the status codes. libZUNTAL uses nothing else of the
 * driver, so it builds unchanged against a vendor driver that provides these
 * names.
 */
#ifndef NTCAN_H
#define NTCAN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A driver handle: greater than 0 is open. Handle values are never reused
 * within a process. */
typedef int32_t NTCAN_HANDLE;

/* Every call returns one of the status codes below; 0 is success. */
typedef int32_t NTCAN_RESULT;

/* One CAN frame, 16 bytes. */
typedef struct {
  int32_t id;       /* CAN identifier, 0 to 2047 */
  uint8_t len;      /* data length 0..8; bit 0x10 marks a remote request */
  uint8_t msg_lost; /* frames dropped by a full receive queue before this one */
  uint8_t reserved[2];
  uint8_t data[8];
} CMSG;

/* Status of the interface behind a handle. */
typedef struct {
  uint16_t hardware;
  uint16_t firmware;
  uint16_t driver;
  uint16_t dll;
  uint32_t boardstatus;
  uint8_t boardid[14];
  uint16_t features;
} CAN_IF_STATUS;

/* The layouts are fixed: frames and status records pass between processes
 * and binaries unchanged. */
#ifdef __cplusplus
#define NTCAN_LAYOUT_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define NTCAN_LAYOUT_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif
#ifdef NTCAN_LAYOUT_ASSERT
NTCAN_LAYOUT_ASSERT(sizeof(CMSG) == 16, "CMSG is 16 bytes");
NTCAN_LAYOUT_ASSERT(offsetof(CMSG, id) == 0, "CMSG.id at 0");
NTCAN_LAYOUT_ASSERT(offsetof(CMSG, len) == 4, "CMSG.len at 4");
NTCAN_LAYOUT_ASSERT(offsetof(CMSG, msg_lost) == 5, "CMSG.msg_lost at 5");
NTCAN_LAYOUT_ASSERT(offsetof(CMSG, reserved) == 6, "CMSG.reserved at 6");
NTCAN_LAYOUT_ASSERT(offsetof(CMSG, data) == 8, "CMSG.data at 8");
NTCAN_LAYOUT_ASSERT(offsetof(CAN_IF_STATUS, boardstatus) == 8, "CAN_IF_STATUS.boardstatus at 8");
NTCAN_LAYOUT_ASSERT(offsetof(CAN_IF_STATUS, boardid) == 12, "CAN_IF_STATUS.boardid at 12");
NTCAN_LAYOUT_ASSERT(offsetof(CAN_IF_STATUS, features) == 26, "CAN_IF_STATUS.features at 26");
NTCAN_LAYOUT_ASSERT(sizeof(CAN_IF_STATUS) == 28, "CAN_IF_STATUS is 28 bytes");
#undef NTCAN_LAYOUT_ASSERT
#endif

/* Remote-request flag in CMSG.len. */
#define NTCAN_RTR 0x10
/* Mask of the data length in CMSG.len. */
#define NTCAN_DLC 0x0F

/* Status codes. */
#define NTCAN_SUCCESS 0
#define NTCAN_OPERATION_ABORTED 4
#define NTCAN_INSUFFICIENT_RESOURCES 12
#define NTCAN_NET_NOT_FOUND 19
#define NTCAN_INVALID_PARAMETER 22
#define NTCAN_INVALID_HANDLE 77
#define NTCAN_RX_TIMEOUT 257
#define NTCAN_TX_TIMEOUT 258
#define NTCAN_TX_ERROR 260
#define NTCAN_CONTR_OFF_BUS 261
#define NTCAN_CONTR_BUSY 262
#define NTCAN_CONTR_WARN 263
#define NTCAN_NO_ID_ENABLED 265
#define NTCAN_ID_ALREADY_ENABLED 266
#define NTCAN_ID_NOT_ENABLED 267
#define NTCAN_INVALID_FIRMWARE 269
#define NTCAN_MESSAGE_LOST 270
#define NTCAN_INVALID_HARDWARE 271
#define NTCAN_PENDING_WRITE 272
#define NTCAN_PENDING_READ 273
#define NTCAN_INVALID_DRIVER 274
#define NTCAN_WRONG_DEVICE_STATE 275
#define NTCAN_SOCK_CONN_TIMEOUT 384
#define NTCAN_SOCK_CMD_TIMEOUT 385
#define NTCAN_SOCK_HOST_NOT_FOUND 386

/* Opens a handle on a net with its own receive queue of rxqueuesize frames
 * and its own time-outs in milliseconds. */
NTCAN_RESULT canOpen(int net, uint32_t flags, int32_t txqueuesize, int32_t rxqueuesize,
                     int32_t txtimeout, int32_t rxtimeout, NTCAN_HANDLE* handle);
NTCAN_RESULT canClose(NTCAN_HANDLE handle);
/* baud is an index into the driver's baud-rate table (6 is 125 kbit/s). */
NTCAN_RESULT canSetBaudrate(NTCAN_HANDLE handle, uint32_t baud);
NTCAN_RESULT canIdAdd(NTCAN_HANDLE handle, int32_t id);
NTCAN_RESULT canIdDelete(NTCAN_HANDLE handle, int32_t id);
/* Sends *len frames; does not wait for them to reach the bus. *len returns the
 * number of frames accepted. */
NTCAN_RESULT canSend(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len);
/* Takes up to *len queued frames without waiting; *len returns the count. */
NTCAN_RESULT canTake(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len);
/* Like canTake, but waits up to the handle's receive time-out for a first
 * frame; answers NTCAN_RX_TIMEOUT with *len 0 when none came. The overlapped
 * record is not supported and must be NULL. */
NTCAN_RESULT canRead(NTCAN_HANDLE handle, CMSG* cmsg, int32_t* len, void* ovrlppd);
NTCAN_RESULT canStatus(NTCAN_HANDLE handle, CAN_IF_STATUS* cstat);

#ifdef __cplusplus
}
#endif

#endif /* NTCAN_H */
