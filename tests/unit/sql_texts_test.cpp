// Texts spliced into statements.
#include "store/sql_texts.h"

#include <gtest/gtest.h>

namespace netbuf {

TEST(SqlTexts, QuotedTextsCannotEndTheirLiteral) {
  EXPECT_EQ(sql::quoted("a\"b"), "\"a\"\"b\"");
}

}  // namespace netbuf
