// medium_socketcan.cpp - a net carried by a Linux SocketCAN interface (can0,
// vcan0, ...).
//
// Each handle is one CAN_RAW socket bound to the interface:
//   - the handle's identifier filter is installed in the kernel
//     (CAN_RAW_FILTER), so frames the handle does not want never reach it;
//   - loopback is on and own frames are off, so the handle hears the other
//     sockets of the host (other handles, can-utils, other processes) as it
//     would hear other nodes on a real bus, and never itself;
//   - frames are collected at take time: canTake and canRead poll the socket
//     with recvmmsg, up to 64 frames per system call, into the handle's queue
//     (the generic layer's queue limit and msg_lost apply there);
//   - frames are sent with sendmmsg, several per system call.
//
// A lost interface: the kernel tells every socket bound to an interface that
// goes down (ENETDOWN) or away (ENODEV; later sends ENXIO), once, to the
// first receive or send. The port then fails its handle (Endpoint::fail):
// every call answers NTCAN_CONTR_OFF_BUS while the interface is down (each
// one asks rtnetlink whether it is back, and the first call after it is
// works again), NTCAN_NET_NOT_FOUND for good once it is gone.
//
// Status: the interface is looked up through rtnetlink (RTM_GETLINK) at
// canStatus and canSetBaudrate. A missing interface answers
// NTCAN_NET_NOT_FOUND, one that is down NTCAN_CONTR_OFF_BUS; the controller
// state (error-active, warning, passive, bus-off) goes into boardstatus:
//   0 error-active, 1 error-warning, 2 error-passive, 3 bus-off,
//   4 stopped, 5 sleeping; +0x10 interface down, 0x20 interface gone.
// Real controllers report their state through netlink; virtual interfaces
// have none, so the state also follows the error frames the socket receives
// (CAN_ERR_BUSOFF, CAN_ERR_CRTL, CAN_ERR_RESTARTED). While the handle knows
// its controller to be bus-off, canSend answers NTCAN_CONTR_OFF_BUS instead
// of handing frames to a kernel that would drop them silently, and frames
// found on the socket are dropped (a controller off the bus hears nothing).
// The net remembers the state its handles last learnt: a handle opened while
// the controller is bus-off starts bus-off, until a restart is announced.
//
// Frames the kernel drops on a full socket buffer are counted: SO_RXQ_OVFL
// gives every later frame the socket's drop counter, whose growth goes to
// msg_lost.
//
// Bit rate: the kernel sets it through netlink with privileges and only while
// the interface is down, so canSetBaudrate never changes it. On a real
// controller it succeeds when the interface already runs at the index's rate
// (within 1 %) and answers NTCAN_WRONG_DEVICE_STATE otherwise (also when no
// rate is configured); on a virtual interface every valid index succeeds.
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "medium.h"

namespace ntcan_drv {

std::shared_ptr<Medium> make_socketcan_medium(int net, const ntcan_ctl::NetConfig& cfg);

namespace {

// Controller states as boardstatus shows them.
constexpr uint32_t kStateActive = 0;
constexpr uint32_t kStateWarning = 1;
constexpr uint32_t kStatePassive = 2;
constexpr uint32_t kStateBusOff = 3;
constexpr uint32_t kStateStopped = 4;
constexpr uint32_t kStateSleeping = 5;
constexpr uint32_t kBoardDown = 0x10;
constexpr uint32_t kBoardGone = 0x20;

// Frames per recvmmsg/sendmmsg call, and recvmmsg calls per poll (so that a
// flood cannot keep one take busy for ever).
constexpr int kBatch = 64;
constexpr int kPollRounds = 64;
// Receive buffer asked of the kernel; it is capped at net.core.rmem_max
// unless the process may force it.
constexpr int kRcvBuf = 1 << 20;
// How long canSend waits for room in a full socket send buffer.
constexpr int kSendWaitMs = 1000;

// Errors of socket calls as driver statuses.
NTCAN_RESULT map_errno(int e) {
  switch (e) {
    case ENODEV:
    case ENXIO:
      return NTCAN_NET_NOT_FOUND;
    case ENETDOWN:
      return NTCAN_CONTR_OFF_BUS;
    case ENOBUFS:  // the interface's transmit queue is full
      return NTCAN_CONTR_BUSY;
    case EAGAIN:
      return NTCAN_TX_TIMEOUT;
    case EMFILE:
    case ENFILE:
    case ENOMEM:
      return NTCAN_INSUFFICIENT_RESOURCES;
    case EAFNOSUPPORT:
    case EPROTONOSUPPORT:
      return NTCAN_INVALID_DRIVER;  // a kernel without CAN support
    default:
      return NTCAN_TX_ERROR;
  }
}

// What rtnetlink says about one interface.
struct LinkInfo {
  bool up = false;
  bool can_dev = false;  // a real controller (link kind "can")
  bool has_state = false;
  uint32_t state = 0;    // enum can_state
  uint32_t bitrate = 0;  // 0: none configured
};

const rtattr* next_attr(const rtattr* a, int* left) {
  *left -= RTA_ALIGN(a->rta_len);
  return reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(a) + RTA_ALIGN(a->rta_len));
}

template <typename F>
void for_attrs(const void* data, int len, F f) {
  for (const rtattr* a = static_cast<const rtattr*>(data); RTA_OK(a, len); a = next_attr(a, &len))
    f(a->rta_type & NLA_TYPE_MASK, RTA_DATA(a), static_cast<int>(RTA_PAYLOAD(a)));
}

void parse_link(const ifinfomsg* ifi, int attr_len, LinkInfo* out) {
  out->up = (ifi->ifi_flags & IFF_UP) != 0;
  for_attrs(IFLA_RTA(ifi), attr_len, [&](int type, const void* p, int n) {
    if (type != IFLA_LINKINFO) return;
    for_attrs(p, n, [&](int t, const void* q, int m) {
      if (t == IFLA_INFO_KIND) {
        const char* kind = static_cast<const char*>(q);
        out->can_dev = std::string(kind, strnlen(kind, static_cast<size_t>(m))) == "can";
      } else if (t == IFLA_INFO_DATA) {
        for_attrs(q, m, [&](int u, const void* r, int k) {
          if (u == IFLA_CAN_STATE && k >= 4) {
            std::memcpy(&out->state, r, 4);
            out->has_state = true;
          } else if (u == IFLA_CAN_BITTIMING && k >= static_cast<int>(sizeof(uint32_t))) {
            std::memcpy(&out->bitrate, r, sizeof(uint32_t));  // can_bittiming.bitrate
          }
        });
      }
    });
  });
}

// NLMSG_OK with the length compared as one signedness: a complete message
// header, and a message that fits in what is left of the buffer.
bool nlmsg_ok(const nlmsghdr* h, int left) {
  return left >= static_cast<int>(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
         h->nlmsg_len <= static_cast<unsigned>(left);
}

// Asks rtnetlink about interface `ifindex`. Returns 0, or an errno (ENODEV
// for an interface that no longer exists).
int query_link(int ifindex, LinkInfo* out) {
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return errno;
  timeval tv{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  struct {
    nlmsghdr nh;
    ifinfomsg ifi;
  } req;
  std::memset(&req, 0, sizeof req);
  req.nh.nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
  req.nh.nlmsg_type = RTM_GETLINK;
  req.nh.nlmsg_flags = NLM_F_REQUEST;
  req.nh.nlmsg_seq = 1;
  req.ifi.ifi_family = AF_UNSPEC;
  req.ifi.ifi_index = ifindex;
  sockaddr_nl kernel;
  std::memset(&kernel, 0, sizeof kernel);
  kernel.nl_family = AF_NETLINK;
  int result = EIO;
  if (::sendto(fd, &req, req.nh.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) <
      0) {
    result = errno;
  } else {
    alignas(nlmsghdr) static thread_local char buf[32768];
    for (bool done = false; !done;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        result = errno;
        break;
      }
      int left = static_cast<int>(n);
      for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buf); nlmsg_ok(h, left);
           h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_seq != 1) continue;
        if (h->nlmsg_type == NLMSG_ERROR) {
          const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
          result = e->error < 0 ? -e->error : EIO;
          done = true;
          break;
        }
        if (h->nlmsg_type == RTM_NEWLINK) {
          const auto* ifi = static_cast<const ifinfomsg*>(NLMSG_DATA(h));
          *out = LinkInfo{};
          parse_link(ifi, static_cast<int>(IFLA_PAYLOAD(h)), out);
          result = 0;
          done = true;
          break;
        }
      }
      if (left == static_cast<int>(n)) break;  // nothing parsable
    }
  }
  ::close(fd);
  return result;
}

uint32_t state_of(uint32_t can_state) {
  switch (can_state) {
    case CAN_STATE_ERROR_ACTIVE:
      return kStateActive;
    case CAN_STATE_ERROR_WARNING:
      return kStateWarning;
    case CAN_STATE_ERROR_PASSIVE:
      return kStatePassive;
    case CAN_STATE_BUS_OFF:
      return kStateBusOff;
    case CAN_STATE_STOPPED:
      return kStateStopped;
    default:
      return kStateSleeping;
  }
}

// A CAN_RAW socket bound to `ifname` with an empty filter (it receives
// nothing until a filter is installed) and the given error mask. Returns the
// socket or -status.
int open_raw(const std::string& ifname, can_err_mask_t err_mask, int* ifindex) {
  int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW);
  if (fd < 0) return -map_errno(errno);
  auto fail = [fd](NTCAN_RESULT st) {
    ::close(fd);
    return -st;
  };
  ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  if (ifname.empty() || ifname.size() >= sizeof ifr.ifr_name) return fail(NTCAN_NET_NOT_FOUND);
  std::memcpy(ifr.ifr_name, ifname.data(), ifname.size());
  if (::ioctl(fd, SIOCGIFINDEX, &ifr) < 0) return fail(NTCAN_NET_NOT_FOUND);
  const int index = ifr.ifr_ifindex;
  if (::ioctl(fd, SIOCGIFFLAGS, &ifr) < 0) return fail(NTCAN_NET_NOT_FOUND);
  if (!(ifr.ifr_flags & IFF_UP)) return fail(NTCAN_CONTR_OFF_BUS);
  // The default filter passes everything: clear it before binding.
  if (::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0) < 0 ||
      ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &err_mask, sizeof err_mask) < 0)
    return fail(map_errno(errno));
  int on = 1, off = 0;
  ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_LOOPBACK, &on, sizeof on);
  ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &off, sizeof off);
  sockaddr_can addr;
  std::memset(&addr, 0, sizeof addr);
  addr.can_family = AF_CAN;
  addr.can_ifindex = index;
  // A non-CAN interface (say "lo") refuses the bind with ENODEV.
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0)
    return fail(map_errno(errno));
  *ifindex = index;
  return fd;
}

// Sends frames on a non-blocking CAN_RAW socket, up to kBatch per system
// call. A full send buffer is waited on up to kSendWaitMs while `stop`
// stays false. The errno of a failed send goes to *err.
NTCAN_RESULT send_frames(int fd, const CMSG* frames, int count, const std::atomic<bool>& stop,
                         int* err = nullptr) {
  can_frame cf[kBatch];
  iovec iov[kBatch];
  mmsghdr msgs[kBatch];
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendWaitMs);
  int done = 0;
  while (done < count) {
    const int n = std::min(kBatch, count - done);
    for (int i = 0; i < n; ++i) {
      const CMSG& f = frames[done + i];
      std::memset(&cf[i], 0, sizeof cf[i]);
      cf[i].can_id = static_cast<canid_t>(f.id);
      cf[i].len = f.len & NTCAN_DLC;
      if (f.len & NTCAN_RTR)
        cf[i].can_id |= CAN_RTR_FLAG;
      else
        std::memcpy(cf[i].data, f.data, cf[i].len);
      iov[i].iov_base = &cf[i];
      iov[i].iov_len = sizeof cf[i];
      std::memset(&msgs[i], 0, sizeof msgs[i]);
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int k = ::sendmmsg(fd, msgs, static_cast<unsigned>(n), MSG_DONTWAIT);
    if (k > 0) {
      done += k;
      continue;
    }
    const int e = k < 0 ? errno : EIO;
    if (e == EINTR) continue;
    if (e != EAGAIN && e != EWOULDBLOCK) {
      if (err != nullptr) *err = e;
      return map_errno(e);
    }
    if (stop.load() || std::chrono::steady_clock::now() >= give_up) return NTCAN_TX_TIMEOUT;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, 20);
  }
  return NTCAN_SUCCESS;
}

// A standard frame (no error or 29-bit frame) as the driver carries it.
void from_can(const can_frame& f, CMSG* m) {
  std::memset(m, 0, sizeof *m);
  m->id = static_cast<int32_t>(f.can_id & CAN_SFF_MASK);
  const uint8_t dlc = std::min<uint8_t>(f.len, 8);
  if (f.can_id & CAN_RTR_FLAG) {
    m->len = static_cast<uint8_t>(dlc | NTCAN_RTR);
  } else {
    m->len = dlc;
    std::memcpy(m->data, f.data, dlc);
  }
}

class ScMedium;

class ScPort final : public Port {
 public:
  // `net_state` is the medium's record of the controller state, which the
  // port starts from and keeps up to date; the medium outlives the port.
  ScPort(std::shared_ptr<ScMedium> medium, Endpoint& ep, int fd, int ifindex,
         std::atomic<uint32_t>* net_state)
      : medium_(std::move(medium)),
        ep_(ep),
        fd_(fd),
        ifindex_(ifindex),
        net_state_(net_state),
        ctrl_state_(net_state->load(std::memory_order_relaxed)) {}
  ~ScPort() override { close(); }

  NTCAN_RESULT send(const CMSG* frames, int count) override {
    std::shared_lock<std::shared_mutex> lk(io_mx_);
    if (fd_ < 0) return NTCAN_INVALID_HANDLE;
    if (ctrl_state_.load(std::memory_order_relaxed) == kStateBusOff) return NTCAN_CONTR_OFF_BUS;
    int err = 0;
    NTCAN_RESULT st = send_frames(fd_, frames, count, closing_, &err);
    // A send may be the first to learn that the interface went down or away
    // (the socket reports it once, to whichever call comes first).
    note_errno(err);
    return st;
  }

  NTCAN_RESULT id_add(int32_t id) override {
    ids_.set(static_cast<size_t>(id));
    NTCAN_RESULT st = apply_filter();
    if (st != NTCAN_SUCCESS) ids_.reset(static_cast<size_t>(id));
    return st;
  }
  NTCAN_RESULT id_delete(int32_t id) override {
    ids_.reset(static_cast<size_t>(id));
    NTCAN_RESULT st = apply_filter();
    if (st != NTCAN_SUCCESS) ids_.set(static_cast<size_t>(id));
    return st;
  }

  NTCAN_RESULT set_baudrate(uint32_t index, uint32_t bitrate) override {
    (void)index;
    LinkInfo li;
    int e = query_link(ifindex_, &li);
    if (e == ENODEV) return NTCAN_NET_NOT_FOUND;
    if (e != 0) return map_errno(e);
    if (!li.can_dev) return NTCAN_SUCCESS;  // virtual interface: no bit rate
    const uint64_t diff = li.bitrate > bitrate ? li.bitrate - bitrate : bitrate - li.bitrate;
    if (li.bitrate != 0 && diff * 100 <= bitrate) return NTCAN_SUCCESS;
    return NTCAN_WRONG_DEVICE_STATE;
  }

  NTCAN_RESULT status(CAN_IF_STATUS* st) override;

  bool polled() const override { return true; }

  void poll() override {
    std::shared_lock<std::shared_mutex> lk(io_mx_);
    if (fd_ < 0 || gone_.load(std::memory_order_acquire)) return;
    // One poller at a time keeps the frames in their order.
    std::lock_guard<std::mutex> pl(poll_mx_);
    // An interface known to be down is asked whether it is back (or gone);
    // nothing is read while it is down. The call that learnt of the down
    // has answered it before this look.
    if (down_.load(std::memory_order_acquire) && !check_link()) return;
    can_frame cf[kBatch];
    iovec iov[kBatch];
    mmsghdr msgs[kBatch];
    CMSG out[kBatch];
    // Room for the kernel's drop counter (SO_RXQ_OVFL) of every frame.
    alignas(cmsghdr) char ctl[kBatch][CMSG_SPACE(sizeof(uint32_t))];
    for (int i = 0; i < kBatch; ++i) {
      iov[i].iov_base = &cf[i];
      iov[i].iov_len = sizeof cf[i];
    }
    for (int round = 0; round < kPollRounds; ++round) {
      for (int i = 0; i < kBatch; ++i) {
        std::memset(&msgs[i], 0, sizeof msgs[i]);
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_control = ctl[i];
        msgs[i].msg_hdr.msg_controllen = sizeof ctl[i];
      }
      int n = ::recvmmsg(fd_, msgs, kBatch, MSG_DONTWAIT, nullptr);
      if (n < 0 && errno == EINTR) continue;
      // A pending ENETDOWN or ENODEV fails the handle; EAGAIN ends the poll.
      if (n < 0) note_errno(errno);
      if (n <= 0) return;
      int k = 0;
      for (int i = 0; i < n; ++i) {
        const uint32_t dropped = kernel_drops(msgs[i].msg_hdr);
        if (dropped != 0) {
          // Lost in the kernel before this frame: after the frames before it.
          if (k > 0) ep_.receive(out, k);
          k = 0;
          ep_.lost(dropped);
        }
        if (msgs[i].msg_len != sizeof(can_frame)) continue;
        const can_frame& f = cf[i];
        if (f.can_id & CAN_ERR_FLAG) {
          note_error_frame(f);
          continue;
        }
        if (f.can_id & CAN_EFF_FLAG) continue;  // 29-bit identifiers are not ours
        // A controller that is off the bus hears nothing; on a virtual
        // interface, where error frames only play a bus-off, the frames
        // still there are dropped as a real controller would not see them.
        if (ctrl_state_.load(std::memory_order_relaxed) == kStateBusOff) continue;
        from_can(f, &out[k++]);
      }
      if (k > 0) ep_.receive(out, k);
      if (n < kBatch) return;
    }
  }

  // The socket's or a status query's news about the interface: down fails
  // the handle until it is up again, gone fails it for good.
  void note_errno(int e) {
    if (e == ENETDOWN) {
      mark_down();
    } else if (e == ENODEV || e == ENXIO) {
      mark_gone();
    }
  }
  // The three run on the poll, on a send and on a status query, possibly at
  // once; link_mx_ keeps a late "up" from clearing a "gone" that came
  // between its check and its store.
  void mark_down() {
    std::lock_guard<std::mutex> lk(link_mx_);
    if (gone_.load(std::memory_order_acquire)) return;
    down_.store(true, std::memory_order_release);
    ep_.fail(NTCAN_CONTR_OFF_BUS);
  }
  void mark_gone() {
    std::lock_guard<std::mutex> lk(link_mx_);
    gone_.store(true, std::memory_order_release);
    ep_.fail(NTCAN_NET_NOT_FOUND);
  }
  // The interface is up again: the handle works, with a controller that
  // starts error-active as the kernel restarts it.
  void mark_up() {
    std::lock_guard<std::mutex> lk(link_mx_);
    if (gone_.load(std::memory_order_acquire) || !down_.load(std::memory_order_acquire)) return;
    down_.store(false, std::memory_order_release);
    set_state(kStateActive);
    ep_.fail(NTCAN_SUCCESS);
  }
  // Asks the kernel about the interface of a handle known to be down; true
  // when it is up again.
  bool check_link() {
    LinkInfo li;
    const int e = query_link(ifindex_, &li);
    if (e == ENODEV) {
      mark_gone();
      return false;
    }
    if (e != 0 || !li.up) return false;
    mark_up();
    return true;
  }

  // Frames the kernel dropped for this socket since the last message that
  // carried the count, from the SO_RXQ_OVFL control message (present once
  // the socket has dropped any).
  uint32_t kernel_drops(const msghdr& h) {
    for (cmsghdr* c = CMSG_FIRSTHDR(const_cast<msghdr*>(&h)); c != nullptr;
         c = CMSG_NXTHDR(const_cast<msghdr*>(&h), c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL ||
          c->cmsg_len < CMSG_LEN(sizeof(uint32_t)))
        continue;
      uint32_t total;
      std::memcpy(&total, CMSG_DATA(c), sizeof total);
      const uint32_t grew = total - drops_seen_;  // the counter may wrap
      drops_seen_ = total;
      return grew;
    }
    return 0;
  }

  void close() override {
    closing_.store(true);
    std::unique_lock<std::shared_mutex> lk(io_mx_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  // Installs the kernel filter for ids_. Up to 255 identifiers get two exact
  // filters each (data frames, which the kernel finds through a per-identifier
  // table, and remote requests); more are covered by aligned blocks of
  // identifiers, the receive path dropping the surplus.
  NTCAN_RESULT apply_filter() {
    std::vector<can_filter> f;
    const size_t count = ids_.count();
    const canid_t exact = CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_SFF_MASK;
    if (count <= 255) {
      for (size_t id = 0; id < static_cast<size_t>(kIdCount); ++id) {
        if (!ids_.test(id)) continue;
        f.push_back({static_cast<canid_t>(id), exact});
        f.push_back({static_cast<canid_t>(id) | CAN_RTR_FLAG, exact});
      }
    } else {
      for (int bits = 1; bits <= 11; ++bits) {
        const size_t block = size_t{1} << bits;
        f.clear();
        for (size_t base = 0; base < static_cast<size_t>(kIdCount); base += block) {
          bool any = false;
          for (size_t id = base; id < base + block && !any; ++id) any = ids_.test(id);
          if (any)
            f.push_back({static_cast<canid_t>(base),
                         CAN_EFF_FLAG | (CAN_SFF_MASK & ~static_cast<canid_t>(block - 1))});
        }
        if (f.size() <= 255) break;
      }
    }
    std::shared_lock<std::shared_mutex> lk(io_mx_);
    if (fd_ < 0) return NTCAN_INVALID_HANDLE;
    // A block that covers the identifier already leaves the kernel's lists
    // as they are: a handle taking many identifiers one by one installs a
    // fraction of the filters.
    if (f.size() == installed_.size() && std::equal(f.begin(), f.end(), installed_.begin(),
                                                    [](const can_filter& a, const can_filter& b) {
                                                      return a.can_id == b.can_id &&
                                                             a.can_mask == b.can_mask;
                                                    }))
      return NTCAN_SUCCESS;
    const socklen_t len = static_cast<socklen_t>(f.size() * sizeof(can_filter));
    if (::setsockopt(fd_, SOL_CAN_RAW, CAN_RAW_FILTER, f.empty() ? nullptr : f.data(), len) < 0)
      return map_errno(errno);
    installed_.swap(f);
    return NTCAN_SUCCESS;
  }

  // Follows the controller state that error frames announce.
  void note_error_frame(const can_frame& f) {
    uint32_t s = ctrl_state_.load(std::memory_order_relaxed);
    if (f.can_id & CAN_ERR_RESTARTED) s = kStateActive;
    if ((f.can_id & CAN_ERR_CRTL) && f.len >= 2) {
      const uint8_t c = f.data[1];
      if (c & (CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE))
        s = kStatePassive;
      else if (c & (CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING))
        s = kStateWarning;
      else if (c & CAN_ERR_CRTL_ACTIVE)
        s = kStateActive;
    }
    if (f.can_id & CAN_ERR_BUSOFF) s = kStateBusOff;
    set_state(s);
  }
  // The controller's state, for this handle and for the handles the medium
  // opens next (a new socket on a controller that is off the bus is off the
  // bus too).
  void set_state(uint32_t s) {
    ctrl_state_.store(s, std::memory_order_relaxed);
    net_state_->store(s, std::memory_order_relaxed);
  }

  std::shared_ptr<ScMedium> medium_;
  Endpoint& ep_;
  std::shared_mutex io_mx_;  // shared: calls using fd_; exclusive: close
  std::mutex poll_mx_;
  int fd_;  // -1 once closed
  std::atomic<bool> closing_{false};
  const int ifindex_;
  std::bitset<kIdCount> ids_;          // id_add/id_delete are serialised by the generic layer
  std::vector<can_filter> installed_;  // the kernel's filter now, with ids_
  std::atomic<uint32_t>* const net_state_;
  std::atomic<uint32_t> ctrl_state_;
  std::atomic<bool> down_{false};  // the interface is down: calls fail until it is up
  std::atomic<bool> gone_{false};  // the interface went away: calls fail for good
  std::mutex link_mx_;             // orders mark_down, mark_gone and mark_up
  uint32_t drops_seen_ = 0;        // the kernel's drop counter, under poll_mx_
};

// The devices' socket: how long its reader waits at most in one poll, and
// how often it tries to bind again while the interface is down or gone.
constexpr int kWireWaitMs = 1000;
constexpr int kWireRetryMs = 50;

class ScMedium final : public Medium, public std::enable_shared_from_this<ScMedium> {
 public:
  explicit ScMedium(std::string ifname) : ifname_(std::move(ifname)) {}
  ~ScMedium() override {
    // Nobody else holds the medium now; the reader holds only a raw pointer
    // between its turns, and sees stop_ before it touches anything again.
    if (reader_.joinable()) {
      stop_.store(true);
      wake();
      // The reader's own turn may have let go of the last reference.
      if (reader_.get_id() == std::this_thread::get_id())
        reader_.detach();
      else
        reader_.join();
    }
    if (dev_fd_ >= 0) ::close(dev_fd_);
    if (wake_fd_ >= 0) ::close(wake_fd_);
  }

  const std::string& ifname() const { return ifname_; }

  NTCAN_RESULT open(Endpoint& ep, std::unique_ptr<Port>* port) override {
    const can_err_mask_t errs = CAN_ERR_BUSOFF | CAN_ERR_CRTL | CAN_ERR_RESTARTED;
    int ifindex = 0;
    int fd = open_raw(ifname_, errs, &ifindex);
    if (fd < 0) return -fd;
    // A queue as deep as the kernel allows; beyond it the kernel drops frames
    // before the handle's queue could count them.
    grow_rcvbuf(fd);
    // Frames the kernel still drops are counted: each received frame then
    // carries the socket's drop counter, which polls turn into msg_lost.
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
    if (ctrl_state_.load(std::memory_order_relaxed) != kStateActive) {
      // A real controller may have been restarted while no handle listened
      // for the announcement: it knows its state.
      LinkInfo li;
      if (query_link(ifindex, &li) == 0 && li.has_state && state_of(li.state) <= kStateBusOff)
        ctrl_state_.store(state_of(li.state), std::memory_order_relaxed);
    }
    port->reset(new ScPort(shared_from_this(), ep, fd, ifindex, &ctrl_state_));
    return NTCAN_SUCCESS;
  }

  // The devices of the net share one CAN_RAW socket of the medium's own:
  //   - what they inject goes out on it, so every handle of this process
  //     (through the kernel's loopback) and every other socket on the
  //     interface hears it once;
  //   - the kernel never hands a socket its own frames back (own messages
  //     off), so the devices do not hear themselves here; the generic layer
  //     gives each device the others' frames;
  //   - while the net has devices the socket takes every standard frame on
  //     the interface and a reader thread hands them to the devices: frames
  //     of other processes, and the frames of this process's handles, which
  //     reach it through the loopback (so the generic layer leaves those
  //     out, wire_hears_handles).
  // An interface that goes down or away costs the socket its binding: the
  // reader binds again every kWireRetryMs until the interface is back
  // (without a reader, the next inject does), so that devices hosted on the
  // net hear and are heard again by themselves.
  NTCAN_RESULT inject(const CMSG* frames, int count) override {
    static const std::atomic<bool> kNoStop{false};
    for (bool bound = false;; bound = true) {
      {
        std::shared_lock<std::shared_mutex> lk(dev_mx_);
        if (dev_fd_ >= 0 && !dev_broken_.load(std::memory_order_acquire)) {
          int err = 0;
          NTCAN_RESULT st = send_frames(dev_fd_, frames, count, kNoStop, &err);
          if (err == ENETDOWN || err == ENODEV || err == ENXIO) {
            dev_broken_.store(true, std::memory_order_release);
            wake();
          }
          return st;
        }
        if (bound || reader_.joinable())
          return bind_status_ != NTCAN_SUCCESS ? bind_status_ : NTCAN_CONTR_OFF_BUS;
      }
      std::unique_lock<std::shared_mutex> lk(dev_mx_);
      if (!reader_.joinable() && (dev_fd_ < 0 || dev_broken_.load())) rebind_locked();
    }
  }

  void listen(WireSink sink) override {
    const bool on = static_cast<bool>(sink);
    {
      std::lock_guard<std::mutex> lk(sink_mx_);
      sink_ = std::move(sink);
      listening_.store(on, std::memory_order_release);
    }
    std::unique_lock<std::shared_mutex> lk(dev_mx_);
    if (dev_fd_ >= 0) apply_dev_filter_locked();
    if (on && !reader_.joinable()) {
      // Bound before the devices' first frames, which follow at once.
      if (dev_fd_ < 0 || dev_broken_.load()) rebind_locked();
      if (wake_fd_ < 0) wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      std::weak_ptr<ScMedium> self = weak_from_this();
      reader_ = std::thread([self, this] { run_reader(self); });
    }
  }

  bool wire_hears_handles() const override { return true; }

 private:
  // Binds the devices' socket (again). Under dev_mx_ held exclusively.
  bool rebind_locked() {
    if (dev_fd_ >= 0) ::close(dev_fd_);
    dev_fd_ = -1;
    int ifindex = 0;
    const int fd = open_raw(ifname_, 0, &ifindex);
    if (fd < 0) {
      bind_status_ = -fd;
      return false;
    }
    grow_rcvbuf(fd);
    dev_fd_ = fd;
    dev_broken_.store(false, std::memory_order_release);
    bind_status_ = NTCAN_SUCCESS;
    apply_dev_filter_locked();
    return true;
  }

  // Every standard frame while devices listen, nothing otherwise.
  void apply_dev_filter_locked() {
    if (listening_.load(std::memory_order_acquire)) {
      const can_filter all{0, CAN_EFF_FLAG};
      ::setsockopt(dev_fd_, SOL_CAN_RAW, CAN_RAW_FILTER, &all, sizeof all);
    } else {
      ::setsockopt(dev_fd_, SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0);
    }
  }

  static void grow_rcvbuf(int fd) {
    int size = kRcvBuf;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }

  void wake() {
    if (wake_fd_ < 0) return;
    const uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
  }

  // Waits up to `ms` for frames on `fd` (-1: none), an error or a wake-up.
  void wait(int fd, int ms) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    if (::poll(p, 2, ms) > 0 && (p[1].revents & POLLIN)) {
      uint64_t n;
      (void)!::read(wake_fd_, &n, sizeof n);
    }
  }

  // The reader thread. Only it binds the devices' socket once it runs, so
  // dev_fd_ changes under its feet never. It holds the medium only while it
  // reads and delivers; between turns the destructor stops it.
  void run_reader(const std::weak_ptr<ScMedium>& weak) {
    for (;;) {
      if (stop_.load()) return;
      if (dev_fd_ < 0 || dev_broken_.load(std::memory_order_acquire)) {
        bool bound;
        {
          std::unique_lock<std::shared_mutex> lk(dev_mx_);
          bound = rebind_locked();
        }
        if (!bound) {
          wait(-1, kWireRetryMs);
          continue;
        }
      }
      wait(dev_fd_, kWireWaitMs);
      if (stop_.load()) return;
      {
        std::shared_ptr<ScMedium> self = weak.lock();
        if (!self) return;
        read_dev_frames();
      }
      if (weak.expired()) return;
    }
  }

  // Takes what the devices' socket holds and hands it to the devices.
  void read_dev_frames() {
    can_frame cf[kBatch];
    iovec iov[kBatch];
    mmsghdr msgs[kBatch];
    CMSG out[kBatch];
    for (int round = 0; round < kPollRounds; ++round) {
      for (int i = 0; i < kBatch; ++i) {
        iov[i].iov_base = &cf[i];
        iov[i].iov_len = sizeof cf[i];
        std::memset(&msgs[i], 0, sizeof msgs[i]);
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      const int n = ::recvmmsg(dev_fd_, msgs, kBatch, MSG_DONTWAIT, nullptr);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == ENETDOWN || errno == ENODEV || errno == ENXIO))
        dev_broken_.store(true, std::memory_order_release);
      if (n <= 0) return;
      int k = 0;
      for (int i = 0; i < n; ++i) {
        if (msgs[i].msg_len != sizeof(can_frame)) continue;
        if (cf[i].can_id & (CAN_ERR_FLAG | CAN_EFF_FLAG)) continue;
        from_can(cf[i], &out[k++]);
      }
      WireSink sink;
      {
        std::lock_guard<std::mutex> lk(sink_mx_);
        sink = sink_;
      }
      if (k > 0 && sink) sink(out, k);
      if (n < kBatch) return;
    }
  }

  const std::string ifname_;
  // The controller state the net's handles last learnt; new handles start
  // from it.
  std::atomic<uint32_t> ctrl_state_{kStateActive};

  // The devices' socket. dev_mx_ exclusive: binding it and its filter;
  // shared: sending on it. The reader reads it without the lock.
  std::shared_mutex dev_mx_;
  int dev_fd_ = -1;
  std::atomic<bool> dev_broken_{false};       // went down or away: bind again
  NTCAN_RESULT bind_status_ = NTCAN_SUCCESS;  // of the last bind, under dev_mx_
  std::atomic<bool> listening_{false};
  std::mutex sink_mx_;
  WireSink sink_;       // under sink_mx_
  std::thread reader_;  // started by the first listen, under dev_mx_
  int wake_fd_ = -1;    // eventfd that wakes the reader
  std::atomic<bool> stop_{false};
};

NTCAN_RESULT ScPort::status(CAN_IF_STATUS* st) {
  // Error frames already queued in the socket bring the state up to date.
  poll();
  std::memset(st->boardid, 0, sizeof st->boardid);
  const std::string& name = medium_->ifname();
  std::memcpy(st->boardid, name.data(), std::min(name.size(), sizeof st->boardid - 1));
  LinkInfo li;
  int e = gone_.load(std::memory_order_acquire) ? ENODEV : query_link(ifindex_, &li);
  if (e == ENODEV) {
    mark_gone();
    st->boardstatus = kBoardGone;
    return NTCAN_NET_NOT_FOUND;
  }
  if (e != 0) return map_errno(e);
  if (li.up) {
    mark_up();
  } else {
    mark_down();
  }
  uint32_t s;
  if (li.has_state) {
    // A real controller knows its state; the data path follows it.
    s = state_of(li.state);
    if (s <= kStateBusOff) set_state(s);
  } else {
    s = ctrl_state_.load(std::memory_order_relaxed);
  }
  st->boardstatus = s;
  if (!li.up) {
    st->boardstatus |= kBoardDown;
    return NTCAN_CONTR_OFF_BUS;
  }
  return NTCAN_SUCCESS;
}

}  // namespace

std::shared_ptr<Medium> make_socketcan_medium(int net, const ntcan_ctl::NetConfig& cfg) {
  (void)net;
  return std::make_shared<ScMedium>(cfg.ifname);
}

}  // namespace ntcan_drv
