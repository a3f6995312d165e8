// Settings rows as start-up applies them (any key bytes, any value), then the
// reader rebuild that follows and "Zapisz" storing the window's values back.
//
// Input: records of a flag byte (bit 0 the serial port fails to open, bit 1
// it is open already, bit 2 the PC port fails to listen, bit 3 the service
// port does), a 32-bit big-endian value, a key length byte and the key.
#include <cstdint>
#include <string>

#include "app/settings.h"
#include "app/storage_feed.h"
#include "core/hex_text.h"
#include "core/log_texts.h"
#include "fuzz_support.h"
#include "store/sql_texts.h"

namespace netbuf::fuzz {
namespace {

struct Target {
  ScratchDir dir;
  FuzzWorld fw;

  Target() {
    testing::FakeWorld& w = fw.w();
    open_new_db(w, dir.path("net.db"), [](Database& db) {
      for (const auto& d : schema::kSettingDefaults)
        NETBUF_FUZZ_CHECK(db.run(schema::insert_setting(d.key, d.value)));
    });
    skip_disk_waits(w.db);
    fw.snapshot();
  }

  int64_t stored(const char* key) {
    Database& db = fw.w().db;
    int64_t val = -1;
    const Column columns[] = {{"val", As::Integer}};
    NETBUF_FUZZ_CHECK(db.query(std::string("SELECT val FROM setings WHERE PARAMETR = '") + key + "'",
                               columns, [&val](const Row& r) { val = r.integer(0); }));
    return val;
  }
};

bool is_port_text(const std::string& t) {
  if (t.empty() || t.size() > 5 || t.find_first_not_of("0123456789") != std::string::npos)
    return false;
  return std::stol(t) <= 65535;
}

}  // namespace
}  // namespace netbuf::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netbuf;
  auto [t, w] = fuzz::target_with_new_links<fuzz::Target>(fuzz::FuzzWorld::Cards::kUntouched);
  BufferState& st = w.st;
  fuzz::Cursor in(data, size);

  while (!in.empty()) {
    const uint8_t flags = in.u8();
    const auto v = static_cast<int32_t>(in.be32());
    const std::vector<uint8_t> k = in.bytes(in.u8());
    const std::string key(k.begin(), k.end());
    w.serial.fail_open = flags & 1;
    w.serial.opened = (flags & 2) != 0;
    w.pc.fail_open = (flags & 4) != 0;
    w.service.fail_open = (flags & 8) != 0;

    const testing::FakeWindow window_before = w.window;
    const int32_t n_before = st.n_card, s_before = st.s_card;
    const int com_before = w.serial.number, pc_opens = w.pc.opens, svc_opens = w.service.opens;
    apply_setting(w.ctx, key, v);

    if (key == sql::kKeyDelay1) {
      const int32_t ms = v < 20 ? 20 : v;
      NETBUF_FUZZ_CHECK(w.window.poll_ms == ms);
      NETBUF_FUZZ_CHECK(w.window.delay == (ms > 500 ? 500 : ms));
    } else if (key == sql::kKeyCom1 && v != 0) {
      NETBUF_FUZZ_CHECK(w.serial.number == v);
      NETBUF_FUZZ_CHECK(w.window.poll_on == !w.serial.fail_open);
      if (w.serial.fail_open) NETBUF_FUZZ_CHECK(w.log.lines.back() == texts::kComFail + dec(v));
    } else if (key == sql::kKeyPortTcp && v != 0) {
      NETBUF_FUZZ_CHECK(w.window.ports.pc == dec(v));
      NETBUF_FUZZ_CHECK(w.pc.opens == pc_opens + (w.pc.fail_open ? 0 : 1));
    } else if (key == sql::kKeyService && v != 0) {
      NETBUF_FUZZ_CHECK(w.window.ports.service == dec(v));
      NETBUF_FUZZ_CHECK(w.service.opens == svc_opens + (w.service.fail_open ? 0 : 1));
    } else if (key == sql::kKeyNCard) {
      NETBUF_FUZZ_CHECK(st.n_card == v);
    } else if (key == sql::kKeySCard) {
      NETBUF_FUZZ_CHECK(st.s_card == v);
    } else {
      // Any other key, and a zero port, changes nothing.
      NETBUF_FUZZ_CHECK(st.n_card == n_before && st.s_card == s_before);
      NETBUF_FUZZ_CHECK(w.serial.number == com_before);
      NETBUF_FUZZ_CHECK(w.pc.opens == pc_opens && w.service.opens == svc_opens);
      NETBUF_FUZZ_CHECK(w.window.ports.pc == window_before.ports.pc &&
                        w.window.ports.service == window_before.ports.service &&
                        w.window.poll_ms == window_before.poll_ms &&
                        w.window.poll_on == window_before.poll_on);
    }
  }

  rebuild_readers(w.ctx);
  const int32_t n_card = st.n_card, s_card = st.s_card;
  w.serial.fail_open = false;
  save_settings(w.ctx);
  // "Zapisz" hands its statements to the storage path.
  pump_storage(w.ctx);

  // A buzzer pattern goes through the settings page and comes back as its low 16 bits.
  NETBUF_FUZZ_CHECK(st.n_card == (n_card & 0xFFFF));
  NETBUF_FUZZ_CHECK(st.s_card == (s_card & 0xFFFF));
  NETBUF_FUZZ_CHECK(t.stored(sql::kKeyNCard) == st.n_card);
  NETBUF_FUZZ_CHECK(t.stored(sql::kKeySCard) == st.s_card);
  NETBUF_FUZZ_CHECK(t.stored(sql::kKeyCom1) == w.serial.number);
  NETBUF_FUZZ_CHECK(t.stored(sql::kKeyDelay1) == w.window.delay);
  // A port field that is not a port number is refused, never stored.
  const std::string port = w.window.ports.pc;
  if (fuzz::is_port_text(port)) NETBUF_FUZZ_CHECK(t.stored(sql::kKeyPortTcp) == std::stol(port));
  int refusals = 0;
  for (const auto& b : w.op.boxes) refusals += b == texts::kPortTcpWriteFailed;
  NETBUF_FUZZ_CHECK(refusals == (fuzz::is_port_text(port) ? 0 : 1));
  return 0;
}
