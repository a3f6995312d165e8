#include "core/prometheus_text.h"

#include <charconv>
#include <cstdint>
#include <initializer_list>
#include <utility>

namespace netbuf {

namespace {

constexpr std::array<const char*, kFrameKinds> kKindNames{"poll", "relay", "buzzer",
                                                          "pass_through"};
constexpr std::array<const char*, kEventOutcomes> kOutcomeNames{
    "granted", "unknown_card", "outside_time_zone", "outside_geo_zone"};
constexpr std::array<const char*, kRemoteResults> kRemoteNames{
    "opened", "no_reader", "already_pending", "malformed", "over_rate"};
constexpr std::array<const char*, kFigurePorts> kPortNames{"pc", "remote", "metrics"};
constexpr std::array<const char*, kRefusals> kRefusalNames{"not_allowed", "connect_rate", "full",
                                                           "places_per_address"};

void append_number(std::string& out, uint64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Shortest text that reads back as the same double.
void append_number(std::string& out, double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Writes samples of one family; labels shared by all of them (the instance)
// come first.
class Writer {
 public:
  Writer(std::string& out, const std::string& instance) : out_(out), instance_(instance) {}

  void family(const char* name, const char* type, const char* help) {
    name_ = name;
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;  // fixed texts without backslash or line feed
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }

  // name_suffix + {instance, labels...} + value. labels: "k1", v1, "k2", v2.
  template <class V>
  void sample(const char* suffix,
              std::initializer_list<std::pair<const char*, std::string_view>> labels, V value) {
    out_ += name_;
    out_ += suffix;
    bool first = true;
    const auto label = [&](const char* k, std::string_view v) {
      out_ += first ? '{' : ',';
      first = false;
      out_ += k;
      out_ += "=\"";
      append_label_value(out_, v);
      out_ += '"';
    };
    if (!instance_.empty()) label("instance", instance_);
    for (const auto& [k, v] : labels) label(k, v);
    if (!first) out_ += '}';
    out_ += ' ';
    append_number(out_, value);
    out_ += '\n';
  }

  template <class V>
  void sample(std::initializer_list<std::pair<const char*, std::string_view>> labels, V value) {
    sample("", labels, value);
  }

  template <std::size_t N>
  void histogram(std::string_view reader, const Histogram<N>& h,
                 const std::array<int64_t, N>& bounds) {
    uint64_t cumulative = 0;
    std::string le;
    for (std::size_t b = 0; b <= N; ++b) {
      cumulative += h.counts[b];
      le.clear();
      if (b < N)
        append_number(le, static_cast<double>(bounds[b]) / 1000.0);
      else
        le = "+Inf";
      if (reader.empty())
        sample("_bucket", {{"le", le}}, cumulative);
      else
        sample("_bucket", {{"reader", reader}, {"le", le}}, cumulative);
    }
    if (reader.empty()) {
      sample("_sum", {}, static_cast<double>(h.sum_ms) / 1000.0);
      sample("_count", {}, h.count);
    } else {
      sample("_sum", {{"reader", reader}}, static_cast<double>(h.sum_ms) / 1000.0);
      sample("_count", {{"reader", reader}}, h.count);
    }
  }

 private:
  std::string& out_;
  const std::string& instance_;
  const char* name_ = "";
};

}  // namespace

void append_label_value(std::string& out, std::string_view value) {
  for (const char c : value) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        out += c;
    }
  }
}

std::string prometheus_text(const FiguresSnapshot& s) {
  std::string out;
  out.reserve(2048 + s.readers.size() * 2600);
  Writer w(out, s.instance);
  std::vector<std::string> names;
  names.reserve(s.readers.size());
  for (const ReaderRow& r : s.readers) names.push_back(std::to_string(r.address));

  // Per reader.
  w.family("netbuf_reader_frames_sent_total", "counter", "Frames written to the reader, by kind.");
  for (std::size_t i = 0; i < s.readers.size(); ++i)
    for (int k = 0; k < kFrameKinds; ++k)
      w.sample({{"reader", names[i]}, {"kind", kKindNames[static_cast<std::size_t>(k)]}},
               s.readers[i].sent[static_cast<std::size_t>(k)]);
  const auto per_reader = [&](const char* name, const char* type, const char* help, auto field) {
    w.family(name, type, help);
    for (std::size_t i = 0; i < s.readers.size(); ++i)
      w.sample({{"reader", names[i]}}, field(s.readers[i]));
  };
  per_reader("netbuf_reader_answers_total", "counter",
             "Answers of the reader with a good CRC, exception answers included.",
             [](const ReaderRow& r) { return r.answers; });
  per_reader("netbuf_reader_exception_answers_total", "counter",
             "Modbus exception answers of the reader.",
             [](const ReaderRow& r) { return r.exceptions; });
  per_reader("netbuf_reader_crc_errors_total", "counter",
             "Answers from the reader's address that failed their CRC.",
             [](const ReaderRow& r) { return r.crc_errors; });
  per_reader("netbuf_reader_timeouts_total", "counter",
             "Frames to the reader whose answer had not come when the line moved on.",
             [](const ReaderRow& r) { return r.timeouts; });
  per_reader("netbuf_reader_stray_bytes_total", "counter",
             "Bytes belonging to no answer, heard while the reader's answer was awaited.",
             [](const ReaderRow& r) { return r.stray_bytes; });
  per_reader("netbuf_reader_answering", "gauge",
             "1 while the reader answers, 0 once it let 10 polls in a row go unanswered.",
             [](const ReaderRow& r) { return static_cast<uint64_t>(r.answering); });
  w.family("netbuf_reader_last_answer_age_seconds", "gauge",
           "Seconds since the reader's last good answer; absent before its first.");
  for (std::size_t i = 0; i < s.readers.size(); ++i)
    if (s.readers[i].since_answer_s >= 0)
      w.sample({{"reader", names[i]}}, s.readers[i].since_answer_s);
  w.family("netbuf_reader_answer_time_seconds", "histogram",
           "From the write of a frame to the last byte of its answer.");
  for (std::size_t i = 0; i < s.readers.size(); ++i)
    w.histogram(names[i], s.readers[i].answer_time, kAnswerBucketsMs);

  // The line.
  const ProcessFigures& p = s.process;
  w.family("netbuf_line_sent_bytes_total", "counter", "Bytes written to the reader line.");
  w.sample({}, p.line_bytes_out);
  w.family("netbuf_line_received_bytes_total", "counter", "Bytes read from the reader line.");
  w.sample({}, p.line_bytes_in);
  w.family("netbuf_line_stray_bytes_total", "counter",
           "Bytes from the reader line that belonged to no answer.");
  w.sample({}, p.line_stray_bytes);
  w.family("netbuf_line_ticks_total", "counter", "Poll ticks.");
  w.sample({}, p.ticks);
  w.family("netbuf_line_busy_ticks_total", "counter",
           "Poll ticks that sent nothing because an answer still had the line.");
  w.sample({}, p.ticks_line_busy);

  // The process.
  w.family("netbuf_events_total", "counter", "Card decisions, by outcome.");
  for (int o = 0; o < kEventOutcomes; ++o)
    w.sample({{"outcome", kOutcomeNames[static_cast<std::size_t>(o)]}},
             p.events[static_cast<std::size_t>(o)]);
  w.family("netbuf_events_waiting", "gauge", "Events decided and not yet stored in net.db.");
  w.sample({}, static_cast<uint64_t>(s.events_waiting));
  w.family("netbuf_commits_total", "counter", "Commits to net.db, by result.");
  w.sample({{"result", "stored"}}, p.commits);
  w.sample({{"result", "refused"}}, p.commits_failed);
  w.family("netbuf_commit_duration_seconds", "histogram",
           "From handing a batch to the storage thread to its result.");
  w.histogram("", p.commit_time, kCommitBucketsMs);
  w.family("netbuf_pc_requests_total", "counter",
           "Requests of the management PC, by function, to the buffer or passed to a reader.");
  for (int t = 0; t < 2; ++t)
    for (std::size_t f = 0; f < kPcFunctionNames.size(); ++f)
      w.sample({{"function", kPcFunctionNames[f]}, {"to", t == 0 ? "buffer" : "reader"}},
               p.pc_requests[static_cast<std::size_t>(t)][f]);
  w.family("netbuf_remote_commands_total", "counter", "Remote-control commands, by result.");
  for (int r = 0; r < kRemoteResults; ++r)
    w.sample({{"result", kRemoteNames[static_cast<std::size_t>(r)]}},
             p.remote[static_cast<std::size_t>(r)]);
  w.family("netbuf_connections_refused_total", "counter",
           "Connections closed as they came, by port and reason.");
  for (int port = 0; port < kFigurePorts; ++port)
    for (int why = 0; why < kRefusals; ++why)
      w.sample({{"port", kPortNames[static_cast<std::size_t>(port)]},
                {"reason", kRefusalNames[static_cast<std::size_t>(why)]}},
               p.refused[static_cast<std::size_t>(port)][static_cast<std::size_t>(why)]);
  return out;
}

}  // namespace netbuf
