#include "ui/form_views.h"

#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSlider>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>

#include "ui/captions.h"

namespace netbuf {

namespace {

// Which control shows what.
namespace control {
constexpr const char* kEventCounter = "Label13";
constexpr const char* kEventReadPointer = "Label14";
constexpr const char* kClient = "Label21";
constexpr const char* kMac = "Label5";
constexpr const char* kCardCount = "Label6";
constexpr const char* kReaderCount = "Label4";
constexpr const char* kComPort = "Label8";
constexpr const char* kCardStoreProgress = "Gauge1";
constexpr const char* kPollDelay = "TrackBar1";
constexpr const char* kPollDelayFigure = "Label17";
constexpr const char* kPcPort = "Edit2";
constexpr const char* kServicePort = "Edit3";
constexpr int kUnknownCardFirstBox = 1;  // CheckBox1 .. CheckBox16
constexpr int kWrongZoneFirstBox = 17;   // CheckBox17 .. CheckBox32
constexpr const char* kPollTimer = "Timer2";
constexpr const char* kSupervisionTimer = "Timer3";
}  // namespace control

template <class W>
W* child(QWidget& form, const std::string& name) {
  W* w = form.findChild<W*>(QString::fromStdString(name));
  if (w == nullptr) throw std::logic_error("Form1 has no " + name);
  return w;
}

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
      event_counter_(shown(form, control::kEventCounter)),
      event_read_pointer_(shown(form, control::kEventReadPointer)),
      client_(shown(form, control::kClient)),
      mac_(shown(form, control::kMac)),
      card_count_(shown(form, control::kCardCount)),
      reader_count_(shown(form, control::kReaderCount)),
      com_port_(shown(form, control::kComPort)),
      card_store_progress_(child<QProgressBar>(form, control::kCardStoreProgress)),
      card_store_percent_(card_store_progress_->value()),
      poll_delay_(child<QSlider>(form, control::kPollDelay)),
      poll_delay_figure_(child<QLabel>(form, control::kPollDelayFigure)),
      pc_port_(child<QLineEdit>(form, control::kPcPort)),
      service_port_(child<QLineEdit>(form, control::kServicePort)),
      poll_timer_(child<QTimer>(form, control::kPollTimer)),
      supervision_timer_(child<QTimer>(form, control::kSupervisionTimer)),
      apply_timer_(std::make_unique<QTimer>()),
      on_show_(std::make_unique<OnShow>([this] { apply_changes(); })) {
  apply_timer_->setSingleShot(true);
  apply_timer_->setInterval(kApplyDelayMs);
  QObject::connect(apply_timer_.get(), &QTimer::timeout, [this] { apply_changes(); });
  form.installEventFilter(on_show_.get());
  for (int j = 0; j < 16; ++j) {
    unknown_card_[j] =
        child<QCheckBox>(form, "CheckBox" + std::to_string(control::kUnknownCardFirstBox + j));
    wrong_zone_[j] =
        child<QCheckBox>(form, "CheckBox" + std::to_string(control::kWrongZoneFirstBox + j));
  }
}

FormViews::~FormViews() = default;

FormViews::Shown FormViews::shown(QWidget& form, const char* name) {
  QLabel* label = child<QLabel>(form, name);
  return {label, label->text()};
}

void FormViews::show(QLabel* label, const QString& text) {
  label->setText(text);
  label->adjustSize();  // labels size themselves to their text
}

void FormViews::keep(Shown& s, QString text) {
  if (text == s.text) return;
  s.text = std::move(text);
  s.pending = true;
  schedule();
}

void FormViews::schedule() {
  if (form_.isVisible() && !apply_timer_->isActive()) apply_timer_->start();
}

void FormViews::apply_changes() {
  for (Shown* s : {&event_counter_, &event_read_pointer_, &client_, &mac_, &card_count_,
                   &reader_count_, &com_port_}) {
    if (!s->pending) continue;
    s->pending = false;
    show(s->label, s->text);
    ++applied_;
  }
  if (card_store_pending_) {
    card_store_pending_ = false;
    card_store_progress_->setValue(card_store_percent_);
    ++applied_;
  }
}

void FormViews::show_event_counters(int32_t counter, int32_t read_pointer) {
  keep(event_counter_, QString::number(counter));
  keep(event_read_pointer_, QString::number(read_pointer));
}

void FormViews::show_client(const std::string& text) {
  keep(client_, QString::fromStdString(text));
}

void FormViews::show_device(const std::string& mac, int32_t card_count) {
  keep(mac_, QString::fromStdString(mac));
  keep(card_count_, QString::number(card_count));
}

void FormViews::show_readers(int reader_count, int com_port) {
  keep(reader_count_, QString::number(reader_count));
  keep(com_port_, QString::fromUtf8(captions::kComPortPrefix) + QString::number(com_port));
}

void FormViews::show_card_store_progress(int percent) {
  percent = std::clamp(percent, 0, 100);
  if (percent == card_store_percent_) return;
  card_store_percent_ = percent;
  card_store_pending_ = true;
  schedule();
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

// A timer switched on while running, or given the interval it already has,
// keeps its phase.
void FormViews::set_poll_timer(bool enabled) {
  if (enabled && !poll_timer_->isActive()) poll_timer_->start();
  if (!enabled) poll_timer_->stop();
}

bool FormViews::poll_timer() const {
  return poll_timer_->isActive();
}

void FormViews::set_poll_interval(int ms) {
  if (ms != poll_timer_->interval()) poll_timer_->setInterval(ms);
}

int FormViews::poll_interval() const {
  return poll_timer_->interval();
}

void FormViews::set_supervision_timer(bool enabled) {
  if (enabled && !supervision_timer_->isActive()) supervision_timer_->start();
  if (!enabled) supervision_timer_->stop();
}

bool FormViews::supervision_timer() const {
  return supervision_timer_->isActive();
}

}  // namespace netbuf
