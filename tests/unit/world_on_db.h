// The recording fakes over a real net.db: what the access tests start from.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "tests/unit/fakes.h"
#include "tests/unit/test_db.h"

namespace netbuf::testing {

// A net.db with 900 register rows and no cards, open on the world's connection.
class WorldOnDb : public ::testing::Test {
 protected:
  void SetUp() override {
    db.create(900, 0);
    w.db.open(db.path());
  }
  // Reader entry e at line address adr, in geo zone geo, with these flags.
  void reader(int e, int adr, int geo, int flags) {
    ReaderEntry& r = w.st.reader(e);
    r.adr485 = adr;
    r.geo_zone = geo;
    r.flags = flags;
  }
  // The named columns of every row of a query, read through a connection of its own.
  std::vector<std::vector<int64_t>> rows_of(const std::string& sql,
                                            std::initializer_list<std::string_view> names) {
    Database check;
    check.open(db.path());
    return integer_rows(check, sql, names);
  }

  TempDb db;
  FakeWorld w;
};

}  // namespace netbuf::testing
