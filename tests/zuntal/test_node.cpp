// The node property as a server builds it and a client sees it: children,
// the address record and its change by clients, the configuration file, and
// the command and master children.
#include <cstdio>
#include <fstream>
#include <sstream>

#include "zuntal_fixture.h"

namespace {

std::vector<std::string> names(EqFct* loc) {
  std::vector<std::string> out;
  for (D_fct* p : loc->properties())
    if (p != loc->name_prop()) out.push_back(p->basename());
  return out;
}

IIII client_get(EqFct* loc, const std::string& prop) {
  EqData in, out;
  EXPECT_EQ(loc->get(prop, &in, &out), 0);
  return *out.get_iiii();
}

void client_set(EqFct* loc, const std::string& prop, IIII v) {
  EqData in, out;
  in.set(&v);
  EXPECT_EQ(loc->set(prop, &in, &out), 0);
}

int client_get_int(EqFct* loc, const std::string& prop) {
  EqData in, out;
  EXPECT_EQ(loc->get(prop, &in, &out), 0);
  return out.get_int();
}

void client_set_int(EqFct* loc, const std::string& prop, int v) {
  EqData in, out;
  in.set(v);
  EXPECT_EQ(loc->set(prop, &in, &out), 0);
}

bool same(const IIII& a, const IIII& b) {
  return a.i1_data == b.i1_data && a.i2_data == b.i2_data && a.i3_data == b.i3_data &&
         a.i4_data == b.i4_data;
}

}  // namespace

TEST_F(ZuntalTest, ConstructionCreatesChildrenInOrderAndOneDebugProperty) {
  D_can* n5 = node("NODE5 the fifth node", 0, 0);
  EXPECT_EQ(n5->basename(), "NODE5");
  EXPECT_EQ(n5->data_type(), 14);
  std::vector<std::string> want = {"NODE5",           "NODE5.BAUDRATE", "NODE5.ALIVE",
                                   "NODE5.CONDITION", "NODE5.MANU",     "NODE5.HWVER",
                                   "NODE5.SWVER",     "NODE5.START",    "NODE5.STOP",
                                   "NODE5.RESET",     "NODE5.ACTIVE",   "NODE5.DEBUG_ID"};
  EXPECT_EQ(names(loc_.get()), want);
  EXPECT_EQ(loc_->find_property("NODE5.MANU")->description(), "Manufacture device name");

  // A second property creates rows 1 to 10 only; a leading blank gives an
  // empty base name.
  node("NODE6", 0, 0);
  node(" nameless", 0, 0);
  std::vector<std::string> all = names(loc_.get());
  EXPECT_EQ(std::count(all.begin(), all.end(), "NODE6.DEBUG_ID"), 0);
  EXPECT_EQ(std::count(all.begin(), all.end(), ".BAUDRATE"), 1);
  EXPECT_EQ(std::count(all.begin(), all.end(), ".ACTIVE"), 1);
  ASSERT_NE(zuntal_test::debug_id(), nullptr);
  EXPECT_EQ(zuntal_test::debug_id()->basename(), "NODE5.DEBUG_ID");

  // Fresh state: no handle, no buffer, not master, address all zero.
  EXPECT_EQ(n5->handle(), -1);
  EXPECT_FALSE(n5->isactive());
  EXPECT_FALSE(n5->has_changed());
  EXPECT_EQ(zuntal_test::view(n5).rxmsg, nullptr);
  EXPECT_TRUE(same(*n5->value(), IIII{}));
  EXPECT_EQ(client_get_int(loc_.get(), "NODE5.ACTIVE"), 0);

  // Destroying a node property takes its children out of the location.
  destroy(n5);
  all = names(loc_.get());
  EXPECT_EQ(std::count(all.begin(), all.end(), "NODE5.START"), 0);
  EXPECT_EQ(std::count(all.begin(), all.end(), "NODE5.DEBUG_ID"), 1);
}

TEST_F(ZuntalTest, ClientWriteOfTheAddressPrintsAndMovesOnlyOnLineOrNodeChange) {
  D_can* n = node("NODE5", 1, 5);
  loc_->set_client("anna", "ctrl1");
  ASSERT_EQ(n->init(0), 0);
  ASSERT_EQ(zuntal_test::nodes().size(), 1u);

  // Same address: message, nothing closed, no flag.
  msgs_.clear();
  client_set(loc_.get(), "NODE5", IIII{1, 5, 0, 0});
  EXPECT_EQ(msgs_.count("LOC", "NODE5 change from: 1, 5, 0, 0 to: 1, 5, 0, 0 by anna@ctrl1"), 1);
  EXPECT_FALSE(n->has_changed());
  EXPECT_GT(n->handle(), 0);

  // Only the fourth field: updated, still registered.
  client_set(loc_.get(), "NODE5", IIII{1, 5, 0, 9});
  EXPECT_FALSE(n->has_changed());
  EXPECT_EQ(zuntal_test::nodes().size(), 1u);
  EXPECT_TRUE(same(client_get(loc_.get(), "NODE5"), IIII{1, 5, 0, 9}));

  // A new line moves the master: out of the list, handle closed, flag set,
  // the new record stored without range checks.
  client_set(loc_.get(), "NODE5", IIII{42, 5, -3, 3000});
  EXPECT_TRUE(n->has_changed());
  EXPECT_TRUE(zuntal_test::nodes().empty());
  EXPECT_EQ(n->handle(), -1);
  EXPECT_TRUE(same(client_get(loc_.get(), "NODE5"), IIII{42, 5, -3, 3000}));
  EXPECT_EQ(n->init(0), -1);  // line 42 is refused at the next registration

  // A null record does nothing at all.
  msgs_.clear();
  n->set_value(nullptr);
  EXPECT_TRUE(msgs_.messages().empty());
}

// A client request that holds no IIII (an integer, a text, a float ...)
// moves nothing: the node stays registered where it is, no message, no change
// flag, and the answer carries the framework's error for a wrong type.
TEST_F(ZuntalTest, ClientWriteOfAnotherTypeChangesNothing) {
  D_can* n = node("NODE5", 1, 5, 7, 9);
  ASSERT_EQ(n->init(0x185), 0);
  const NTCAN_HANDLE h = n->handle();
  ASSERT_GT(h, 0);
  msgs_.clear();
  ntcan_ctl::clear_counters();

  std::vector<EqData> requests(5);
  requests[0].set(3);
  requests[1].set(std::string("2 6 0 0"));
  requests[2].set(2.5f);
  requests[3].set_array(DATA_A_INT, {2, 6, 0, 0});
  // requests[4] stays empty
  for (const std::string& prop : {std::string("NODE5"), std::string("NODE5.DEBUG_ID")}) {
    for (EqData& in : requests) {
      EqData out;
      EXPECT_EQ(loc_->set(prop, &in, &out), 0);
      EXPECT_EQ(out.error(), ERR_ILL_TYPE) << prop << " type " << in.type();
      EXPECT_EQ(out.error_text(), "illegal data type");
    }
  }
  EXPECT_TRUE(same(client_get(loc_.get(), "NODE5"), IIII{1, 5, 7, 9}));
  EXPECT_TRUE(same(client_get(loc_.get(), "NODE5.DEBUG_ID"), IIII{}));
  EXPECT_FALSE(n->has_changed());
  EXPECT_EQ(n->handle(), h);
  EXPECT_EQ(zuntal_test::nodes(), std::vector<D_can*>{n});
  EXPECT_EQ(msgs_.count("LOC"), 0) << "no change message";
  // (The line's supervision thread may query the status meanwhile.)
  for (ntcan_ctl::Op op : {ntcan_ctl::Op::Open, ntcan_ctl::Op::Close, ntcan_ctl::Op::IdAdd,
                           ntcan_ctl::Op::IdDelete, ntcan_ctl::Op::Send})
    EXPECT_EQ(ntcan_ctl::calls_on_net(0, op), 0u) << ntcan_ctl::op_name(op);

  // A request of the right type still goes through.
  EqData in, out;
  IIII to{1, 5, 7, 10};
  in.set(&to);
  EXPECT_EQ(loc_->set("NODE5", &in, &out), 0);
  EXPECT_EQ(out.error(), 0);
  EXPECT_TRUE(same(*n->value(), to));
}

TEST_F(ZuntalTest, ChangeMessagesAreCutToTheirBuffers) {
  // Without a location: label "D_can", no caller.
  D_can bare("LONE", nullptr);
  IIII v{2, 3, 4, 5};
  bare.set_value(&v);
  EXPECT_EQ(msgs_.count("D_can", "LONE change from: 0, 0, 0, 0 to: 2, 3, 4, 5"), 1);
  for (auto& m : msgs_.messages()) {
    if (m.first == "D_can") {
      EXPECT_EQ(m.second.find(" by "), std::string::npos);
    }
  }

  // The caller text stops after 199 characters, the message after 399.
  loc_->set_client(std::string(250, 'u'), "host");
  D_can* n = node("N", 0, 0);
  msgs_.clear();
  n->set_value(&v);
  ASSERT_EQ(msgs_.count("LOC"), 1);
  std::string text = msgs_.messages().back().second;
  EXPECT_EQ(text.substr(text.size() - 200), " " + std::string(199, 'u'));

  D_can* longer = node(std::string(390, 'L'), 0, 0);
  msgs_.clear();
  longer->set_value(&v);
  ASSERT_EQ(msgs_.count("LOC"), 1);
  EXPECT_EQ(msgs_.messages().back().second.size(), 399u);
}

TEST_F(ZuntalTest, ConfigurationFileRoundTrip) {
  std::string path = ::testing::TempDir() + "zuntal_conf_" + std::to_string(getpid());
  {
    D_can* a = node("NODEA", 3, 5);
    D_can* b = node("NODEB", 0, 0);
    *b->value() = IIII{25, 3000, 10, -4};
    std::ostringstream line;
    a->write(line);
    EXPECT_NE(line.str().find("NODEA"), std::string::npos);
    const std::string tail = " \t3  5  0  0\n";
    EXPECT_EQ(line.str().substr(line.str().size() - tail.size()), tail);

    client_set_int(loc_.get(), "NODEA.BAUDRATE", 4);
    client_set_int(loc_.get(), "NODEA.START", 3);
    ASSERT_EQ(a->init(0), 0);  // .ACTIVE 1 is written to the file too
    ASSERT_EQ(Config::write_file(path, {loc_.get()}), 0);
  }
  nodes_.clear();

  // The next start reads the file back.
  Config cfg;
  ASSERT_EQ(cfg.load(path), 0);
  EXPECT_EQ(cfg.errors(), 0);
  EqFct again("LOC");
  again.set_config(&cfg);
  D_can a("NODEA", &again);
  D_can b("NODEB", &again);
  again.restore_config();
  EXPECT_TRUE(same(*a.value(), IIII{3, 5, 0, 0}));
  EXPECT_TRUE(same(*b.value(), IIII{0, 0, 10, -4}));
  EXPECT_EQ(client_get_int(&again, "NODEA.BAUDRATE"), 4);
  EXPECT_EQ(client_get_int(&again, "NODEA.START"), 0);
  EXPECT_EQ(client_get_int(&again, "NODEA.ACTIVE"), 0);
  EXPECT_FALSE(a.isactive());

  // conf registers the property as an IIII.
  Config reg;
  a.conf(&reg);
  EXPECT_EQ(reg.inserted().at("NODEA"), 14);
  std::remove(path.c_str());
}

// An address line of anything but four integers is reported and changes
// nothing: a stray word is not skipped to take the numbers after it.
TEST_F(ZuntalTest, AddressLineIsFourIntegersOrNothing) {
  Config cfg;
  ASSERT_EQ(cfg.load_text("LOCATION LOC\n"
                          "NODEA \t1 x 5 0 0\n"
                          "NODEB \t1 5 0 0 9\n"
                          "NODEC \t1 5 0\n"
                          "NODED \t1 5 0 3000000000\n"
                          "NODEE \t2  7  0  0\n"),
            0);
  EqFct loc("LOC");
  loc.set_config(&cfg);
  std::vector<std::unique_ptr<D_can>> n;
  for (const char* name : {"NODEA", "NODEB", "NODEC", "NODED", "NODEE"}) {
    n.emplace_back(new D_can(name, &loc));
    *n.back()->value() = IIII{3, 4, 0, 0};
  }
  tavro::MessageCapture cap;
  loc.restore_config();
  for (size_t k = 0; k < 4; ++k) {
    EXPECT_TRUE(same(*n[k]->value(), IIII{3, 4, 0, 0})) << k;
    EXPECT_TRUE(cfg.find("LOC", n[k]->basename())->rejected) << k;
  }
  EXPECT_TRUE(same(*n[4]->value(), IIII{2, 7, 0, 0}));
  EXPECT_FALSE(cfg.find("LOC", "NODEE")->rejected);
  EXPECT_EQ(cap.count("Config",
                      "line 2: NODEA takes four integers, not \"1 x 5 0 0\"; it keeps its value "
                      "3 4 0 0"),
            1);
  for (int line : {3, 4, 5})
    EXPECT_EQ(cap.count("Config", "line " + std::to_string(line) + ": NODE"), 1) << line;
}

TEST_F(ZuntalTest, MultiReadElementCarriesTheAddress) {
  D_can* n = node("NODE5", 2, 5, 7, 1234);
  EqData res;
  int idx = 3;
  char addr[] = "LOC/NODE5";
  n->get_multi(nullptr, nullptr, &res, &idx, addr);
  const USTR* u = res.get_ustr(3);
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->i1_data, 2);
  EXPECT_EQ(u->f1_data, 5.0f);
  EXPECT_EQ(u->f2_data, 7.0f);
  EXPECT_EQ(u->tm, 1234);
  EXPECT_EQ(u->str_data, "LOC/NODE5");
  // A null address gives an empty text instead of a crash.
  n->get_multi(nullptr, nullptr, &res, &idx, nullptr);
  EXPECT_EQ(res.get_ustr(3)->str_data, "");
}

TEST_F(ZuntalTest, CommandChildrenSendNmtFramesWhateverTheValue) {
  D_can* n = node("NODE5", 1, 5);
  // Not registered: the write is stored, nothing is sent or printed as error.
  client_set_int(loc_.get(), "NODE5.RESET", 1);
  EXPECT_EQ(client_get_int(loc_.get(), "NODE5.RESET"), 1);
  EXPECT_TRUE(ntcan_ctl::sent_frames(0).empty());
  EXPECT_EQ(ntcan_ctl::total_calls(), 0u);

  ASSERT_EQ(n->init(0), 0);
  client_set_int(loc_.get(), "NODE5.START", 0);
  client_set_int(loc_.get(), "NODE5.START", 7);
  client_set_int(loc_.get(), "NODE5.STOP", 1);
  client_set_int(loc_.get(), "NODE5.RESET", 1);
  EXPECT_EQ(client_get_int(loc_.get(), "NODE5.START"), 7);
  std::vector<CMSG> sent = ntcan_ctl::sent_frames(0);
  ASSERT_EQ(sent.size(), 4u);
  const uint8_t cs[] = {1, 1, 2, 0x81};
  for (size_t k = 0; k < sent.size(); ++k) {
    EXPECT_EQ(sent[k].id, 0);
    EXPECT_EQ(sent[k].len, 2);
    EXPECT_EQ(sent[k].data[0], cs[k]);
    EXPECT_EQ(sent[k].data[1], 5);
  }

  // The node id's low 8 bits go into the frame.
  D_can* big = node("BIG", 1, 0x105);
  ASSERT_EQ(big->init(0), 0);
  EXPECT_EQ(big->start_node(), 0);
  EXPECT_EQ(ntcan_ctl::sent_frames(0).back().data[1], 0x05);
}

TEST_F(ZuntalTest, ActiveMarksTheMasterOnly) {
  D_can* master = node("M", 1, 5);
  D_can* sharer = node("S", 1, 5);
  D_can* other = node("O", 1, 6);
  ASSERT_EQ(master->init(0x185), 0);
  ASSERT_EQ(sharer->init(0x285), 0);
  ASSERT_EQ(other->init(0), 0);
  EXPECT_EQ(client_get_int(loc_.get(), "M.ACTIVE"), 1);
  EXPECT_EQ(client_get_int(loc_.get(), "S.ACTIVE"), 0);
  EXPECT_EQ(client_get_int(loc_.get(), "O.ACTIVE"), 1);
  EXPECT_EQ(client_get_int(loc_.get(), "M.ALIVE"), 15);
  EXPECT_EQ(client_get_int(loc_.get(), "S.ALIVE"), 15);

  // A client write only stores: the sharer's DelIdent now reaches the driver.
  uint64_t before = ntcan_ctl::calls_on_net(0, ntcan_ctl::Op::IdDelete);
  EXPECT_EQ(sharer->DelIdent(0x285), 0);
  EXPECT_EQ(ntcan_ctl::calls_on_net(0, ntcan_ctl::Op::IdDelete), before);
  client_set_int(loc_.get(), "S.ACTIVE", 1);
  EXPECT_TRUE(sharer->isactive());
  EXPECT_EQ(sharer->DelIdent(0x285), 0);
  EXPECT_EQ(ntcan_ctl::calls_on_net(0, ntcan_ctl::Op::IdDelete), before + 1);
}
