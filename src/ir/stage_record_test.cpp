// Stage records against bytes spelled out by hand: built from owned members
// (NodeKey::stage) and member by member into one writer reused across records
// of every size, as stage fusion writes them.
#include "ir/stage_record.h"

#include <gtest/gtest.h>

#include "base/fault.h"

#include <string>
#include <vector>

namespace nodalis::ir {
namespace {

using Ids = std::vector<NodeId>;

std::string bytes(std::initializer_list<unsigned char> b) { return std::string(b.begin(), b.end()); }

struct StageCase {
  const char* what;
  Ids inputs;
  std::vector<StageOp> members;
  std::string expected;
};

std::vector<StageCase> stage_cases() {
  const std::string long_token(300, 't');  // past the writer's inline buffer
  return {
      {"one member",
       {0},
       {{"op|neg", {StageRef::input(0)}}},
       bytes({0x04, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 6, 0, 0, 0}) + "op|neg" +
           bytes({1, 0, 0, 0, 0x00, 0, 0, 0, 0})},
      {"nothing", {}, {}, bytes({0x04, 0, 0, 0, 0, 0, 0, 0, 0})},
      {"two inputs and member refs",
       {7, 0x0102030405060708ull},
       {{"a", {StageRef::input(1)}}, {"bc", {StageRef::member(0), StageRef::input(0xFFFFFFFFull)}}, {"", {}}},
       bytes({0x04, 2, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1, 3, 0, 0, 0}) +
           bytes({1, 0, 0, 0}) + "a" + bytes({1, 0, 0, 0, 0x00, 1, 0, 0, 0}) +
           bytes({2, 0, 0, 0}) + "bc" + bytes({2, 0, 0, 0, 0x01, 0, 0, 0, 0, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}) +
           bytes({0, 0, 0, 0, 0, 0, 0, 0})},
      {"a token past the inline buffer",
       {1},
       {{long_token, {StageRef::input(0)}}, {"op|neg", {StageRef::member(0)}}},
       bytes({0x04, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0x2C, 0x01, 0, 0}) + long_token +
           bytes({1, 0, 0, 0, 0x00, 0, 0, 0, 0, 6, 0, 0, 0}) + "op|neg" + bytes({1, 0, 0, 0, 0x01, 0, 0, 0, 0})},
      {"two such tokens",
       {},
       {{long_token, {}}, {long_token, {StageRef::member(0)}}},
       bytes({0x04, 0, 0, 0, 0, 2, 0, 0, 0, 0x2C, 0x01, 0, 0}) + long_token + bytes({0, 0, 0, 0, 0x2C, 0x01, 0, 0}) +
           long_token + bytes({1, 0, 0, 0, 0x01, 0, 0, 0, 0})},
  };
}

TEST(StageRecord, KeysHoldTheSpelledOutBytes) {
  for (const StageCase& c : stage_cases()) {
    SCOPED_TRACE(c.what);
    const NodeKey key = NodeKey::stage(c.inputs, c.members);
    EXPECT_EQ(key.record(), c.expected);
    // The layout facts the writer states must be the ones a reader finds.
    const NodeKey adopted = NodeKey::from_trusted_record(c.expected);
    EXPECT_EQ(key.view().inputs_off, adopted.view().inputs_off);
    EXPECT_EQ(key.view().params_off, adopted.view().params_off);
    EXPECT_EQ(key.members().to_owned(), c.members);
    EXPECT_EQ(key.inputs().to_vector(), c.inputs);
  }
}

TEST(StageRecord, OneWriterServesRecordsOfEverySize) {
  const std::vector<StageCase> cases = stage_cases();
  StageRecordWriter w;
  // Growing first, then smaller records in the grown buffer, then growing
  // again from the heap in the middle of a record.
  for (const size_t i : {size_t{3}, size_t{0}, size_t{1}, size_t{2}, size_t{4}, size_t{0}}) {
    const StageCase& c = cases[i];
    SCOPED_TRACE(c.what);
    w.begin(c.inputs, c.members.size());
    for (const StageOp& m : c.members) {
      w.member(m.token, m.inputs.size());
      for (const StageRef& r : m.inputs) w.ref(r.kind, static_cast<uint32_t>(r.index));
    }
    EXPECT_EQ(w.view().bytes, c.expected);
  }
}

// Written in place, as stage fusion does: the counted size must be the
// record's, a shorter room is a fault rather than an overrun, and the own
// buffer serves again after a record written elsewhere.
TEST(StageRecord, RecordsWrittenInPlaceFillExactlyTheirCountedRoom) {
  StageRecordWriter w;
  auto write_members = [&](const StageCase& c) {
    for (const StageOp& m : c.members) {
      w.member(m.token, m.inputs.size());
      for (const StageRef& r : m.inputs) w.ref(r.kind, static_cast<uint32_t>(r.index));
    }
  };
  for (const StageCase& c : stage_cases()) {
    SCOPED_TRACE(c.what);
    size_t member_bytes = 0;
    for (const StageOp& m : c.members) member_bytes += StageRecordWriter::member_size(m.token.size(), m.inputs.size());
    const size_t size = StageRecordWriter::record_size(c.inputs.size(), member_bytes);
    ASSERT_EQ(size, c.expected.size());
    char* at = nullptr;
    NodeKey key = NodeKey::to_fill(size, StageRecordWriter::kParamsOff, StageRecordWriter::kInputsOff, nullptr, at);
    w.begin_at(at, size, c.inputs, c.members.size());
    write_members(c);
    EXPECT_TRUE(w.filled());
    EXPECT_EQ(key, NodeKey::stage(c.inputs, c.members));
    EXPECT_EQ(key.members().to_owned(), c.members);

    std::string room(size + 1, '\0');
    w.begin_at(room.data(), size + 1, c.inputs, c.members.size());
    write_members(c);
    EXPECT_FALSE(w.filled());
    EXPECT_THROW(
        {
          w.begin_at(room.data(), size - 1, c.inputs, c.members.size());
          write_members(c);
        },
        InternalFault);

    w.begin(c.inputs, c.members.size());
    write_members(c);
    EXPECT_EQ(w.view().bytes, c.expected);
  }
}

}  // namespace
}  // namespace nodalis::ir
