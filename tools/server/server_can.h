// server_can.h - the node property as the example server uses it.
//
// A D_can with the few looks at its own state that a server needs to
// recover from a line outage: whether its line is open, the handle value it
// holds, and a way to forget a handle the driver no longer knows. The same
// class serves as the direct-mode SDO companion of a node (see server.h).
#ifndef ZUNTAL_SERVER_CAN_H
#define ZUNTAL_SERVER_CAN_H

#include <ostream>
#include <string>

#include "D_zuntal.h"

namespace zserver {

class ServerCan : public D_can {
 public:
  ServerCan(const std::string& pn, EqFct* ef) : D_can(pn, ef) {}

  // The line object is set and holds an open driver handle.
  bool line_open() {
    canline* l = pline_.load();
    return l != nullptr && l->handle() > 0;
  }
  // The handle value this property holds (not handle(), which answers -1
  // while the line is closed).
  NTCAN_HANDLE own_handle() const { return canhandle_.load(); }

  // The line's own handle, or -1 while the line is closed.
  NTCAN_HANDLE line_handle() {
    canline* l = pline_.load();
    return l == nullptr ? -1 : l->handle();
  }

  // Closes the handle this property holds and forgets it, whatever state
  // its connection is in: a handle whose medium has gone still takes a
  // place in the driver until it is closed. The line's own handle is left
  // to the line (its supervision closes it). D_can::can_close() is not used
  // here: it leaves the handle open while the line is closed.
  void release_handle() {
    const NTCAN_HANDLE h = canhandle_.load();
    if (h > 0 && h != line_handle()) canClose(h);
    handle(-1);
  }

  // Closes a direct-mode handle of this property's own (can_close() leaves
  // those to their owner) unless it is the line's own handle, then forgets
  // it. Used for the SDO companion before it registers again.
  void close_direct() {
    NTCAN_HANDLE h = canhandle_.load();
    canline* l = pline_.load();
    if (h > 0 && (l == nullptr || h != l->handle())) canClose(h);
    can_close();
    handle(-1);
  }

  // Takes an address without a client's change message: the SDO companion
  // follows its node property's address, which was announced there.
  void follow_address(const IIII& a) {
    std::lock_guard<std::mutex> g(mx_loop);
    canIdent_ = a;
  }

  // A node line whose address the property's read() changed (a line above
  // 20 reads as 0) and that the server could not use: until the address is
  // changed, the line is written back with the values as the file had them.
  void keep_file_values(const std::string& values) {
    file_values_ = values;
    read_as_ = canIdent_;
  }
  void write(std::ostream& os) override {
    const IIII& a = canIdent_;
    if (file_values_.empty() || a.i1_data != read_as_.i1_data || a.i2_data != read_as_.i2_data ||
        a.i3_data != read_as_.i3_data || a.i4_data != read_as_.i4_data) {
      D_can::write(os);
      return;
    }
    D_fct::write(os);
    os << " \t" << file_values_ << '\n';
  }

  // The identity texts as the property's children show them.
  std::string manu() const { return manu_str_; }
  std::string hwver() const { return hw_str_; }
  std::string swver() const { return sw_str_; }
  // Shows identity texts read through another property of the same node.
  void show_identity(const std::string& m, const std::string& h, const std::string& s) {
    manu_->set_value(m);
    hwver_->set_value(h);
    swver_->set_value(s);
  }

 private:
  std::string file_values_;
  IIII read_as_;
};

}  // namespace zserver

#endif  // ZUNTAL_SERVER_CAN_H
