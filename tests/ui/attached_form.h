// netbuf's host and a real window attached to it over a socket pair, both in
// the test's process: what the window does reaches the host as requests, and
// what the host shows reaches the window as notices, as between the two
// programs.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <QString>
#include <QTemporaryDir>
#include <memory>

#include "host/control_host.h"
#include "tests/ui/ui_test_support.h"
#include "window/netbuf_link.h"
#include "window/tform1.h"

namespace netbuf::testing {

struct AttachedForm {
  explicit AttachedForm(const QString& dir) : host(dir), link(false), form(link) {}

  // Connects the window; true once netbuf's Hello has come.
  bool attach() {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    host.control().adopt(pair[0]);
    bool answered = false;
    QObject guard;
    QObject::connect(&link, &NetbufLink::answered, &guard, [&answered] { answered = true; });
    if (!link.use_descriptor(pair[1])) return false;
    return wait_until([&] { return answered; });
  }

  ControlHost host;
  NetbufLink link;
  TForm1 form;
};

// A test with the window attached from its start, netbuf's directory a
// temporary one.
class AttachedFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    a_ = std::make_unique<AttachedForm>(dir_.path());
    host_ = &a_->host;
    form_ = &a_->form;
    ASSERT_TRUE(a_->attach());
  }

  QTemporaryDir dir_;
  std::unique_ptr<AttachedForm> a_;
  ControlHost* host_ = nullptr;
  TForm1* form_ = nullptr;
};

}  // namespace netbuf::testing
