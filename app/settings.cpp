#include "app/settings.h"

#include <optional>

#include "app/upkeep_tick.h"
#include "core/decimal.h"
#include "core/hex_text.h"
#include "core/log_texts.h"
#include "core/setting_ranges.h"
#include "store/sql_texts.h"

namespace netbuf {

namespace {

void open_server(Context& ctx, TcpEndpoint& server, WantedPort& want, const char* label, int32_t v,
                 const char* opened, const char* failed) {
  // Wanted from now on: a port that cannot be had now is tried again on
  // every write-back tick.
  want.wanted = true;
  want.number = v;
  try {
    server.open(v);
    ctx.log.log_line(opened + dec(v) + texts::kOpened);
    note_port(ctx, want, label + dec(v), "");
  } catch (const std::exception& e) {
    ctx.log.log_line(failed + dec(v));
    note_port(ctx, want, label + dec(v), e.what());
  }
}

// A TCP port as the operator typed it: digits only, 0 ... 65535.
std::optional<int32_t> port_number(const std::string& text) {
  if (text.size() > 5 || text.starts_with('-')) return std::nullopt;
  const auto v = parse_decimal<int32_t>(text);
  if (!v || *v > kMaxPortNumber) return std::nullopt;
  return v;
}

// Handed to the storage path with the next commit; a failure shows the
// setting's own message then.
void store(Context& ctx, const char* key, int32_t value, const char* failure) {
  ctx.st.upkeep.settings_to_store.push_back(SettingRow{key, value, failure});
}

}  // namespace

void apply_setting(Context& ctx, const std::string& key, int32_t v) {
  if (key == sql::kKeyDelay1) {
    if (v < kMinPollDelay) v = kMinPollDelay;
    ctx.settings.show_poll_delay(v);
    ctx.timers.set_poll_interval(v);
  }
  if (key == sql::kKeyCom1 && v != 0) {
    Upkeep& up = ctx.st.upkeep;
    up.serial.wanted = true;
    up.serial.number = v;
    try {
      ctx.serial.set_port_number(v);
      ctx.serial.open();
      ctx.timers.set_poll_timer(true);
      up.poll_on_open = false;
      note_port(ctx, up.serial, line_name(ctx), "");
    } catch (const std::exception& e) {
      ctx.timers.set_poll_timer(false);
      up.poll_on_open = true;
      ctx.log.log_line(texts::kComFail + dec(v));
      note_port(ctx, up.serial, line_name(ctx), serial_open_reason(e));
    }
  }
  if (key == sql::kKeyPortTcp && v != 0) {
    ctx.settings.show_pc_port(v);
    open_server(ctx, ctx.pc, ctx.st.upkeep.pc, texts::kJournalPcPort, v, texts::kPortTcpOpen,
                texts::kPortTcpFail);
  }
  if (key == sql::kKeyNCard) ctx.st.n_card = v;
  if (key == sql::kKeySCard) ctx.st.s_card = v;
  if (key == sql::kKeyService && v != 0) {
    ctx.settings.show_service_port(v);
    open_server(ctx, ctx.service, ctx.st.upkeep.service, texts::kJournalServicePort, v,
                texts::kServiceOpen, texts::kServiceFail);
  }
}

void save_settings(Context& ctx) {
  store(ctx, sql::kKeyCom1, ctx.serial.port_number(), texts::kConfigWriteFailed);
  store(ctx, sql::kKeyDelay1, ctx.settings.poll_delay(), texts::kConfigWriteFailed);

  // Only a port number reaches the statement; anything else is refused with
  // the field's failure message and nothing is stored for that key.
  const PortTexts ports = ctx.settings.port_texts();
  if (const auto port_tcp = port_number(ports.pc))
    store(ctx, sql::kKeyPortTcp, *port_tcp, texts::kPortTcpWriteFailed);
  else
    ctx.op.message_box(texts::kPortTcpWriteFailed);
  if (const auto service = port_number(ports.service))
    store(ctx, sql::kKeyService, *service, texts::kServiceWriteFailed);
  else
    ctx.op.message_box(texts::kServiceWriteFailed);

  ctx.timers.set_poll_interval(ctx.settings.poll_delay());
  const BuzzerPatterns patterns = ctx.settings.buzzer_patterns();
  ctx.st.n_card = patterns.unknown_card;
  ctx.st.s_card = patterns.wrong_zone;

  store(ctx, sql::kKeyNCard, ctx.st.n_card, texts::kNCardWriteFailed);
  store(ctx, sql::kKeySCard, ctx.st.s_card, texts::kSCardWriteFailed);
}

}  // namespace netbuf
