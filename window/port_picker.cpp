#include "window/port_picker.h"

namespace netbuf {

PortPicker::PortPicker(QWidget* parent) : QComboBox(parent) {}

void PortPicker::refresh(const std::vector<PortEntry>& ports, int n) {
  const QSignalBlocker quiet(this);
  clear();
  for (const auto& p : ports)
    addItem(QStringLiteral("COM%1 (%2)").arg(p.number).arg(QString::fromStdString(p.device)),
            p.number);
  select(n);
}

void PortPicker::select(int n) {
  const QSignalBlocker quiet(this);
  int i = findData(n);
  if (i < 0) {
    i = 0;
    while (i < count() && number_at(i) < n) ++i;
    insertItem(i, QStringLiteral("COM%1").arg(n), n);
  }
  setCurrentIndex(i);
}

int PortPicker::number_at(int index) const {
  return itemData(index).toInt();
}

void PortPicker::showPopup() {
  emit about_to_drop_down();
  QComboBox::showPopup();
}

}  // namespace netbuf
