// What the logic shows in the window and reads back from it, in its own
// terms. window/ maps these to the window's controls; tests record them.
#pragma once

#include <cstdint>
#include <string>

namespace netbuf {

// The status page: what the buffer knows about itself and its peers.
class StatusView {
 public:
  virtual ~StatusView() = default;
  virtual void show_event_counters(int32_t counter, int32_t read_pointer) = 0;
  // The management PC's address, or the text saying none is connected.
  virtual void show_client(const std::string& text) = 0;
  // The controller's MAC (as "XXXX-XXXX-XXXX") and its card count.
  virtual void show_device(const std::string& mac, int32_t card_count) = 0;
  virtual void show_readers(int reader_count, int com_port) = 0;
  // How far the last write-back of cards got, 0..100.
  virtual void show_card_store_progress(int percent) = 0;
};

// The two sounds a reader can be told to play, one bit per step, most
// significant first.
struct BuzzerPatterns {
  int32_t unknown_card = 0;
  int32_t wrong_zone = 0;
};

struct PortTexts {
  std::string pc;       // Modbus TCP port of the management PC
  std::string service;  // remote-control port
};

// The settings page as the operator left it, and the stored values shown on
// it.
class SettingsForm {
 public:
  virtual ~SettingsForm() = default;
  virtual int poll_delay() const = 0;  // ms, 10..500
  virtual void show_poll_delay(int ms) = 0;
  // As typed, unchecked.
  virtual PortTexts port_texts() const = 0;
  virtual void show_pc_port(int port) = 0;
  virtual void show_service_port(int port) = 0;
  virtual BuzzerPatterns buzzer_patterns() const = 0;
  // Ticks the set bits only; unticking is the operator's business.
  virtual void tick_buzzer_patterns(const BuzzerPatterns& p) = 0;
};

// The timers the logic switches.
class LogicTimers {
 public:
  virtual ~LogicTimers() = default;
  // The poll cycle.
  virtual void set_poll_timer(bool enabled) = 0;
  virtual bool poll_timer() const = 0;
  virtual void set_poll_interval(int ms) = 0;
  virtual int poll_interval() const = 0;
  // PC idle supervision.
  virtual void set_supervision_timer(bool enabled) = 0;
  virtual bool supervision_timer() const = 0;
};

}  // namespace netbuf
