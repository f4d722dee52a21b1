// D_zuntal.h - the CAN node property library: the one header a TAVRO server
// includes to reach CANopen nodes on CAN lines through the NTCAN driver.
//
// A server places one D_can per CANopen node in its locations, calls one of
// its init operations, and runs can_looping() once per update cycle. See
// docs/library.md for a walk through.
#ifndef D_ZUNTAL_H
#define D_ZUNTAL_H

#include <atomic>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "d_value/d_value.h"
#include "ntcan.h"
#include "tavro.h"

// Result of the SDO upload forms with a capacity (segSdoRead,
// initUploadResponse, receiveUploadSegment) when the object does not fit
// into the caller's buffer.
constexpr int SDO_OBJECT_TOO_LONG = -2;
// Result of the SDO block transfers (blockSdoRead, blockSdoWrite) when the
// node refused the block transfer or broke it off by a protocol error and the
// segmented transfer that followed succeeded.
constexpr int SDO_SEGMENTED_FALLBACK = 1;

class D_can;
class D_canint;
class D_canactive;
class D_Alive;
class canline;

namespace zuntal_detail {
struct Registry;  // the library's own access to the process-wide state
struct SdoClient;
}  // namespace zuntal_detail

// An object index split into its low and high byte (CANopen sends the low
// byte first).
union u_index {
  uint16_t idx;
  uint8_t cidx[2];
};

// ---------------------------------------------------------------------------
// One CAN line (driver net = line number - 1), shared by every node property
// on that line. Created on demand by the first registration on its line
// number; lives for the life of the process.
class canline {
 public:
  canline();
  canline(const canline&) = delete;
  canline& operator=(const canline&) = delete;

  // Opens a driver handle on this line for a caller, or confirms the caller's
  // handle; the result is written into `handle`. 0, -1 (refused without a
  // driver call) or the status of the failing driver call.
  int can_open(NTCAN_HANDLE& handle, bool openalways);
  // Reopens the line itself: can_open(linehandle_, true).
  int can_open();
  // Closes the line's own handle: 0 or the status of canClose.
  int can_close();

  int line() { return line_; }
  bool is_open() { return is_open_.load(std::memory_order_relaxed); }
  NTCAN_HANDLE handle() { return linehandle_.load(std::memory_order_relaxed); }
  void setline(int l) { line_ = l; }
  void setbaud(int b) { baudrate_ = b; }
  void setlineip(const std::string& ip) { line_ip_ = ip; }

  // Gateway address of line `line` from the network plug-in's table; 0 when
  // `ip` then holds exactly 15 characters, -1 otherwise.
  int getlineip(int line, std::string& ip);
  // One gateway reset attempt for this line.
  void reset_line();

  // The fields are read and written by the line's supervision thread
  // (can_control) as well as by registrations.
  std::atomic<NTCAN_HANDLE> linehandle_;  // -1: no handle; > 0: open
  int line_;
  int baudrate_;
  std::atomic<bool> is_open_;
  std::atomic<bool> err_first_;  // an open failure of this run has been reported
  uint32_t board_status;
  bool deny_wget_reset_;
  bool reset_first_;
  std::thread t1_;  // detached at once; holds no running thread afterwards
  std::string line_ip_;
  std::atomic<bool> ThreadStop_;
};

// ---------------------------------------------------------------------------
// The CAN node property: its value is the node's address record (line, node,
// two further identifiers).
class D_can : public D_fct {
 private:
  IIII oldIdent_;
  bool changed_;

 protected:
  EqFct* efp_;
  IIII canIdent_;
  static D_iiii* canIdent_debug_;
  D_int* baudrate_;
  std::atomic<NTCAN_HANDLE> canhandle_;  // -1: none
  std::atomic<canline*> pline_;
  CMSG* rxmsg_;
  int* can_ret_;
  int32_t* rxmsg_len_;
  int* alive_ptr_;
  D_string* manu_;
  char manu_str_[64];
  D_string* hwver_;
  char hw_str_[64];
  D_string* swver_;
  char sw_str_[64];
  D_canactive* active_;
  D_canint* start_node_;
  D_canint* stop_node_;
  D_canint* reset_node_;
  static std::mutex mx_loop;

 public:
  D_Alive* alive_;
  D_string* modul_condition_;

 private:
  int ToggleBit;
  int Index;
  int Subindex;

  void delete_children();
  int open_master();

  friend struct zuntal_detail::Registry;
  friend struct zuntal_detail::SdoClient;  // the SDO transfers (zuntal_sdo.cpp)
  friend int can_looping();

 public:
  D_can(const std::string& pn, EqFct* ef);
  D_can(const D_can&) = delete;
  D_can& operator=(const D_can&) = delete;
  void construct(const std::string& pn);

  // ---- framework slots replaced
  ~D_can() override;
  void get(EqAdr* adr, EqData* data_in, EqData* res, EqFct* ef) override;
  void set(EqAdr* adr, EqData* ed, EqData* res, EqFct* ef) override;
  void conf(Config* c) override;
  void read() override;
  void write(std::ostream& os) override;
  int data_type() const override;
  using D_fct::data_type;

  // ---- appended slots, in this order
  virtual void set_value(IIII* s);
  virtual int can_read(CMSG* rxmsg, int* length);
  virtual int can_get(CMSG* rxmsg, int* length);
  virtual int can_poll(int* ident, int* length, unsigned char* Data);
  virtual int can_write(int ident, int length, unsigned char* Data);
  virtual int can_fill();
  virtual int can_array(CMSG* rxmsg, int* length);
  virtual int can_SDO(u_short index, u_char subindex);
  // SDO download of `length` bytes of `data` into object idx/subIdx of
  // `node`: expedited up to 4 bytes, segmented beyond. 0 on success, -1 for
  // an abort by the node, a toggle error or a time-out (after a toggle error
  // or a time-out the node gets an abort request), otherwise the driver
  // status of the failing send or take. See docs/canopen.md.
  virtual int segSdoWrite(short node, int idx, int subIdx, const char* data, int length);

  // A plain multi-read element (not the framework's virtual one).
  using D_fct::get_multi;
  void get_multi(EqAdr* adr, EqData* data_in, EqData* res, int* i, char* addr);

  // ---- accessors
  IIII* value() { return &canIdent_; }
  IIII* oldAddr() { return &oldIdent_; }  // never written by the library: all zero
  // Set when a client moved the property to another line or node; reading
  // it does not clear it.
  bool has_changed() { return changed_; }
  NTCAN_HANDLE handle();
  void handle(NTCAN_HANDLE h) { canhandle_.store(h, std::memory_order_relaxed); }
  bool isactive();
  // The node's status word (last fill or frame operation), -1 without one.
  int can_return();

  // ---- registration
  int init();
  int init(int ident, int flag);
  int init(int ident);
  int can_open();
  int can_close();
  int AddIdent(int ident);
  int DelIdent(int ident);
  int dellist();

  // ---- frame access
  int rtr(int* ident);
  int rtr(int* ident, int l);
  int rtr();
  void can_print();

  // ---- CANopen services
  int start_node();
  int stop_node();
  int reset_node();
  int modinit();
  int get_manufacture();
  int get_hwversion();
  int get_swversion();
  int check_ascii(char* aString);
  int init_emergency();
  int can_emergency(int ident, CMSG* rxmsg, int* l);

  // SDO upload. No transfer writes past its buffer or goes on beyond it: the
  // forms with a capacity store at most `capacity` data bytes (bytes 0 to
  // capacity - 1); the forms without one assume the 64-byte identity buffers
  // and store at most 63, so a cleared buffer always keeps its zero byte.
  // segSdoRead asks for at most ceil(capacity / 7) + 1 segments (10 for the
  // identity buffers), and once the buffer is full before the last segment
  // the transfer stops and the node gets an abort request (code 0x05040005).
  // The object then did not fit: the forms without a capacity count the read
  // as done with what was stored (0, or the complete-marker of the steps);
  // the forms with one return SDO_OBJECT_TOO_LONG. `length`, when given,
  // receives the number of bytes stored, also when the object did not fit.
  int segSdoRead(short node, int idx, int subIdx, char* buffer);
  int segSdoRead(short node, int idx, int subIdx, char* buffer, int capacity,
                 int* length = nullptr);
  int initiateUpload(short node, int idx, int subIdx);
  int initUploadResponse(short node, char* buffer, int* offset);
  int initUploadResponse(short node, char* buffer, int* offset, int capacity);
  int requestUploadSegment(short node);
  int receiveUploadSegment(short node, char* buffer, int* offset);
  int receiveUploadSegment(short node, char* buffer, int* offset, int capacity);
  int isAbort(CMSG* m, int* abortCode);

  // Answer time-out of SDO uploads and downloads in milliseconds of the
  // framework clock, per answer. 0 (the default, also set by any value below
  // 1) keeps the wait of 2 to 3 whole seconds.
  void set_sdo_timeout_ms(int ms) { sdo_timeout_ms_.store(ms > 0 ? ms : 0); }
  int sdo_timeout_ms() const { return sdo_timeout_ms_.load(); }
  // Abort code with which the node ended the last transfer of this property
  // (segSdoRead, segSdoWrite, blockSdoRead, blockSdoWrite), 0 when it was not
  // ended by an abort. After a segmented fallback that succeeded: the node's
  // abort that ended the block transfer, 0 when the library ended it.
  uint32_t sdo_abort_code() const { return sdo_abort_code_.load(); }
  // Abort code the library sent to end the last transfer of this property
  // (a time-out, a toggle or sequence error, a CRC error, a full buffer), 0
  // when it sent none. After a segmented fallback that succeeded: the one
  // that ended the block transfer.
  uint32_t sdo_sent_abort_code() const { return sdo_sent_abort_code_.load(); }

  // SDO block transfer (CiA 301): sub-blocks of up to 127 segments, each
  // sub-block confirmed once, with CRC-16 when the node supports it. Results
  // as segSdoRead (with a capacity) and segSdoWrite, and
  // SDO_SEGMENTED_FALLBACK when the node refused the block transfer (abort
  // 0x05040001 to 0x05040004) or broke it off by a protocol error and the
  // transfer was then done segmented, once, with success. Every wait is
  // bounded by the answer time-out; see docs/canopen.md.
  int blockSdoRead(short node, int idx, int subIdx, char* buffer, int capacity,
                   int* length = nullptr);
  int blockSdoWrite(short node, int idx, int subIdx, const char* data, int length);
  // Segments per sub-block the library asks for in block uploads: 1 to 127
  // (values outside are clamped), default 64, which leaves room in the
  // handle's receive queue of 100 frames for a whole sub-block.
  void set_sdo_block_size(int segments) {
    sdo_block_size_.store(segments < 1 ? 1 : segments > 127 ? 127 : segments);
  }
  int sdo_block_size() const { return sdo_block_size_.load(); }

 private:
  std::atomic<int> sdo_timeout_ms_{0};
  std::atomic<uint32_t> sdo_abort_code_{0};
  std::atomic<uint32_t> sdo_sent_abort_code_{0};
  std::atomic<int> sdo_block_size_{64};
};

// Texts of the SDO abort codes and emergency error codes of CANopen (CiA 301;
// an emergency code without a text of its own gets its class by high byte,
// then by high nibble); "unknown" for anything else. The pointers stay valid
// for the process.
const char* sdo_abort_text(uint32_t code);
const char* emcy_text(uint16_t code);

// ---------------------------------------------------------------------------
// .START, .STOP, .RESET: a client write sends the node command.
class D_canint : public tavro::D_value<int> {
 public:
  D_canint(const std::string& pn, int todo, D_can* can, EqFct* efp);
  ~D_canint() override;
  void read() override;
  using tavro::D_value<int>::set_value;
  void set_value(int i) override;

 private:
  int todo_;
  D_can* can_;
};

// .ACTIVE: not 0 on the master of a node.
class D_canactive : public tavro::D_value<int> {
 public:
  D_canactive(const std::string& pn, EqFct* efp);
  ~D_canactive() override;
  void read() override;
};

// .ALIVE: shows the node-state integer shared by the properties of a node.
class D_Alive : public D_int_ptr {
 public:
  D_Alive(const std::string& name, int* value, D_can* can, EqFct* eq);
  ~D_Alive() override;
  void set_value(int s) override;

  int can_read(int ident, CMSG* rxmsg, int* l);
  int check_alive(int ident, CMSG* rxmsg, int* l);
  bool isalive();

 private:
  D_can* can_;
  [[maybe_unused]] EqFct* eq_fct_;  // the location it was made in; kept, not consulted
};

// ---------------------------------------------------------------------------
// One fill of every registered node; the server calls it once per cycle.
int can_looping();
// Printable name of a driver status code followed by "(0x%08lx)".
std::string can_error_str(unsigned long ntstatus);
// The supervision thread of a line; `ip` is the canline.
void* can_control(void* ip);

// Library-private: the registered masters and the opened lines. Not part of
// the interface to servers; tests reach them through zuntal_test.h.
extern std::vector<D_can*> can_list __attribute__((visibility("hidden")));
extern std::vector<canline*> canline_list __attribute__((visibility("hidden")));

// Process data: the PDO companion of D_can and the SYNC producer.
#include "D_zuntal_pdo.h"

#endif  // D_ZUNTAL_H
