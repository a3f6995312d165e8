// The line figures where a fault would not show on a healthy line: how an
// answer that comes late or broken is counted, an instance name that would
// break the text format, and requests that must not be served.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/buffer_state.h"
#include "core/figures_snapshot.h"
#include "core/metrics_request.h"
#include "core/prometheus_text.h"
#include "fakes.h"
#include "readerbus/reader_health.h"

namespace netbuf {
namespace {

TEST(LineFigures, LateBrokenAndStrayAnswersAreCountedOnce) {
  LineFigures f;
  f.frame_sent(1, FrameKind::Poll, 8, 1000);
  f.stray(2);                                 // noise while 1 is awaited
  f.frame_sent(2, FrameKind::Poll, 8, 1030);  // 1 never answered in time
  f.answer_taken(1, false, 1040);             // 1's answer, late: counted, no answer time
  f.awaited_answered(1, 1040);
  f.answer_taken(2, false, 1045);  // 2's, 15 ms after its frame
  f.awaited_answered(2, 1045);
  f.frame_sent(3, FrameKind::Relay, 11, 1060);
  f.crc_error(3);  // answered, broken: no time-out besides
  f.frame_sent(1, FrameKind::Poll, 8, 1090);

  EXPECT_EQ(f.reader(1).timeouts, 1u);
  EXPECT_EQ(f.reader(1).answers, 1u);
  EXPECT_EQ(f.reader(1).answer_time.count, 0u);
  EXPECT_EQ(f.reader(1).stray_bytes, 2u);
  EXPECT_EQ(f.reader(2).timeouts, 0u);
  EXPECT_EQ(f.reader(2).answer_time.count, 1u);
  EXPECT_EQ(f.reader(2).answer_time.counts[1], 1u);  // the 15 ms bucket
  EXPECT_EQ(f.reader(3).crc_errors, 1u);
  EXPECT_EQ(f.reader(3).timeouts, 0u);
  EXPECT_EQ(f.reader(3).sent[static_cast<int>(FrameKind::Relay)], 1u);
  EXPECT_EQ(f.process().line_bytes_out, 35u);
  EXPECT_EQ(f.process().line_stray_bytes, 2u);
  EXPECT_EQ(f.reader(3).recent.crc_errors, 1);
  EXPECT_EQ(f.reader(1).recent.timeouts, 1);
}

TEST(LineFigures, APoorLineIsOneWarningAndItsRecoveryOneLineAMinuteApart) {
  struct : Journal {
    std::vector<std::string> lines;
    void line(Severity s, const std::string& text) override {
      lines.push_back(std::to_string(static_cast<int>(s)) + " " + text);
    }
  } journal;
  auto w = std::make_unique<testing::FakeWorld>();
  w->st.upkeep.journal = &journal;
  w->st.reader_count = 2;
  w->st.readers[1].adr485 = 4;
  w->st.readers[2].adr485 = 9;  // never polled: nothing to say about it
  LineFigures& f = w->st.figures;
  const auto answers = [&](int n, int crc_every) {
    for (int i = 0; i < n; ++i) {
      f.frame_sent(4, FrameKind::Poll, 8, w->clock.mono);
      if (crc_every && i % crc_every == 0)
        f.crc_error(4);
      else
        f.awaited_answered(4, w->clock.mono + 14);
    }
  };
  answers(99, 10);
  report_line_shares(w->ctx);  // 99 answers are not yet a judgement
  EXPECT_TRUE(journal.lines.empty());
  answers(1, 0);
  report_line_shares(w->ctx);
  report_line_shares(w->ctx);
  answers(100, 0);
  w->clock.mono += 30000;
  report_line_shares(w->ctx);  // good again, but within the minute
  w->clock.mono += 31000;
  report_line_shares(w->ctx);
  EXPECT_EQ(
      journal.lines,
      (std::vector<std::string>{
          "4 reader 4 (entry 1) poor line: CRC errors 10, time-outs 0 of its last 100 answers",
          "6 reader 4 (entry 1) line good again: CRC errors 0, time-outs 0 of its last 100 "
          "answers"}));
}

TEST(PrometheusText, AnInstanceNameCannotBreakALine) {
  auto st = std::make_unique<BufferState>();
  st->reader_count = 1;
  st->readers[1].adr485 = 7;
  st->upkeep.instance = "hall \"B\"\\2\nnext";
  const std::string text = prometheus_text(take_figures(*st, 0));
  EXPECT_NE(text.find("netbuf_reader_answers_total{instance=\"hall \\\"B\\\"\\\\2\\nnext\","
                      "reader=\"7\"} 0\n"),
            std::string::npos)
      << text;
  // Every sample line carries the instance, and no raw line feed split one.
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    if (line[0] != '#') {
      EXPECT_NE(line.find("{instance=\"hall "), std::string::npos) << line;
    }
    start = end + 1;
  }
}

TEST(MetricsRequest, OnlyAPlainGetOfMetricsIsServed) {
  EXPECT_EQ(judge_metrics_request("GET /metr"), MetricsRequest::Incomplete);
  EXPECT_EQ(judge_metrics_request("GET /metrics HTTP/1.1\r\nHost: a\r\n"),
            MetricsRequest::Incomplete);
  EXPECT_EQ(judge_metrics_request("GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n"),
            MetricsRequest::Metrics);
  EXPECT_EQ(judge_metrics_request("GET /metrics?x=1 HTTP/1.0\n\n"), MetricsRequest::Metrics);
  EXPECT_EQ(judge_metrics_request("POST /metrics HTTP/1.1\r\n"), MetricsRequest::MethodNotAllowed);
  EXPECT_EQ(judge_metrics_request("GET /metricsx HTTP/1.1\r\n"), MetricsRequest::NotFound);
  EXPECT_EQ(judge_metrics_request("GET /metrics\r\n"), MetricsRequest::BadRequest);
  EXPECT_EQ(judge_metrics_request("\r\n"), MetricsRequest::BadRequest);
  // A head that never ends, with and without its request line.
  const std::string padding(kMaxRequestBytes, 'a');
  EXPECT_EQ(judge_metrics_request("GET /metrics HTTP/1.1\r\nX: " + padding),
            MetricsRequest::TooLong);
  EXPECT_EQ(judge_metrics_request(padding + "a"), MetricsRequest::TooLong);
  EXPECT_EQ(judge_metrics_request(padding), MetricsRequest::Incomplete);
}

}  // namespace
}  // namespace netbuf
