// EDS reading: the shipped example files, value encoding per data type,
// $NODEID, and clear errors for bad files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "sim_eds.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string example(const std::string& name) {
  return std::string(ZUNTAL_EXAMPLES_DIR) + "/" + name;
}

Bytes value(const zsim::ObjectDictionary& od, uint16_t index, uint8_t sub) {
  auto it = od.find(zsim::od_key(index, sub));
  return it == od.end() ? Bytes{0xDE, 0xAD} : it->second.bytes;
}

Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

TEST(Eds, ExampleFilesDescribeTheirDevices) {
  struct Case {
    const char* file;
    const char* product;
    int node;
  } cases[] = {{"zps48.eds", "ZPS-48 Power Supply", 5},
               {"zmc200.eds", "ZMC-200 Motor Controller", 12},
               {"zio8.eds", "ZIO8 I/O Crate", 0x20}};
  bool saw_segmented_name = false, saw_expedited_name = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    zsim::Eds eds;
    std::string err;
    ASSERT_EQ(zsim::load_eds(example(c.file), &eds, &err), 0) << err;
    EXPECT_EQ(eds.info("productname"), c.product);
    EXPECT_EQ(eds.commissioned_node_id, c.node);
    zsim::ObjectDictionary od;
    ASSERT_EQ(zsim::build_dictionary(eds, c.node, &od, &err), 0) << err;
    for (uint16_t idx : {0x1000, 0x1001, 0x1008, 0x1009, 0x100A, 0x1017})
      EXPECT_TRUE(od.count(zsim::od_key(idx, 0))) << std::hex << idx;
    ASSERT_TRUE(od.count(zsim::od_key(0x1018, 1)));
    EXPECT_EQ(value(od, 0x1018, 0).size(), 1u);
    // COB-ID EMCY is written with $NODEID in every file.
    EXPECT_EQ(value(od, 0x1014, 0), (Bytes{static_cast<uint8_t>(0x80 + c.node), 0, 0, 0}));
    size_t name_len = value(od, 0x1008, 0).size();
    saw_segmented_name |= name_len > 7;
    saw_expedited_name |= name_len <= 4;
  }
  EXPECT_TRUE(saw_segmented_name);
  EXPECT_TRUE(saw_expedited_name);
}

TEST(Eds, ValuesAreEncodedPerDataType) {
  const char* text_eds = R"(
[deviceinfo]
ProductName=Test device
[1000]
datatype=0x0007
defaultvalue=0x12345678
[2001]
DataType=0x0005
DefaultValue=010
[2002]
DataType=0x0003
DefaultValue=-2
[2003]
DataType=0x0002
DefaultValue=-128
[2004]
DataType=0x0008
DefaultValue=1.5
[2005]
DataType=0x0001
DefaultValue=1
[2006]
DataType=0x000A
DefaultValue=01 02 ab
[2007]
DataType=0x0009
DefaultValue=  text with: colon
[2008]
DataType=0x0007
DefaultValue=0x180 + $NODEID
[2009]
DataType=0x0006
DefaultValue=$nodeid+0x600
[200a]
DataType=0x0006
[200B]
DataType=0x001B
DefaultValue=0xFFFFFFFFFFFFFFFF
[200C]
ObjectType=0x9
[200Csub2]
DataType=0x0016
DefaultValue=70000
[200D]
DataType=0x0015
DefaultValue=-1
)";
  zsim::Eds eds;
  std::string err;
  ASSERT_EQ(zsim::parse_eds(text_eds, &eds, &err), 0) << err;
  EXPECT_EQ(eds.info("ProductName"), "Test device");
  zsim::ObjectDictionary od;
  ASSERT_EQ(zsim::build_dictionary(eds, 0x10, &od, &err), 0) << err;
  EXPECT_EQ(value(od, 0x1000, 0), (Bytes{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(value(od, 0x2001, 0), Bytes{8});  // leading 0: octal
  EXPECT_EQ(value(od, 0x2002, 0), (Bytes{0xFE, 0xFF}));
  EXPECT_EQ(value(od, 0x2003, 0), Bytes{0x80});
  EXPECT_EQ(value(od, 0x2004, 0), (Bytes{0x00, 0x00, 0xC0, 0x3F}));
  EXPECT_EQ(value(od, 0x2005, 0), Bytes{1});
  EXPECT_EQ(value(od, 0x2006, 0), (Bytes{0x01, 0x02, 0xAB}));
  EXPECT_EQ(value(od, 0x2007, 0), text("text with: colon"));
  EXPECT_EQ(value(od, 0x2008, 0), (Bytes{0x90, 0x01, 0, 0}));
  EXPECT_EQ(value(od, 0x2009, 0), (Bytes{0x10, 0x06}));
  EXPECT_EQ(value(od, 0x200A, 0), (Bytes{0, 0}));  // no DefaultValue: zero
  EXPECT_EQ(value(od, 0x200B, 0), Bytes(8, 0xFF));
  EXPECT_EQ(value(od, 0x200C, 2), (Bytes{0x70, 0x11, 0x01}));
  EXPECT_EQ(value(od, 0x200C, 0), Bytes{2});  // missing sub 0: highest subindex
  EXPECT_EQ(value(od, 0x200D, 0), Bytes(8, 0xFF));
  // The dictionary of another node differs only in the $NODEID values.
  zsim::ObjectDictionary od2;
  ASSERT_EQ(zsim::build_dictionary(eds, 0x7F, &od2, &err), 0) << err;
  EXPECT_EQ(value(od2, 0x2008, 0), (Bytes{0xFF, 0x01, 0, 0}));
  EXPECT_EQ(value(od2, 0x2001, 0), Bytes{8});
}

TEST(Eds, NumbersAcceptOnlyWellFormedText) {
  uint64_t v;
  bool neg;
  EXPECT_TRUE(zsim::parse_eds_number("0", &v, &neg));
  EXPECT_EQ(v, 0u);
  EXPECT_TRUE(zsim::parse_eds_number(" 0x1F ", &v, &neg));
  EXPECT_EQ(v, 31u);
  EXPECT_TRUE(zsim::parse_eds_number("-17", &v, &neg));
  EXPECT_TRUE(neg);
  EXPECT_EQ(v, 17u);
  EXPECT_TRUE(zsim::parse_eds_number("18446744073709551615", &v, &neg));
  EXPECT_EQ(v, UINT64_MAX);
  for (const char* bad : {"", "-", "0x", "08", "12a", "0x1G", "18446744073709551616", "1 2"})
    EXPECT_FALSE(zsim::parse_eds_number(bad, &v, &neg)) << bad;
}

TEST(Eds, BadFilesGiveAClearError) {
  struct Case {
    const char* text;
    const char* message;  // part of the expected error
  } cases[] = {
      {"[1000]\nDataType=0x0007\nthis line has no separator\n", "EDS:3: not a valid INI line"},
      {"[1000]\nDataType=0x0007\nDataType=0x0007\n", "EDS:3: key 'DataType' repeated in [1000]"},
      {"", "no object sections"},
      {"[DeviceInfo]\nProductName=x\n", "no object sections"},
      {"[1000]\nDefaultValue=1\n", "[1000] has no DataType"},
      {"[1000]\nDataType=zero\n", "[1000] DataType 'zero' is not a valid number"},
      {"[1000]\nDataType=0x0017\n", "[1000] DataType 0x0017 is not supported"},
      {"[1000]\nDataType=0x0005\nDefaultValue=256\n",
       "[1000] DefaultValue '256' is not a valid UNSIGNED8: out of range"},
      {"[1000]\nDataType=0x0006\nDefaultValue=-1\n", "out of range"},
      {"[1000]\nDataType=0x0002\nDefaultValue=-129\n", "out of range"},
      {"[1000]\nDataType=0x0007\nDefaultValue=abc\n", "'abc' is not a number"},
      {"[1000]\nDataType=0x0007\nDefaultValue=1 2\n", "'1 2' is not a number"},
      {"[1000]\nDataType=0x0007\nDefaultValue=0x1 80 + $NODEID\n", "'0x1 80' is not a number"},
      {"[1000]\nDataType=0x0007\nDefaultValue=$NODEID+$NODEID\n", "$NODEID appears twice"},
      {"[1000]\nDataType=0x0008\nDefaultValue=$NODEID\n", "$NODEID in a value that is not"},
      {"[1000]\nDataType=0x0008\nDefaultValue=1e60\n", "REAL32: out of range"},
      {"[1000]\nDataType=0x000A\nDefaultValue=123\n", "not a sequence of hexadecimal bytes"},
      {"[1000]\nDataType=0x0007\nAccessType=readonly\n", "AccessType 'readonly' is not one of"},
      {"[1018sub1]\nDataType=0x0007\n", "[1018sub1] has no object section [1018]"},
      {"[1000]\nDataType=0x0007\n[1000sub1]\nDataType=0x0007\n",
       "[1000sub1] belongs to an object that is not an ARRAY or RECORD"},
      {"[1018]\nObjectType=0x9\n", "[1018] has no sub-objects"},
      {"[1018]\nObjectType=0x9\nSubNumber=3\n[1018sub0]\nDataType=0x0005\n",
       "[1018] SubNumber 3 but 1 sub-object sections"},
      {"[1000]\nObjectType=0x3\nDataType=0x0007\n", "[1000] ObjectType 0x3 is not supported"},
      {"[1003]\nObjectType=0x8\nCompactSubObj=4\nDataType=0x0007\n", "CompactSubObj"},
      {"[MandatoryObjects]\nSupportedObjects=2\n1=0x1000\n2=0x1001\n[1000]\nDataType=0x0007\n",
       "[MandatoryObjects] names object 1001 but the file has no section [1001]"},
      {"[OptionalObjects]\nSupportedObjects=2\n1=0x1000\n[1000]\nDataType=0x0007\n",
       "[OptionalObjects] lists 2 objects but has no entry 2"},
      {"[DeviceComissioning]\nNodeID=200\n[1000]\nDataType=0x0007\n", "NodeID '200'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    zsim::Eds eds;
    eds.device_info["kept"] = "on failure";
    std::string err;
    EXPECT_EQ(zsim::parse_eds(c.text, &eds, &err), -1);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(err.rfind("EDS", 0), 0u) << err;
    EXPECT_EQ(eds.info("kept"), "on failure");  // output untouched
  }

  std::string err;
  zsim::Eds eds;
  EXPECT_EQ(zsim::load_eds("/nonexistent/dir/device.eds", &eds, &err), -1);
  EXPECT_EQ(err, "cannot open EDS file '/nonexistent/dir/device.eds': No such file or directory");
  EXPECT_EQ(zsim::load_eds(ZUNTAL_EXAMPLES_DIR, &eds, &err), -1);
  EXPECT_NE(err.find("it is a directory"), std::string::npos) << err;

  // Nothing but a regular file of at most 4 MiB is read: a device that never
  // ends, a FIFO that nobody writes (the load must not wait for a writer)
  // and a huge file are refused up front.
  EXPECT_EQ(zsim::load_eds("/dev/zero", &eds, &err), -1);
  EXPECT_EQ(err, "cannot open EDS file '/dev/zero': it is not a regular file (a character device)");
  char dir[] = "/tmp/zuntal_eds_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/fifo.eds";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(zsim::load_eds(fifo, &eds, &err), -1);
  EXPECT_NE(err.find("it is not a regular file (a FIFO)"), std::string::npos) << err;
  const std::string big = std::string(dir) + "/big.eds";
  std::ofstream(big) << "[1000]\nDataType=7\n;" << std::string(zsim::kMaxEdsBytes - 20, ' ')
                     << '\n';
  EXPECT_EQ(zsim::load_eds(big, &eds, &err), 0) << "a file of the largest size is read: " << err;
  ASSERT_EQ(truncate(big.c_str(), zsim::kMaxEdsBytes + 1), 0);
  EXPECT_EQ(zsim::load_eds(big, &eds, &err), -1);
  EXPECT_EQ(err, "EDS file '" + big + "' is larger than 4194304 bytes, the limit for an EDS file");
  std::remove(fifo.c_str());
  std::remove(big.c_str());
  rmdir(dir);

  // A $NODEID value that fits the type only for small node ids fails when
  // the dictionary is built for a larger one.
  ASSERT_EQ(zsim::parse_eds("[2000]\nDataType=0x0005\nDefaultValue=$NODEID+0xF0\n", &eds, &err), 0)
      << err;
  zsim::ObjectDictionary od;
  EXPECT_EQ(zsim::build_dictionary(eds, 15, &od, &err), 0) << err;
  EXPECT_EQ(zsim::build_dictionary(eds, 16, &od, &err), -1);
  EXPECT_NE(err.find("[2000] DefaultValue '$NODEID+0xF0' does not fit UNSIGNED8 for node 16"),
            std::string::npos)
      << err;
}

}  // namespace
