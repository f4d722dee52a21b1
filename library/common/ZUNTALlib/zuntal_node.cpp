// zuntal_node.cpp - the node property D_can: construction with its child
// properties, the address record and its change by clients, the configuration
// line, the accessors and destruction.
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "D_zuntal.h"
#include "zuntal_internal.h"

std::vector<D_can*> can_list;
std::vector<canline*> canline_list;
std::vector<D_can*>& zuntal_detail::node_list() {
  return can_list;
}
std::vector<canline*>& zuntal_detail::line_list() {
  return canline_list;
}

std::mutex D_can::mx_loop;
D_iiii* D_can::canIdent_debug_ = nullptr;

namespace zuntal_detail {

namespace {
constexpr size_t kBufferBlock = size_t(2) << 20;

// Allocated once and never destroyed, so that what it holds stays reachable
// until the process ends, also while static destructors run.
struct Store {
  std::mutex mx;
  std::vector<void*> blocks;  // of node buffers
  char* next = nullptr;       // the uncarved rest of the last block
  size_t left = 0;
  std::vector<std::unique_ptr<int>> ints;
  std::vector<canline*> lines;
};
Store& store() {
  static Store* s = new Store;
  return *s;
}
}  // namespace

NodeBuffer* new_node_buffer() {
  Store& s = store();
  std::lock_guard<std::mutex> g(s.mx);
  if (s.left < sizeof(NodeBuffer)) {
    void* block = nullptr;
    if (posix_memalign(&block, kBufferBlock, kBufferBlock) != 0) throw std::bad_alloc();
    // Only a hint: without huge pages the buffers still lie in a row.
    (void)madvise(block, kBufferBlock, MADV_HUGEPAGE);
    s.blocks.push_back(block);
    s.next = static_cast<char*>(block);
    s.left = kBufferBlock;
  }
  NodeBuffer* b = new (s.next) NodeBuffer;
  s.next += sizeof(NodeBuffer);
  s.left -= sizeof(NodeBuffer);
  std::memset(b->rx, 0, sizeof b->rx);
  return b;
}

int* new_state_int() {
  Store& s = store();
  std::lock_guard<std::mutex> g(s.mx);
  s.ints.emplace_back(new int(0));
  return s.ints.back().get();
}

void keep_line(canline* line) {
  Store& s = store();
  std::lock_guard<std::mutex> g(s.mx);
  s.lines.push_back(line);
}

void forget_line(canline* line) {
  Store& s = store();
  std::lock_guard<std::mutex> g(s.mx);
  s.lines.erase(std::remove(s.lines.begin(), s.lines.end(), line), s.lines.end());
}

}  // namespace zuntal_detail

D_can::D_can(const std::string& pn, EqFct* ef)
    : D_fct(pn, ef, 0),
      oldIdent_(),
      changed_(false),
      efp_(ef),
      canIdent_(),
      baudrate_(nullptr),
      canhandle_(-1),
      pline_(nullptr),
      rxmsg_(nullptr),
      can_ret_(nullptr),
      rxmsg_len_(nullptr),
      alive_ptr_(nullptr),
      manu_(nullptr),
      manu_str_(),
      hwver_(nullptr),
      hw_str_(),
      swver_(nullptr),
      sw_str_(),
      active_(nullptr),
      start_node_(nullptr),
      stop_node_(nullptr),
      reset_node_(nullptr),
      alive_(nullptr),
      modul_condition_(nullptr),
      ToggleBit(0),
      Index(0),
      Subindex(0) {
  construct(pn);
}

void D_can::construct(const std::string& pn) {
  std::string base = pn;
  std::string::size_type blank = base.find(' ');
  if (blank != std::string::npos) base.erase(blank);

  canhandle_.store(-1, std::memory_order_relaxed);
  rxmsg_ = nullptr;
  can_ret_ = nullptr;
  rxmsg_len_ = nullptr;
  alive_ptr_ = nullptr;

  // A child that throws is released by its own constructor's unwinding;
  // the ones created before it are released here before the exception
  // leaves the node property's constructor.
  try {
    baudrate_ = new D_int(base + ".BAUDRATE default 6 == 125KB ", efp_, 0);
    alive_ = new D_Alive(base + ".ALIVE ", alive_ptr_, this, efp_);
    modul_condition_ = new D_string(base + ".CONDITION ", efp_);
    manu_ = new D_string(base + ".MANU Manufacture device name", manu_str_, 64, efp_);
    hwver_ = new D_string(base + ".HWVER hardware version", hw_str_, 64, efp_);
    swver_ = new D_string(base + ".SWVER software version", sw_str_, 64, efp_);
    start_node_ = new D_canint(base + ".START can node", START_NODE, this, efp_);
    stop_node_ = new D_canint(base + ".STOP can node", STOP_NODE, this, efp_);
    reset_node_ = new D_canint(base + ".RESET can node", RESET_NODE, this, efp_);
    active_ = new D_canactive(base + ".ACTIVE is the master", efp_);
  } catch (...) {
    delete_children();
    throw;
  }
  active_->set_value(0);

  if (canIdent_debug_ == nullptr)
    canIdent_debug_ = new D_iiii(base + ".DEBUG_ID to print this ID data", efp_);
}

D_can::~D_can() {
  // Leave the node list first, so that the update cycle never visits a
  // property that is being destroyed; then close the access.
  {
    std::lock_guard<std::mutex> g(mx_loop);
    for (size_t i = can_list.size(); i-- > 0;)
      if (can_list[i] == this) zuntal_detail::unlist(i);
  }
  can_close();
  // The children point back at this property; they go with it. .DEBUG_ID is
  // class-wide and stays.
  delete_children();
}

// The children of construct(), last created first.
void D_can::delete_children() {
  delete active_;
  delete reset_node_;
  delete stop_node_;
  delete start_node_;
  delete swver_;
  delete hwver_;
  delete manu_;
  delete modul_condition_;
  delete alive_;
  delete baudrate_;
}

void D_can::get(EqAdr*, EqData*, EqData* res, EqFct*) {
  if (res == nullptr) return;
  const IIII v = zuntal_detail::load_record(canIdent_);
  res->set(&v);
}

// A request that holds no IIII (an integer, a text ...) changes nothing and
// is answered with the framework's error for a wrong type.
void D_can::set(EqAdr*, EqData* ed, EqData* res, EqFct*) {
  IIII* v = ed ? ed->get_iiii() : nullptr;
  if (v == nullptr) {
    if (res) res->error(ERR_ILL_TYPE, get_error_string(ERR_ILL_TYPE));
    return;
  }
  set_value(v);
}

void D_can::set_value(IIII* s) {
  if (s == nullptr) return;
  const IIII n = zuntal_detail::load_record(*s);  // s may be this property's own record
  const IIII o = zuntal_detail::load_record(canIdent_);

  // With a location the message names the caller and goes under the
  // location's name; without one it goes under "D_can".
  char caller[200] = "";
  if (efp_)
    std::snprintf(caller, sizeof caller, "%s@%s", efp_->get_username().c_str(),
                  efp_->get_hostname().c_str());
  char msg[400];
  std::snprintf(msg, sizeof msg, "%s change from: %d, %d, %d, %d to: %d, %d, %d, %d%s%s",
                basename().c_str(), o.i1_data, o.i2_data, o.i3_data, o.i4_data, n.i1_data,
                n.i2_data, n.i3_data, n.i4_data, efp_ ? " by " : "", caller);
  tavro::printtostderr(efp_ ? get_location_name(*efp_) : std::string("D_can"), msg, 0x80000000u);

  if (n.i1_data != o.i1_data || n.i2_data != o.i2_data) {
    // Both find the node by the old address. The entry leaves the list
    // before the handle is closed, so that a fill running on the update
    // thread never sees a half-closed master.
    dellist();
    can_close();
    changed_ = true;
  }
  // Registrations of other properties and the debug print read this record
  // under mx_loop; the fields are stored as atomics rather than under that
  // lock, so that a write from a thread that holds it (a derived class's
  // can_fill, say) cannot deadlock.
  zuntal_detail::store_record(canIdent_, n);
}

void D_can::get_multi(EqAdr*, EqData*, EqData* res, int* i, char* addr) {
  if (res == nullptr) return;
  res->set(canIdent_.i1_data, static_cast<float>(canIdent_.i2_data),
           static_cast<float>(canIdent_.i3_data), static_cast<time_t>(canIdent_.i4_data),
           std::string(addr ? addr : ""), i ? *i : 0);
}

void D_can::conf(Config* c) {
  conf_insert(c, DATA_IIII);
}

int D_can::data_type() const {
  return DATA_IIII;
}

void D_can::write(std::ostream& os) {
  D_fct::write(os);
  char buf[200];
  int n = std::snprintf(buf, sizeof buf, " \t%d  %d  %d  %d\n", canIdent_.i1_data,
                        canIdent_.i2_data, canIdent_.i3_data, canIdent_.i4_data);
  if (n < 0) return;
  os.write(buf, std::min<int>(n, sizeof buf - 1));
}

NTCAN_HANDLE D_can::handle() {
  canline* l = pline_.load(std::memory_order_relaxed);
  if (l != nullptr && l->handle() > 0) return canhandle_.load(std::memory_order_relaxed);
  return -1;
}

bool D_can::isactive() {
  return active_ != nullptr && active_->value() != 0;
}

int D_can::can_return() {
  return can_ret_ ? zuntal_detail::load_word(can_ret_) : -1;
}
