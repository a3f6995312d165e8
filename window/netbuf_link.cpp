#include "window/netbuf_link.h"

#include <QApplication>
#include <iostream>
#include <vector>

namespace netbuf {

namespace {

using control::Notice;
using control::Request;

}  // namespace

NetbufLink::NetbufLink(bool beside) : beside_(beside) {
  connect(&socket_, &QLocalSocket::connected, this, [this] { on_connected(); });
  connect(&socket_, &QLocalSocket::readyRead, this, [this] { on_readable(); });
  connect(&socket_, &QLocalSocket::disconnected, this, [this] {
    if (closing_) {
      emit lost({});
    } else if (!hello_) {
      // Closed before a word: netbuf did not let this user in.
      emit lost(
          QStringLiteral("netbuf refused this window (only root, netbuf's user and the "
                         "group netbuf-operator may attach)"));
    } else {
      emit lost(QStringLiteral("netbuf closed the connection"));
    }
  });
  connect(&socket_, &QLocalSocket::errorOccurred, this, [this](QLocalSocket::LocalSocketError e) {
    if (e == QLocalSocket::PeerClosedError) return;  // disconnected() says it
    emit lost(socket_.fullServerName() + QStringLiteral(": ") + socket_.errorString());
  });
}

NetbufLink::~NetbufLink() = default;

bool NetbufLink::use_descriptor(int fd) {
  if (!socket_.setSocketDescriptor(fd)) return false;
  on_connected();
  return true;
}

void NetbufLink::connect_to(const QString& path) {
  socket_.connectToServer(path);
}

void NetbufLink::on_connected() {
  socket_.write(QByteArray::fromStdString(control::hello_request()));
  if (categories_) send(control::categories_request(categories_));
}

void NetbufLink::send(const std::string& frame) {
  if (socket_.state() != QLocalSocket::ConnectedState) return;
  socket_.write(frame.data(), static_cast<qint64>(frame.size()));
}

// --- Requests ---------------------------------------------------------------------

void NetbufLink::save_settings() {
  const SettingsForm& f = face_->settings();
  const PortTexts ports = f.port_texts();
  const BuzzerPatterns p = f.buzzer_patterns();
  send(control::save_request({f.poll_delay(), ports.pc, ports.service,
                              static_cast<uint16_t>(p.unknown_card),
                              static_cast<uint16_t>(p.wrong_zone)}));
}

void NetbufLink::present_test_card() {
  send(control::plain_request(Request::kTestCard));
}

void NetbufLink::reset_receive() {
  send(control::plain_request(Request::kResetReceive));
}

void NetbufLink::set_poll(bool on) {
  send(control::poll_request(on));
}

void NetbufLink::choose_port(int n) {
  send(control::choose_port_request(n));
}

void NetbufLink::list_ports() {
  send(control::plain_request(Request::kListPorts));
}

void NetbufLink::set_categories(control::CategoryMask mask) {
  categories_ = mask;
  send(control::categories_request(mask));
}

void NetbufLink::box_closed() {
  send(control::plain_request(Request::kBoxClosed));
}

void NetbufLink::quit() {
  send(control::plain_request(Request::kQuit));
}

void NetbufLink::window_closed() {
  if (beside_) {
    quit();
  } else {
    // netbuf goes on; the request-free goodbye is the closed socket.
    closing_ = true;
    socket_.flush();
    socket_.disconnectFromServer();
    QApplication::quit();
  }
}

void NetbufLink::dispatch(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    std::cerr << "netbuf-window: " << e.what() << std::endl;
  }
}

// --- Notices ------------------------------------------------------------------------

void NetbufLink::on_readable() {
  const QByteArray bytes = socket_.readAll();
  in_.feed({reinterpret_cast<const uint8_t*>(bytes.constData()),
            static_cast<std::size_t>(bytes.size())});
  while (auto frame = in_.next()) {
    const auto m = control::decode_notice(*frame);
    if (!m) {
      emit lost(QStringLiteral("netbuf sent what this window cannot read"));
      socket_.abort();
      return;
    }
    if (!m->known) continue;
    if (!hello_ && m->kind != Notice::kHello) continue;
    dispatch([this, &m] { show(*m); });
    if (socket_.state() != QLocalSocket::ConnectedState) return;
  }
  if (in_.broken()) {
    emit lost(QStringLiteral("netbuf sent what this window cannot read"));
    socket_.abort();
  }
}

void NetbufLink::show(const control::NoticeMessage& m) {
  MonitorMemo& memo = face_->memo();
  switch (m.kind) {
    case Notice::kHello:
      if (m.version != control::kVersion) {
        emit lost(
            QStringLiteral("netbuf speaks version %1 of the window's protocol, this window %2")
                .arg(m.version)
                .arg(control::kVersion));
        socket_.abort();
        return;
      }
      hello_ = true;
      face_->attached(m.text, m.flag);
      emit answered();
      break;
    case Notice::kFigure:
      face_->show_figure(static_cast<StatusFigure>(m.figure), m.text);
      break;
    case Notice::kProgress:
      face_->show_card_store_progress(m.number);
      break;
    case Notice::kPortNumber:
      face_->show_port_number(m.number);
      break;
    case Notice::kPorts:
      face_->show_ports(m.ports);
      break;
    case Notice::kSettings:
      face_->show_settings(m.form);
      break;
    case Notice::kLogLine:
      memo.log_line(m.text);
      break;
    case Notice::kLogAppend:
      memo.log_append(m.text);
      break;
    case Notice::kLogLimit:
      memo.log_limit();
      break;
    case Notice::kBox:
      face_->open_box(m.flag, m.text);
      break;
    case Notice::kReceiveState:
      face_->show_receive_state(m.receive);
      break;
    case Notice::kReaderTable:
      face_->show_reader_table(m.reader_table);
      break;
    case Notice::kClosing:
      closing_ = true;
      face_->closing();
      break;
  }
}

}  // namespace netbuf
