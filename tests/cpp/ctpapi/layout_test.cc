// Our CTP declarations must be ABI-identical to the vendor's: the layout and vtable tables in
// ctpapi/ were printed by a compiler from the vendor's own headers. Every row of both tables must
// match what the compiler makes of the headers this build uses, and every compiled row must be in
// the tables.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "compiled_layout.h"

namespace {

std::vector<std::vector<std::string>> readTable(const std::string& name) {
  std::ifstream in(std::string(QV_CTPAPI_DIR) + "/" + name);
  EXPECT_TRUE(in.good()) << "cannot read " << name;
  std::vector<std::vector<std::string>> rows;
  std::string line;
  std::getline(in, line);  // column names
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream cellStream(line);
    std::string cell;
    while (std::getline(cellStream, cell, '\t')) cells.push_back(cell);
    if (!line.empty() && line.back() == '\t') cells.emplace_back();
    rows.push_back(cells);
  }
  return rows;
}

using Key = std::pair<std::string, std::string>;

TEST(CtpLayout, EveryStructAndFieldMatchesTheReferenceLayout) {
  // Columns: struct field type base length offset size align; struct rows have type "struct".
  std::map<Key, std::tuple<size_t, size_t, size_t>> expected;
  for (const auto& cells : readTable("ctp-6.3.15-layout.tsv")) {
    ASSERT_EQ(cells.size(), 8u);
    const bool structRow = cells[2] == "struct";
    expected[{cells[0], structRow ? "" : cells[1]}] = {
        std::stoul(cells[6]), std::stoul(cells[7]), structRow ? 0 : std::stoul(cells[5])};
  }
  ASSERT_EQ(expected.size(), 353u + 3853u);

  size_t matched = 0;
  for (const LayoutRow& row : compiledLayout()) {
    const std::string where = std::string(row.structName) + "." + row.fieldName;
    auto it = expected.find({row.structName, row.fieldName});
    if (it == expected.end()) {
      ADD_FAILURE() << where << " is not in the reference layout";
      continue;
    }
    const auto [size, align, offset] = it->second;
    EXPECT_EQ(row.size, size) << where << " size";
    EXPECT_EQ(row.align, align) << where << " alignment";
    EXPECT_EQ(row.offset, offset) << where << " offset";
    ++matched;
  }
  EXPECT_EQ(matched, expected.size()) << "reference rows without a compiled counterpart";
}

TEST(CtpLayout, EveryVirtualMethodSitsInItsReferenceSlot) {
  std::map<Key, long> expected;
  for (const auto& cells : readTable("ctp-6.3.15-vtable.tsv")) {
    ASSERT_EQ(cells.size(), 3u);
    expected[{cells[0], cells[1]}] = std::stol(cells[2]);
  }
  ASSERT_EQ(expected.size(), 245u + 4u);

  size_t matched = 0;
  for (const auto* rows : {&compiledSlots(), &compiledSlotCounts()}) {
    for (const SlotRow& row : *rows) {
      const std::string where = std::string(row.className) + "::" + row.methodName;
      auto it = expected.find({row.className, row.methodName});
      if (it == expected.end()) {
        ADD_FAILURE() << where << " is not in the reference vtable";
        continue;
      }
      EXPECT_EQ(row.slot, it->second) << where;
      ++matched;
    }
  }
  EXPECT_EQ(matched, expected.size()) << "reference slots without a compiled counterpart";
}

}  // namespace
