// The serial port picker nrDeviceBox1: every COMn that resolves to a device,
// shown as "COMn (device)". The list is read again whenever it drops down, so
// an adapter plugged in later shows up.
#pragma once

#include <QComboBox>
#include <vector>

#include "window/window_face.h"

namespace netbuf {

class PortPicker : public QComboBox {
  Q_OBJECT

 public:
  explicit PortPicker(QWidget* parent = nullptr);

  // Lists the ports and selects n (listed by name alone when it has no
  // device, so the current choice is always visible).
  void refresh(const std::vector<PortEntry>& ports, int n);
  void select(int n);
  int number_at(int index) const;

  void showPopup() override;

 signals:
  void about_to_drop_down();
};

}  // namespace netbuf
