// netbuf's host and a real window attached to it over a socket pair, both in
// the test's process: what the window does reaches the host as requests, and
// what the host shows reaches the window as notices, as between the two
// programs.
#pragma once

#include <sys/socket.h>

#include <QString>
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

}  // namespace netbuf::testing
