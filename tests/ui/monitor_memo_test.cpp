#include "window/monitor_memo.h"

#include <gtest/gtest.h>

#include <QAbstractTextDocumentLayout>
#include <QCheckBox>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextLayout>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "tests/ui/ui_test_support.h"

namespace netbuf {
namespace {

// Memo1 and its check boxes at the window's sizes, on a page of their own.
struct MonitorPage {
  MonitorPage() {
    page.resize(583, 477);
    memo = new QPlainTextEdit(&page);
    memo->setGeometry(14, 16, 563, 321);
    for (auto*& b : boxes) b = new QCheckBox(&page);
    log = std::make_unique<QtMonitorLog>(memo, boxes[0], boxes[1], boxes[2], boxes[3]);
  }
  QString text() const { return memo->toPlainText(); }
  QWidget page;
  QPlainTextEdit* memo;
  QCheckBox* boxes[4];
  std::unique_ptr<QtMonitorLog> log;
};

// A reader-bus dump long enough to wrap over several rows of the log.
std::string long_line() {
  std::string s = "READER->BUF:";
  for (int i = 0; i < 60; ++i) s += "*A5";
  return s + " " + std::string(200, 'x');
}

TEST(MonitorLog, LinesAppendsAndClearShapeTheText) {
  MonitorPage m;
  m.log->log_append("x");  // on an empty log it starts the first line
  EXPECT_EQ(m.text(), "x");
  m.log->log_clear();
  EXPECT_EQ(m.text(), "");
  m.log->log_clear();  // clearing an empty log leaves it empty
  EXPECT_EQ(m.text(), "");

  m.log->log_line("BUF->READER:01 03");
  m.log->log_append("READER->BUF:");
  m.log->log_append("*01*03");
  m.log->log_line("Karta nieznana");
  EXPECT_EQ(m.text(), "BUF->READER:01 03READER->BUF:*01*03\nKarta nieznana");

  m.log->log_clear();
  m.log->log_line("");  // an empty first line is still a line
  m.log->log_line("y");
  EXPECT_EQ(m.text(), "\ny");
  EXPECT_EQ(m.log->displayed_rows(), 2);
}

TEST(MonitorLog, CategoriesFollowTheirCheckBoxes) {
  MonitorPage m;
  const LogCategory order[] = {LogCategory::Rs485, LogCategory::Tcp, LogCategory::Events,
                               LogCategory::Connections};
  for (int i = 0; i < 4; ++i) {
    EXPECT_FALSE(m.log->enabled(order[i]));
    m.boxes[i]->setChecked(true);
    for (int j = 0; j < 4; ++j) EXPECT_EQ(m.log->enabled(order[j]), j <= i);
  }
}

TEST(MonitorLog, LimitCountsDisplayedRowsNotLines) {
  MonitorPage m;
  for (int i = 0; i < 200; ++i) m.log->log_line("line " + std::to_string(i));
  m.log->log_limit();
  EXPECT_EQ(m.log->displayed_rows(), 200);  // exactly 200 stay
  m.log->log_line("one more");
  m.log->log_limit();
  EXPECT_EQ(m.text(), "");  // 201 empty the log
  EXPECT_EQ(m.log->displayed_rows(), 0);

  m.log->log_line(long_line());
  const int rows_per_long = m.log->displayed_rows();
  ASSERT_GE(rows_per_long, 3);
  m.log->log_clear();

  // 170 lines, but the long ones fill more than 200 rows.
  for (int i = 0; i < 150; ++i) m.log->log_line("short " + std::to_string(i));
  for (int i = 0; i < 20; ++i) m.log->log_line(long_line());
  EXPECT_EQ(m.log->displayed_rows(), 150 + 20 * rows_per_long);
  m.log->log_limit();
  EXPECT_EQ(m.text(), "");

  // A line that grows by appends is counted at its full length.
  for (int i = 0; i < 199; ++i) m.log->log_line("short");
  m.log->log_line("READER->BUF:");
  m.log->log_limit();
  ASSERT_EQ(m.log->displayed_rows(), 200);
  for (int i = 0; i < 100; ++i) m.log->log_append("*A5");
  m.log->log_limit();
  EXPECT_EQ(m.text(), "");
}

TEST(MonitorLog, RowCountAgreesWithTheShownControl) {
  MonitorPage m;
  for (int i = 0; i < 40; ++i) m.log->log_line(i % 4 ? "short" : long_line());
  m.log->log_append(long_line());
  const int counted_hidden = m.log->displayed_rows();

  // Once shown, Qt lays the text out itself; the count must match its rows.
  // Qt lays out only what it paints, so each block is asked for its extent.
  m.page.show();
  testing::spin(50);
  int laid_out = 0;
  QAbstractTextDocumentLayout* layout = m.memo->document()->documentLayout();
  for (QTextBlock b = m.memo->document()->firstBlock(); b.isValid(); b = b.next()) {
    layout->blockBoundingRect(b);
    laid_out += b.layout()->lineCount();
  }
  EXPECT_EQ(m.log->displayed_rows(), laid_out);
  EXPECT_EQ(counted_hidden, laid_out);
}

// The view follows new lines only while it stands at the bottom with nothing
// selected; otherwise what the operator looks at and has selected stays put.
TEST(MonitorLog, ViewFollowsOnlyFromTheBottomAndKeepsASelection) {
  struct Case {
    const char* name;
    std::function<void(QPlainTextEdit*)> operator_does;
    bool follows;
  };
  const Case cases[] = {
      {"left at the bottom", [](QPlainTextEdit*) {}, true},
      {"scrolled up", [](QPlainTextEdit* memo) { memo->verticalScrollBar()->setValue(5); }, false},
      {"selected a line at the bottom",
       [](QPlainTextEdit* memo) {
         QTextCursor c(memo->document()->findBlockByNumber(57));
         c.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
         memo->setTextCursor(c);
         memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->maximum());
       },
       false},
      {"scrolled up and back down",
       [](QPlainTextEdit* memo) {
         memo->verticalScrollBar()->setValue(5);
         memo->verticalScrollBar()->setValue(memo->verticalScrollBar()->maximum());
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MonitorPage m;
    m.page.show();
    for (int i = 0; i < 60; ++i) m.log->log_line("line " + std::to_string(i));
    QScrollBar* bar = m.memo->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 20);
    ASSERT_EQ(bar->value(), bar->maximum());
    c.operator_does(m.memo);
    const int value = bar->value();
    const int max_before = bar->maximum();
    const QString selected = m.memo->textCursor().selectedText();

    for (int i = 0; i < 10; ++i) m.log->log_line("new " + std::to_string(i));
    m.log->log_append(" and more");
    testing::spin(20);

    EXPECT_GT(bar->maximum(), max_before);
    if (c.follows) {
      EXPECT_EQ(bar->value(), bar->maximum());
      EXPECT_EQ(m.memo->textCursor().position(), m.memo->document()->characterCount() - 1);
    } else {
      EXPECT_EQ(bar->value(), value);
      EXPECT_EQ(m.memo->textCursor().selectedText(), selected);
    }
    // The row limit applies whatever the view.
    for (int i = 0; i < 140; ++i) m.log->log_line("more");
    m.log->log_limit();
    EXPECT_EQ(m.text(), "");
  }
}

}  // namespace
}  // namespace netbuf
