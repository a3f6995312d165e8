#include "window/form_views.h"

#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSlider>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <stdexcept>
#include <string>

#include "host/captions.h"

namespace netbuf {

namespace {

// Which control shows what.
namespace controls {
constexpr const char* kEventCounter = "Label13";
constexpr const char* kEventReadPointer = "Label14";
constexpr const char* kClient = "Label21";
constexpr const char* kMac = "Label5";
constexpr const char* kCardCount = "Label6";
constexpr const char* kReaderCount = "Label4";
constexpr const char* kComPort = "Label8";
constexpr const char* kCardStoreProgress = "Gauge1";
constexpr const char* kReaderTable = "ReaderTable";
constexpr const char* kPollDelay = "TrackBar1";
constexpr const char* kPollDelayFigure = "Label17";
constexpr const char* kPcPort = "Edit2";
constexpr const char* kServicePort = "Edit3";
constexpr int kUnknownCardFirstBox = 1;  // CheckBox1 .. CheckBox16
constexpr int kWrongZoneFirstBox = 17;   // CheckBox17 .. CheckBox32
}  // namespace controls

template <class W>
W* child(QWidget& form, const std::string& name) {
  W* w = form.findChild<W*>(QString::fromStdString(name));
  if (w == nullptr) throw std::logic_error("Form1 has no " + name);
  return w;
}

// Where the progress and the reader table stand among the pending changes.
constexpr int kProgressChange = StatusFigures::kFigureCount;
constexpr int kReaderTableChange = StatusFigures::kFigureCount + 1;

// Texts set on a label make it measure them in its font, so changes are
// gathered and put on the window at most this often.
constexpr int kApplyDelayMs = 100;

// Calls back when the watched widget is shown.
class OnShow : public QObject {
 public:
  explicit OnShow(std::function<void()> shown) : shown_(std::move(shown)) {}
  bool eventFilter(QObject*, QEvent* e) override {
    if (e->type() == QEvent::Show) shown_();
    return false;
  }

 private:
  std::function<void()> shown_;
};

}  // namespace

FormViews::FormViews(QWidget& form)
    : form_(form),
      labels_{child<QLabel>(form, controls::kEventCounter),
              child<QLabel>(form, controls::kEventReadPointer),
              child<QLabel>(form, controls::kClient),
              child<QLabel>(form, controls::kMac),
              child<QLabel>(form, controls::kCardCount),
              child<QLabel>(form, controls::kReaderCount),
              child<QLabel>(form, controls::kComPort)},
      card_store_progress_(child<QProgressBar>(form, controls::kCardStoreProgress)),
      reader_table_view_(child<QTableWidget>(form, controls::kReaderTable)),
      poll_delay_(child<QSlider>(form, controls::kPollDelay)),
      poll_delay_figure_(child<QLabel>(form, controls::kPollDelayFigure)),
      pc_port_(child<QLineEdit>(form, controls::kPcPort)),
      service_port_(child<QLineEdit>(form, controls::kServicePort)),
      apply_timer_(std::make_unique<QTimer>()),
      on_show_(std::make_unique<OnShow>([this] { apply_changes(); })) {
  apply_timer_->setSingleShot(true);
  apply_timer_->setInterval(kApplyDelayMs);
  QObject::connect(apply_timer_.get(), &QTimer::timeout, [this] { apply_changes(); });
  form.installEventFilter(on_show_.get());
  for (int j = 0; j < 16; ++j) {
    unknown_card_[j] =
        child<QCheckBox>(form, "CheckBox" + std::to_string(controls::kUnknownCardFirstBox + j));
    wrong_zone_[j] =
        child<QCheckBox>(form, "CheckBox" + std::to_string(controls::kWrongZoneFirstBox + j));
  }
}

FormViews::~FormViews() = default;

void FormViews::show(QLabel* label, const QString& text) {
  label->setText(text);
  label->adjustSize();  // labels size themselves to their text
}

void FormViews::show_figure(StatusFigure f, const std::string& text) {
  figures_[f] = QString::fromStdString(text);
  changed(f);
}

void FormViews::show_card_store_progress(int percent) {
  card_store_percent_ = percent;
  changed(kProgressChange);
}

void FormViews::show_reader_table(const std::vector<control::ReaderTableRow>& rows) {
  reader_table_ = rows;
  changed(kReaderTableChange);
}

void FormViews::changed(int figure) {
  pending_[static_cast<std::size_t>(figure)] = true;
  if (form_.isVisible() && !apply_timer_->isActive()) apply_timer_->start();
}

void FormViews::apply_changes() {
  for (int f = 0; f < StatusFigures::kFigureCount; ++f) {
    if (!pending_[f]) continue;
    pending_[f] = false;
    show(labels_[f], figures_[f]);
    ++applied_;
  }
  if (pending_[kProgressChange]) {
    pending_[kProgressChange] = false;
    card_store_progress_->setValue(card_store_percent_);
    ++applied_;
  }
  if (pending_[kReaderTableChange]) {
    pending_[kReaderTableChange] = false;
    put_reader_table();
    ++applied_;
  }
}

void FormViews::put_reader_table() {
  QTableWidget& t = *reader_table_view_;
  t.setRowCount(static_cast<int>(reader_table_.size()));
  const auto put = [&t](int row, int column, const QString& text) {
    QTableWidgetItem* item = t.item(row, column);
    if (item == nullptr) {
      item = new QTableWidgetItem;
      item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      t.setItem(row, column, item);
    }
    if (item->text() != text) item->setText(text);
  };
  for (int i = 0; i < static_cast<int>(reader_table_.size()); ++i) {
    const control::ReaderTableRow& r = reader_table_[static_cast<std::size_t>(i)];
    put(i, 0, QString::number(r.address));
    put(i, 1, QString::fromUtf8(r.answering ? captions::kReaderAnswering : captions::kReaderSilent));
    put(i, 2, QString::number(r.answers));
    put(i, 3, QString::number(r.crc_errors));
    put(i, 4, QString::number(r.timeouts));
    put(i, 5, r.answers == 0 ? QStringLiteral("-")
                             : QString::number(r.answer_time_tenths_ms / 10.0, 'f', 1));
  }
}

int FormViews::poll_delay() const {
  return poll_delay_->value();
}

void FormViews::show_poll_delay(int ms) {
  poll_delay_->setValue(ms);
}

void FormViews::echo_poll_delay() {
  show(poll_delay_figure_, QString::number(poll_delay_->value()));
}

void FormViews::show_form(const control::FormValues& form) {
  show_poll_delay(form.poll_delay);
  pc_port_->setText(QString::fromStdString(form.pc_port));
  service_port_->setText(QString::fromStdString(form.service_port));
  tick_buzzer_patterns({form.unknown_card, form.wrong_zone});
}

PortTexts FormViews::port_texts() const {
  return {pc_port_->text().toStdString(), service_port_->text().toStdString()};
}

void FormViews::show_pc_port(int port) {
  pc_port_->setText(QString::number(port));
}

void FormViews::show_service_port(int port) {
  service_port_->setText(QString::number(port));
}

int32_t FormViews::word_of(QCheckBox* const (&boxes)[16]) {
  int32_t w = 0;
  for (int j = 0; j < 16; ++j)
    if (boxes[j]->isChecked()) w |= 1 << (15 - j);
  return w;
}

void FormViews::tick(QCheckBox* const (&boxes)[16], int32_t word) {
  for (int j = 0; j < 16; ++j)
    if (word & (1 << (15 - j))) boxes[j]->setChecked(true);
}

BuzzerPatterns FormViews::buzzer_patterns() const {
  return {word_of(unknown_card_), word_of(wrong_zone_)};
}

void FormViews::tick_buzzer_patterns(const BuzzerPatterns& p) {
  tick(unknown_card_, p.unknown_card);
  tick(wrong_zone_, p.wrong_zone);
}

}  // namespace netbuf
