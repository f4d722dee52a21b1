// Registration through the driver's eyes: which driver calls each path
// makes, the lines it creates, the master and its sharers, closing, and the
// opening rules and messages of a line.
#include "zuntal_fixture.h"

using ntcan_ctl::calls_on_net;
using ntcan_ctl::Op;

namespace {

// Driver calls per operation on one net since the last clear.
struct Calls {
  uint64_t open, baud, close, add, del, take, send;
};
Calls calls(int net) {
  return Calls{calls_on_net(net, Op::Open),     calls_on_net(net, Op::SetBaudrate),
               calls_on_net(net, Op::Close),    calls_on_net(net, Op::IdAdd),
               calls_on_net(net, Op::IdDelete), calls_on_net(net, Op::Take),
               calls_on_net(net, Op::Send)};
}
void expect_calls(int net, Calls want) {
  Calls got = calls(net);
  EXPECT_EQ(got.open, want.open) << "canOpen";
  EXPECT_EQ(got.baud, want.baud) << "canSetBaudrate";
  EXPECT_EQ(got.close, want.close) << "canClose";
  EXPECT_EQ(got.add, want.add) << "canIdAdd";
  EXPECT_EQ(got.del, want.del) << "canIdDelete";
  EXPECT_EQ(got.take, want.take) << "canTake";
  EXPECT_EQ(got.send, want.send) << "canSend";
}

}  // namespace

TEST_F(ZuntalTest, UnregisteredOrOutOfRangePropertiesNeverCallTheDriver) {
  D_can* n = node("N", 1, 5);
  CMSG buf[100];
  int len = 100;
  unsigned char data[8] = {0x40, 0x18, 0x10, 0x01};
  int ident = 0x605, plen = 8;
  EXPECT_EQ(n->can_read(buf, &len), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(len, -1);
  len = 100;
  EXPECT_EQ(n->can_get(buf, &len), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(len, -1);
  EXPECT_EQ(n->can_write(0x605, 8, data), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(n->can_poll(&ident, &plen, data), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(n->rtr(&ident), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(n->rtr(&ident, 4), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(n->rtr(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(n->can_array(buf, &len), -1);
  EXPECT_EQ(n->can_fill(), -1);
  EXPECT_EQ(n->start_node(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(n->can_close(), 0);
  EXPECT_EQ(n->dellist(), 0);
  EXPECT_EQ(can_looping(), 0);

  // Line numbers outside 1 to 20 are refused by every init.
  D_can* low = node("LOW", 0, 5);
  D_can* high = node("HIGH", 21, 5);
  EXPECT_EQ(low->init(), -1);
  EXPECT_EQ(high->init(0x185), -1);
  EXPECT_EQ(high->init(0x185, 1), -1);
  EXPECT_EQ(high->init(0x185, 0), 0);  // any other flag answers 0 whatever happened
  EXPECT_EQ(ntcan_ctl::total_calls(), 0u);
  EXPECT_TRUE(zuntal_test::lines().empty());
  EXPECT_TRUE(zuntal_test::nodes().empty());
  EXPECT_EQ(zuntal_test::running_supervision_threads(), 0);
}

TEST_F(ZuntalTest, DirectRegistrationOpensTheLineOnceAndGivesLaterPropertiesOwnHandles) {
  D_can* a = node("A", 2, 0x181, 0, 0x381);
  EqData in, out;
  in.set(4);
  loc_->set("A.BAUDRATE", &in, &out);

  ASSERT_EQ(a->init(), 0);
  expect_calls(1, Calls{1, 1, 0, 2, 0, 0, 0});  // identifiers 0x181 and 0x381
  ASSERT_EQ(zuntal_test::lines().size(), 1u);
  canline* line = zuntal_test::lines()[0];
  EXPECT_EQ(line->line(), 2);
  EXPECT_EQ(line->baudrate_, 4);
  EXPECT_TRUE(line->is_open());
  EXPECT_EQ(a->handle(), line->handle());  // the creator shares the line's handle
  EXPECT_EQ(ntcan_ctl::handle_net(a->handle()), 1);
  EXPECT_EQ(zuntal_test::running_supervision_threads(), 1);
  EXPECT_FALSE(line->t1_.joinable());  // detached
  EXPECT_TRUE(zuntal_test::nodes().empty());
  EXPECT_NE(zuntal_test::view(a).alive_ptr, nullptr);  // a node-state integer of its own
  EXPECT_EQ(zuntal_test::view(a).rxmsg, nullptr);

  // A second property on line 2: the same line object, its own handle; its
  // other baud rate does not change the line.
  D_can* b = node("B", 2, 0x182);
  in.set(2);
  loc_->set("B.BAUDRATE", &in, &out);
  ntcan_ctl::clear_counters();
  ASSERT_EQ(b->init(0x582, 1), 0);
  expect_calls(1, Calls{1, 1, 0, 1, 0, 0, 0});
  EXPECT_EQ(zuntal_test::lines().size(), 1u);
  EXPECT_EQ(line->baudrate_, 4);
  EXPECT_GT(b->handle(), 0);
  EXPECT_NE(b->handle(), a->handle());
  EXPECT_EQ(zuntal_test::running_supervision_threads(), 1);

  // .BAUDRATE 0 means index 6.
  D_can* c = node("C", 3, 1);
  ASSERT_EQ(c->init(), 0);
  EXPECT_EQ(zuntal_test::find_line(3)->baudrate_, 6);

  // A failing canIdAdd stops init() at the first failing identifier;
  // "already enabled" counts as success.
  D_can* d = node("D", 2, 0x183, 0x283, 0x383);
  ntcan_ctl::force_status(1, Op::IdAdd, NTCAN_ID_ALREADY_ENABLED, 1);
  EXPECT_EQ(d->init(), 0);
  ntcan_ctl::clear_counters();
  ntcan_ctl::force_status(1, Op::IdAdd, NTCAN_INSUFFICIENT_RESOURCES, 1);
  D_can* e = node("E", 2, 0x184, 0x284, 0x384);
  EXPECT_EQ(e->init(), NTCAN_INSUFFICIENT_RESOURCES);
  expect_calls(1, Calls{1, 1, 0, 1, 0, 0, 0});

  // A direct property never closes its own handle in can_close.
  ntcan_ctl::clear_counters();
  EXPECT_EQ(b->can_close(), 0);
  EXPECT_EQ(b->handle(), -1);
  expect_calls(1, Calls{0, 0, 0, 0, 0, 0, 0});
}

TEST_F(ZuntalTest, BufferedRegistrationMakesOneMasterPerNodeAndSharesItsBuffer) {
  D_can* m = node("M", 1, 5);
  D_can* s = node("S", 1, 5);
  ASSERT_EQ(m->init(0x185), 0);
  expect_calls(0, Calls{1, 1, 0, 1, 0, 0, 0});
  ASSERT_EQ(zuntal_test::nodes(), std::vector<D_can*>{m});
  EXPECT_TRUE(m->isactive());

  ntcan_ctl::clear_counters();
  ASSERT_EQ(s->init(0x285), 0);
  expect_calls(0, Calls{0, 0, 0, 1, 0, 0, 0});  // enabled on the master's handle
  EXPECT_EQ(ntcan_ctl::calls(Op::IdAdd, m->handle()), 1u);
  EXPECT_EQ(zuntal_test::nodes(), std::vector<D_can*>{m});
  EXPECT_FALSE(s->isactive());
  zuntal_test::NodeView vm = zuntal_test::view(m), vs = zuntal_test::view(s);
  EXPECT_NE(vm.rxmsg, nullptr);
  EXPECT_EQ(vs.rxmsg, vm.rxmsg);
  EXPECT_EQ(vs.rxmsg_len, vm.rxmsg_len);
  EXPECT_EQ(vs.can_ret, vm.can_ret);
  EXPECT_EQ(vs.alive_ptr, vm.alive_ptr);
  EXPECT_EQ(s->handle(), m->handle());

  // A second init of the master: still one entry, no open on an open line.
  ntcan_ctl::clear_counters();
  ASSERT_EQ(m->init(0x705), 0);
  EXPECT_EQ(zuntal_test::nodes().size(), 1u);
  expect_calls(0, Calls{0, 0, 0, 1, 0, 0, 0});

  // The sharer's close forgets the buffer and leaves the master's intact;
  // its DelIdent and dellist do nothing.
  ntcan_ctl::clear_counters();
  EXPECT_EQ(s->DelIdent(0x285), 0);
  EXPECT_EQ(s->dellist(), 0);
  EXPECT_EQ(s->can_close(), 0);
  EXPECT_EQ(zuntal_test::view(s).rxmsg, nullptr);
  EXPECT_EQ(zuntal_test::view(m).rxmsg, vm.rxmsg);
  EXPECT_EQ(zuntal_test::nodes().size(), 1u);
  expect_calls(0, Calls{0, 0, 0, 0, 0, 0, 0});

  // The master on the line's own handle: close makes no driver call and no
  // pause; the line stays open; the master keeps its buffer and its entry.
  int pauses = clock_.short_pauses;
  EXPECT_EQ(m->DelIdent(0x705), 0);
  EXPECT_EQ(m->can_close(), 0);
  expect_calls(0, Calls{0, 0, 0, 0, 1, 0, 0});
  EXPECT_EQ(clock_.short_pauses, pauses);
  EXPECT_TRUE(zuntal_test::find_line(1)->is_open());
  EXPECT_EQ(m->handle(), -1);
  EXPECT_EQ(zuntal_test::view(m).rxmsg, vm.rxmsg);
  EXPECT_EQ(zuntal_test::nodes().size(), 1u);
  EXPECT_EQ(m->dellist(), 0);
  EXPECT_TRUE(zuntal_test::nodes().empty());

  // A master with a handle of its own closes it, with one pause.
  D_can* m6 = node("M6", 1, 6);
  ASSERT_EQ(m6->init(0), 0);
  ntcan_ctl::clear_counters();
  pauses = clock_.short_pauses;
  NTCAN_HANDLE own = m6->handle();
  EXPECT_EQ(m6->can_close(), 0);
  EXPECT_EQ(ntcan_ctl::calls(Op::Close, own), 1u);
  EXPECT_EQ(clock_.short_pauses, pauses + 1);
  EXPECT_EQ(ntcan_ctl::handle_net(own), -1);

  // Re-registering the sharer after its master left the list: it becomes
  // the master with a buffer of its own.
  ASSERT_EQ(s->init(0), 0);
  EXPECT_TRUE(s->isactive());
  EXPECT_NE(zuntal_test::view(s).rxmsg, nullptr);
  EXPECT_NE(zuntal_test::view(s).rxmsg, vm.rxmsg);
}

TEST_F(ZuntalTest, MasterOnAClosedLineStaysListedAndItsSharersGetNoHandle) {
  ntcan_ctl::refuse_open(0, NTCAN_NET_NOT_FOUND);
  D_can* m = node("M", 1, 5);
  EXPECT_EQ(m->init(0x185), NTCAN_NET_NOT_FOUND);
  EXPECT_EQ(zuntal_test::nodes(), std::vector<D_can*>{m});
  ASSERT_EQ(zuntal_test::lines().size(), 1u);  // kept, and supervised
  EXPECT_EQ(zuntal_test::running_supervision_threads(), 1);
  EXPECT_EQ(msgs_.count("canOpen returned: ", "Line : 1mess: NTCAN_NET_NOT_FOUND(0x00000013)"), 1);

  // The fill finds no usable handle: count -1, status 77.
  ntcan_ctl::clear_counters();
  can_looping();
  zuntal_test::NodeView v = zuntal_test::view(m);
  EXPECT_EQ(*v.rxmsg_len, -1);
  EXPECT_EQ(*v.can_ret, NTCAN_INVALID_HANDLE);
  EXPECT_EQ(m->can_return(), NTCAN_INVALID_HANDLE);
  // Enabling or disabling an identifier without a handle: 77, no driver call.
  EXPECT_EQ(m->AddIdent(0x705), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(m->DelIdent(0x185), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(ntcan_ctl::total_calls(), 0u);

  // A sharer gets the buffer but no handle; a second property asks the
  // handle-less line for nothing.
  D_can* s = node("S", 1, 5);
  EXPECT_EQ(s->init(0), 0);
  EXPECT_EQ(s->handle(), -1);
  EXPECT_EQ(zuntal_test::view(s).rxmsg, v.rxmsg);
  D_can* d = node("D", 1, 7);
  EXPECT_EQ(d->init(), -1);
  EXPECT_EQ(ntcan_ctl::total_calls(), 0u);
  EXPECT_EQ(zuntal_test::view(d).canhandle, -1);
}

TEST_F(ZuntalTest, LineOpeningReportsOpenFailuresOncePerRunAndBaudFailuresEveryTime) {
  D_can* first = node("F", 4, 1);
  ASSERT_EQ(first->init(), 0);
  canline* line = zuntal_test::find_line(4);
  ASSERT_NE(line, nullptr);

  // Handing out handles on an open line.
  NTCAN_HANDLE h = 5;
  ntcan_ctl::clear_counters();
  EXPECT_EQ(line->can_open(h, false), 0);
  EXPECT_EQ(h, 5);
  h = 0;
  EXPECT_EQ(line->can_open(h, false), -1);
  EXPECT_EQ(h, -1);
  EXPECT_EQ(ntcan_ctl::total_calls(), 0u);

  // Closing, then reopening with failures.
  EXPECT_EQ(line->can_close(), 0);
  EXPECT_EQ(line->handle(), -1);
  EXPECT_FALSE(line->is_open());
  int pauses = clock_.short_pauses;
  EXPECT_EQ(line->can_close(), 0);  // no handle: at once, no pause
  EXPECT_EQ(clock_.short_pauses, pauses);
  h = 9;
  msgs_.clear();
  EXPECT_EQ(line->can_open(h, false), -1);  // no handle on the line: refused, silent
  EXPECT_EQ(h, -1);
  EXPECT_TRUE(msgs_.messages().empty());

  ntcan_ctl::refuse_open(3, NTCAN_SOCK_CONN_TIMEOUT);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(line->can_open(), NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(msgs_.count("canOpen returned: "), 1);
  EXPECT_EQ(msgs_.count("canOpen returned: ", "Line : 4mess: NTCAN_SOCK_CONN_TIMEOUT(0x00000180)"),
            1);
  ntcan_ctl::refuse_open(3, 0);
  EXPECT_EQ(line->can_open(), 0);
  EXPECT_GT(line->handle(), 0);
  EXPECT_TRUE(line->is_open());
  ntcan_ctl::refuse_open(3, NTCAN_SOCK_CONN_TIMEOUT);
  NTCAN_HANDLE extra = -1;
  EXPECT_EQ(line->can_open(extra, true), NTCAN_SOCK_CONN_TIMEOUT);
  EXPECT_EQ(msgs_.count("canOpen returned: "), 2);  // a new run of failures
  ntcan_ctl::refuse_open(3, 0);

  // canSetBaudrate failures: printed every time, the new handle closed, the
  // line's handle untouched.
  EXPECT_EQ(line->can_close(), 0);
  ntcan_ctl::clear_counters();
  ntcan_ctl::force_status(3, Op::SetBaudrate, NTCAN_INVALID_PARAMETER, 2);
  EXPECT_EQ(line->can_open(), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(line->can_open(), NTCAN_INVALID_PARAMETER);
  EXPECT_EQ(msgs_.count("canSetBaudrate returned: ", "NTCAN_INVALID_PARAMETER(0x00000016)"), 2);
  EXPECT_EQ(calls_on_net(3, Op::Open), 2u);
  EXPECT_EQ(calls_on_net(3, Op::Close), 2u);
  EXPECT_EQ(line->handle(), -1);
  EXPECT_FALSE(line->is_open());
  EXPECT_EQ(line->can_open(), 0);

  // A failing canClose is reported; the line is closed all the same.
  ntcan_ctl::force_status(3, Op::Close, NTCAN_INVALID_HANDLE, 1);
  EXPECT_EQ(line->can_close(), NTCAN_INVALID_HANDLE);
  EXPECT_EQ(msgs_.count("canline::canClose returned: ", "NTCAN_INVALID_HANDLE(0x0000004d)"), 1);
  EXPECT_EQ(line->handle(), -1);
}

TEST(ZuntalErrorNames, StatusCodesAreNamedWithTheirValue) {
  EXPECT_EQ(can_error_str(0), "NTCAN_SUCCESS(0x00000000)");
  EXPECT_EQ(can_error_str(266), "NTCAN_ID_ALREADY_ENABLED(0x0000010a)");
  EXPECT_EQ(can_error_str(22), "NTCAN_INVALID_PARAMETER(0x00000016)");
  EXPECT_EQ(can_error_str(386), "NTCAN_SOCK_HOST_NOT_FOUND(0x00000182)");
  EXPECT_EQ(can_error_str(32), "NTCAN_UNKNOWN(0x00000020)");
  EXPECT_EQ(can_error_str(0xFFFFFFFFUL), "NTCAN_UNKNOWN(0xffffffff)");
  int negative = -1;
  EXPECT_EQ(can_error_str(negative), "NTCAN_UNKNOWN(0xffffffffffffffff)");
  // Every name of the table is reachable by its code.
  const std::pair<int, const char*> some[] = {{257, "NTCAN_RX_TIMEOUT"},
                                              {270, "NTCAN_MESSAGE_LOST"},
                                              {4, "NTCAN_OPERATION_ABORTED"},
                                              {12, "NTCAN_INSUFFICIENT_RESOURCES"},
                                              {275, "NTCAN_WRONG_DEVICE_STATE"}};
  for (auto& p : some) EXPECT_EQ(can_error_str(p.first).rfind(p.second, 0), 0u) << p.second;
}
