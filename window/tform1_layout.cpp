// Form1's layout: every control's name, place, size and caption, and which
// handler each one calls. The behaviour is in tform1.cpp.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSlider>
#include <QTabWidget>
#include <QTableWidget>
#include <QHeaderView>
#include <QToolButton>
#include <iterator>
#include <string>

#include "host/captions.h"
#include "window/port_picker.h"
#include "window/tform1.h"

namespace netbuf {

namespace {

namespace cap = captions;

QString ui_text(const char* s) {
  return QString::fromUtf8(s);
}

// Control heights the layout was drawn with, where it gives none.
constexpr int kEditHeight = 21;
constexpr int kButtonHeight = 25;
constexpr int kPatternBox = 17;

template <class W>
W* place(W* w, const char* name, int x, int y, int width = -1, int height = -1) {
  w->setObjectName(QString::fromLatin1(name));
  const QSize hint = w->sizeHint();
  w->setGeometry(x, y, width < 0 ? hint.width() : width, height < 0 ? hint.height() : height);
  return w;
}

}  // namespace

void TForm1::build_layout() {
  setObjectName(QStringLiteral("Form1"));
  setGeometry(226, 126, 586, 549);
  // The layout was drawn for MS Sans Serif; where it is missing, a narrow
  // sans keeps the captions within their places.
  QFont::insertSubstitutions(
      QStringLiteral("MS Sans Serif"),
      {QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Liberation Sans"),
       QStringLiteral("Arial"), QStringLiteral("DejaVu Sans Condensed")});
  setFont(QFont(QStringLiteral("MS Sans Serif"), 8));
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(58, 58, 58));
  setPalette(pal);
  setAutoFillBackground(true);

  pager_ = place(new QTabWidget(this), "AdvOfficePager1", 0, 0, 585, 505);
  // The pages keep the ordinary light look; only the form itself is dark.
  pager_->setPalette(QApplication::palette(pager_));
  auto* status = new QWidget;
  auto* settings = new QWidget;
  auto* monitor = new QWidget;
  status->setObjectName(QStringLiteral("AdvOfficePage1"));
  settings->setObjectName(QStringLiteral("AdvOfficePage2"));
  monitor->setObjectName(QStringLiteral("AdvOfficePage3"));
  pager_->addTab(status, ui_text(cap::kPageStatus));
  pager_->addTab(settings, ui_text(cap::kPageSettings));
  pager_->addTab(monitor, ui_text(cap::kPageMonitor));
  build_status_page(status);
  build_settings_page(settings);
  build_monitor_page(monitor);
  pager_->setCurrentWidget(monitor);

  auto* quit_box = place(new QCheckBox(ui_text(cap::kCheckBox33), this), "CheckBox33", 8, 520);
  QPalette light = quit_box->palette();
  light.setColor(QPalette::WindowText, Qt::white);
  quit_box->setPalette(light);
  quit_box_ = quit_box;
  connect(quit_box, &QCheckBox::clicked, this, &TForm1::CheckBox33Click);
  auto* hide_button =
      place(new QPushButton(ui_text(cap::kButton4), this), "Button4", 256, 512, 75, 33);
  connect(hide_button, &QPushButton::clicked, this, &TForm1::Button4Click);
}

QLabel* TForm1::add_label(QWidget* page, int no, const char* text, int x, int y, bool bold) {
  auto* l = new QLabel(ui_text(text), page);
  l->setTextFormat(Qt::PlainText);  // captions may show a peer's text
  const std::string name = "Label" + std::to_string(no);
  if (bold) {
    QFont f = l->font();
    f.setBold(true);
    l->setFont(f);
  }
  place(l, name.c_str(), x, y);
  return l;
}

void TForm1::build_status_page(QWidget* page) {
  struct Row {
    int y, caption_no;
    const char* caption;
    int value_no;
    const char* value;
  };
  static constexpr Row rows[] = {
      {48, 1, cap::kLabel1, 5, cap::kLabel5},      {72, 2, cap::kLabel2, 6, cap::kLabel6},
      {96, 3, cap::kLabel3, 4, cap::kLabel4},      {120, 7, cap::kLabel7, 8, cap::kLabel8},
      {144, 12, cap::kLabel12, 13, cap::kLabel13}, {168, 15, cap::kLabel15, 14, cap::kLabel14},
      {192, 22, cap::kLabel22, 21, cap::kLabel21},
  };
  for (const Row& r : rows) {
    add_label(page, r.caption_no, r.caption, 24, r.y, true);
    add_label(page, r.value_no, r.value, 200, r.y, true);
  }
  auto* table = place(new QTableWidget(0, std::size(cap::kReaderTableColumns), page),
                      "ReaderTable", 24, 224, 530, 212);
  QStringList columns;
  for (const char* c : cap::kReaderTableColumns) columns << ui_text(c);
  table->setHorizontalHeaderLabels(columns);
  table->verticalHeader()->setVisible(false);
  table->verticalHeader()->setDefaultSectionSize(22);
  table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionMode(QAbstractItemView::NoSelection);
  table->setFocusPolicy(Qt::NoFocus);
  add_label(page, 24, cap::kLabel24, 24, 448, false);
}

void TForm1::build_settings_page(QWidget* page) {
  add_label(page, 9, cap::kLabel9, 40, 80, false);
  port_box_ = place(new PortPicker(page), "nrDeviceBox1", 192, 72, 145, kEditHeight);
  port_box_->select(1);
  connect(port_box_, &PortPicker::about_to_drop_down, this, [this] { host_.list_ports(); });
  connect(port_box_, &QComboBox::activated, this, &TForm1::nrDeviceBox1Change);

  add_label(page, 16, cap::kLabel16, 40, 112, false);
  place(new QLineEdit(ui_text(cap::kEdit2), page), "Edit2", 192, 104, 145, kEditHeight);
  add_label(page, 18, cap::kLabel18, 40, 144, false);
  place(new QLineEdit(ui_text(cap::kEdit3), page), "Edit3", 192, 136, 145, kEditHeight);

  add_label(page, 11, cap::kLabel11, 40, 176, false);
  auto* trackbar = place(new QSlider(Qt::Horizontal, page), "TrackBar1", 184, 168, 161, 33);
  trackbar->setRange(control::kPollDelayMin, control::kPollDelayMax);
  trackbar->setValue(control::kPollDelayStart);
  trackbar->setTickPosition(QSlider::TicksBelow);
  trackbar->setTickInterval(20);
  connect(trackbar, &QSlider::valueChanged, this, &TForm1::TrackBar1Change);
  add_label(page, 17, "", 344, 184, false);

  add_label(page, 19, cap::kLabel19, 40, 264, false);
  add_label(page, 20, cap::kLabel20, 40, 296, false);
  for (int n = 1; n <= 32; ++n) {
    const bool first_row = n <= 16;
    const int x = 200 + 16 * (first_row ? n - 1 : n - 17);
    const std::string name = "CheckBox" + std::to_string(n);
    place(new QCheckBox(page), name.c_str(), x, first_row ? 264 : 296, kPatternBox, kPatternBox);
  }

  auto* save = place(new QPushButton(ui_text(cap::kButton7), page), "Button7", 256, 400, 75, 33);
  connect(save, &QPushButton::clicked, this, &TForm1::Button7Click);

  memo2_ = place(new QPlainTextEdit(ui_text(cap::kMemo2), page), "Memo2", 360, 344, 185, 89);
  memo2_->hide();
  auto* diag =
      place(new QPushButton(ui_text(cap::kButton3), page), "Button3", 456, 440, 75, kButtonHeight);
  diag->hide();
  connect(diag, &QPushButton::clicked, this, &TForm1::Button3Click);
}

void TForm1::build_monitor_page(QWidget* page) {
  memo1_ = place(new QPlainTextEdit(page), "Memo1", 14, 16, 563, 321);

  auto* start = place(new QToolButton(page), "SpeedButton1", 16, 352, 41, 22);
  start->setText(ui_text(cap::kSpeedButton1));
  connect(start, &QToolButton::clicked, this, &TForm1::SpeedButton1Click);
  auto* stop = place(new QToolButton(page), "SpeedButton2", 64, 352, 41, 22);
  stop->setText(ui_text(cap::kSpeedButton2));
  connect(stop, &QToolButton::clicked, this, &TForm1::SpeedButton2Click);

  auto* gauge = place(new QProgressBar(page), "Gauge1", 120, 352, 345, 17);
  gauge->setRange(0, 100);
  gauge->setValue(0);
  add_label(page, 10, cap::kLabel10, 208, 368, false);

  auto* clr = place(new QPushButton(ui_text(cap::kButton5), page), "Button5", 488, 344, 75, 25);
  connect(clr, &QPushButton::clicked, this, &TForm1::Button5Click);
  auto* add_event =
      place(new QPushButton(ui_text(cap::kButton2), page), "Button2", 488, 392, 75, 28);
  add_event->hide();
  connect(add_event, &QPushButton::clicked, this, &TForm1::Button2Click);

  monitor_rs_ = place(new QCheckBox(ui_text(cap::kMonitorRs), page), "monitor_rs", 16, 392);
  monitor_tcp_ = place(new QCheckBox(ui_text(cap::kMonitorTcp), page), "monitor_TCP", 16, 416);
  monitor_zd_ = place(new QCheckBox(ui_text(cap::kMonitorZd), page), "monitor_zd", 16, 440);
  monitor_tr_ = place(new QCheckBox(ui_text(cap::kMonitorTr), page), "monitor_tr", 200, 392);
  for (QCheckBox* box : {monitor_rs_, monitor_tcp_, monitor_zd_, monitor_tr_})
    connect(box, &QCheckBox::toggled, this, &TForm1::MonitorClick);
}

}  // namespace netbuf
