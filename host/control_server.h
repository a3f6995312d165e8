// The control socket windows attach to: a listening AF_UNIX socket (a
// service's /run/netbuf/control) and connections adopted from elsewhere (the
// window netbuf starts beside itself). Plain non-blocking descriptors with
// notifiers, like the TCP ports: a window costs the loop what it sends and
// nothing more.
//
// A window is bounded both ways: what it sends is cut into frames of at most
// control::kMaxRequestFrame, and a frame that is not a request closes it;
// what waits for it to read is at most kMaxQueued bytes, and a window that
// lets more pile up (stopped, hung) is closed, as a PC that stops reading is.
#pragma once

#include <sys/types.h>

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "control/request_stream.h"
#include "control/window_messages.h"
#include "core/report_limiter.h"

namespace netbuf {

class ControlServer : public QObject {
  Q_OBJECT

 public:
  static constexpr std::size_t kMaxQueued = 4 * 1024 * 1024;
  static constexpr std::size_t kMaxWindows = 16;
  // A window that connects says Hello at once; one that does not only holds
  // a place. (The window netbuf starts is its own: it is given time.)
  static constexpr int kHelloWithinMs = 5000;

  ControlServer();
  ~ControlServer() override;

  // Listens at path (a stale socket file there is replaced), mode 0660 and,
  // when it exists, group group_name. Returns the reason when it cannot.
  std::string listen(const QString& path, const char* group_name);
  QString path() const { return path_; }
  // Takes a connected descriptor whose peer is known (a socketpair's end).
  void adopt(int fd);

  // Lines for the journal: refused peers, closed windows.
  void set_reporter(std::function<void(const std::string&)> say) { say_ = std::move(say); }

  // Queues a whole frame for one window; a window over its bound is closed.
  void send(int window, const std::string& frame);
  // Whether the peer uid with primary gid and supplementary groups may
  // attach: root, netbuf's own user, or a member of the operators' group.
  static bool peer_allowed(uid_t uid, gid_t gid, const gid_t* groups, std::size_t n, uid_t own_uid,
                           std::optional<gid_t> operators);

 signals:
  // A window said Hello in this version.
  void attached(int window);
  // A request after Hello.
  void request(int window, const netbuf::control::RequestMessage& message);
  // The window has gone, whichever way (only for windows that attached).
  void detached(int window);

 private:
  struct Window {
    int fd;
    std::unique_ptr<QSocketNotifier> read;
    std::unique_ptr<QSocketNotifier> write;
    control::RequestStream in;
    std::string out;
    std::size_t out_at = 0;
    bool hello = false;  // attached() was said
  };

  void accept_windows();
  int add(int fd);
  void on_readable(int window);
  void on_writable(int window);
  void flush(int window);
  void close_window(int window, const std::string& why);
  void say(ReportLimiter& limiter, const std::string& line);
  bool credentials_allowed(int fd, std::string& who);

  int listen_fd_ = -1;
  QString path_;
  std::optional<gid_t> operators_;
  std::unique_ptr<QSocketNotifier> listening_;
  std::map<int, Window> windows_;
  int next_id_ = 1;
  std::function<void(const std::string&)> say_;
  // Strangers knocking, and windows closed for what they did: a flood of
  // either is a few lines and a count.
  ReportLimiter refusals_{10000, 3};
  ReportLimiter closings_{10000, 3};
  // What was held comes out with its count once its interval is over, even
  // when nothing else is said.
  QTimer flush_;
};

}  // namespace netbuf
