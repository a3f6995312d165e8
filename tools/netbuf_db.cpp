// netbuf-db: the installer's tool that prepares a net.db and looks into one.
// netbuf itself never creates tables or rows, so every file it runs on comes
// from `netbuf-db create`.
#include <array>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/buffer_state.h"
#include "core/decimal.h"
#include "core/event_values.h"
#include "core/hex_text.h"
#include "core/log_texts.h"
#include "core/setting_ranges.h"
#include "store/batch_commit.h"
#include "store/database.h"
#include "store/db_lock.h"
#include "store/db_restore.h"
#include "store/schema.h"
#include "store/sql_texts.h"

namespace fs = std::filesystem;
using netbuf::As;
using netbuf::Column;
using netbuf::Database;
using netbuf::Row;

namespace {

// A storage call that failed ends the command with its reason, each part of
// SQLite's on a line of its own.
class StoreFailure : public std::runtime_error {
 public:
  explicit StoreFailure(netbuf::StoreError e)
      : std::runtime_error(e.text("\n  ")), fault(std::move(e)) {}
  netbuf::StoreError fault;
};

void must(netbuf::Status s) {
  if (!s) throw StoreFailure(s.fault());
}

constexpr const char* kUsage =
    "usage:\n"
    "  netbuf-db create PATH [--port-tcp N] [--service N] [--com N] [--delay N]\n"
    "                        [--n-card N] [--s-card N] [--force]\n"
    "      write a complete database: every register 0..8999, every card 1..20001,\n"
    "      the six settings (defaults: port-tcp 502, service 1060, com 0 = no serial\n"
    "      port, delay 30 ms, n-card 0, s-card 0). An existing PATH is replaced only\n"
    "      with --force. The file is made mode 0640.\n"
    "  netbuf-db set PATH KEY VALUE\n"
    "      change one setting; KEY is COM1, DELAY1 (20 or more), PORT_TCP, SERVICE,\n"
    "      N_CARD or S_CARD.\n"
    "  netbuf-db events PATH [--from ID] [--limit N]\n"
    "      list stored events in Id order.\n"
    "  netbuf-db show PATH\n"
    "      print the settings, the number of events and the counter registers.\n"
    "  netbuf-db restore BACKUP [PATH]\n"
    "      put a backup's contents into PATH (default /var/lib/netbuf/net.db) through\n"
    "      SQLite, also while netbuf runs on it; then netbuf writes its current\n"
    "      registers, cards, event counter and read pointer back over it.\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct ToolError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  bool force = false;
};

// Options with a value, per command; --force is the only flag.
Args parse_args(int argc, char** argv, const std::vector<std::string>& value_options,
                bool allow_force) {
  Args a;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      a.positional.push_back(arg);
      continue;
    }
    if (arg == "--force" && allow_force) {
      a.force = true;
      continue;
    }
    std::string value;
    bool has_value = false;
    if (const auto eq = arg.find('='); eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      has_value = true;
    }
    bool known = false;
    for (const auto& o : value_options) known = known || o == arg;
    if (!known) throw UsageError("unknown option " + arg);
    if (!has_value) {
      if (i + 1 >= argc) throw UsageError("option " + arg + " needs a value");
      value = argv[++i];
    }
    a.options[arg] = value;
  }
  return a;
}

// Ports and the serial port number end up in 16-bit fields; the rest are
// read back as 32-bit words.
int64_t setting_value(const std::string& key, const std::string& text) {
  const auto v = netbuf::parse_decimal<int64_t>(text);
  if (!v) throw ToolError("value for " + key + " is not a decimal integer: \"" + text + "\"");
  int64_t lo = std::numeric_limits<int32_t>::min();
  int64_t hi = std::numeric_limits<int32_t>::max();
  if (key == netbuf::sql::kKeyCom1 || key == netbuf::sql::kKeyPortTcp ||
      key == netbuf::sql::kKeyService) {
    lo = 0;
    hi = netbuf::kMaxPortNumber;
  }
  // netbuf raises a smaller poll interval to 20 ms at start; storing one would
  // only make the file say something netbuf does not do.
  if (key == netbuf::sql::kKeyDelay1 && *v < netbuf::kMinPollDelay) {
    throw ToolError("DELAY1 must be at least " + netbuf::dec(netbuf::kMinPollDelay) +
                    " (ms between two frames on the reader line): " + text);
  }
  if (*v < lo || *v > hi) {
    throw ToolError("value for " + key + " out of range " + netbuf::dec(lo) + ".." +
                    netbuf::dec(hi) + ": " + text);
  }
  return *v;
}

const char* known_key(const std::string& key) {
  for (const auto& d : netbuf::schema::kSettingDefaults) {
    if (key == d.key) return d.key;
  }
  return nullptr;
}

// sqlite3_open would quietly create a missing file; inspecting one must not.
void require_file(const std::string& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) throw ToolError(path + ": no such file");
  if (!fs::is_regular_file(path, ec)) throw ToolError(path + ": not a regular file");
}

// A running netbuf holds its net.db and writes its own state over whatever
// is changed behind it: a writing command waits for no one and refuses. The
// lock is kept until the command ends, so no netbuf starts on a half-written
// file meanwhile.
void hold_for_writing(netbuf::DbLock& lock, const std::string& path) {
  if (lock.take(path) != netbuf::DbLock::Outcome::Held) return;
  const long pid = lock.holder();
  throw ToolError(path +
                  (pid > 0 ? netbuf::texts::kDbHeld1 + netbuf::dec(static_cast<int64_t>(pid))
                           : std::string(netbuf::texts::kDbHeldUnknown)) +
                  "; stop it first (systemctl stop netbuf)");
}

void remove_quietly(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

// ---- create ----

int cmd_create(int argc, char** argv) {
  const std::map<std::string, const char*> option_keys = {
      {"--com", netbuf::sql::kKeyCom1},         {"--delay", netbuf::sql::kKeyDelay1},
      {"--port-tcp", netbuf::sql::kKeyPortTcp}, {"--service", netbuf::sql::kKeyService},
      {"--n-card", netbuf::sql::kKeyNCard},     {"--s-card", netbuf::sql::kKeySCard},
  };
  std::vector<std::string> names;
  for (const auto& [name, key] : option_keys) names.push_back(name);
  const Args a = parse_args(argc, argv, names, true);
  if (a.positional.size() != 1) throw UsageError("create takes exactly one PATH");
  const std::string path = a.positional[0];

  std::map<std::string, int64_t> values;
  for (const auto& d : netbuf::schema::kSettingDefaults) values[d.key] = d.value;
  for (const auto& [name, text] : a.options) {
    const char* key = option_keys.at(name);
    values[key] = setting_value(key, text);
  }

  std::error_code ec;
  const bool exists = fs::exists(fs::symlink_status(path, ec));
  if (exists && fs::is_directory(path, ec)) throw ToolError(path + " is a directory");
  if (exists && !a.force) {
    throw ToolError(path + " already exists; add --force to replace it");
  }
  netbuf::DbLock lock;
  if (exists) hold_for_writing(lock, path);

  // Built aside and renamed into place, so a failed create never leaves a
  // half-filled database where netbuf would open it.
  const std::string tmp = path + ".tmp";
  remove_quietly(tmp);
  remove_quietly(tmp + "-journal");
  try {
    Database db;
    db.open(tmp, true);
    must(db.begin());
    for (const char* s : netbuf::schema::kCreateStatements) must(db.run(s));
    for (const auto& d : netbuf::schema::kSettingDefaults) {
      must(db.run(netbuf::schema::insert_setting(d.key, values[d.key])));
    }
    must(db.commit());
  } catch (...) {
    remove_quietly(tmp);
    remove_quietly(tmp + "-journal");
    throw;
  }
  // Card codes and the event history: readable by the owner and its group only.
  fs::permissions(tmp, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read,
                  fs::perm_options::replace, ec);
  if (ec) {
    remove_quietly(tmp);
    throw ToolError("cannot set the mode of " + tmp + ": " + ec.message());
  }
  if (exists) {
    // A hot journal left by the old file would be played back into the new one.
    remove_quietly(path + "-journal");
    remove_quietly(path + "-wal");
    remove_quietly(path + "-shm");
  }
  fs::rename(tmp, path, ec);
  if (ec) {
    remove_quietly(tmp);
    throw ToolError("cannot move " + tmp + " to " + path + ": " + ec.message());
  }

  std::cout << "created " << path << ": " << netbuf::kRegisterCount << " registers, "
            << netbuf::kCardCount << " cards, settings";
  for (const auto& d : netbuf::schema::kSettingDefaults) {
    std::cout << ' ' << d.key << '=' << values[d.key];
  }
  std::cout << '\n';
  return 0;
}

// ---- set ----

int cmd_set(int argc, char** argv) {
  const Args a = parse_args(argc, argv, {}, false);
  if (a.positional.size() != 3) throw UsageError("set takes PATH KEY VALUE");
  const std::string& path = a.positional[0];
  const char* key = known_key(a.positional[1]);
  if (!key) {
    throw ToolError("unknown setting \"" + a.positional[1] +
                    "\"; one of COM1, DELAY1, PORT_TCP, SERVICE, N_CARD, S_CARD");
  }
  const int64_t value = setting_value(key, a.positional[2]);
  require_file(path);
  netbuf::DbLock lock;
  hold_for_writing(lock, path);

  Database db;
  db.open(path);
  must(netbuf::update_setting(db, key, static_cast<int32_t>(value)));
  int64_t changed = 0;
  must(db.query("SELECT changes() AS n", std::array{Column{"n", As::Integer}},
                [&changed](const Row& r) { changed = r.integer(0); }));
  // netbuf only updates too, so a file without the row would ignore the value.
  if (changed == 0) {
    throw ToolError(path + " has no setings row for " + key + "; nothing changed");
  }
  std::cout << key << " = " << value << '\n';
  return 0;
}

// ---- events ----

std::string utc_text(int64_t t) {
  const auto tt = static_cast<std::time_t>(t);
  std::tm tm{};
  if (gmtime_r(&tt, &tm) == nullptr) return "?";
  char buf[32];
  if (std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) return "?";
  return buf;
}

std::string status_text(int64_t status) {
  const char* name = netbuf::event_status_name(status);
  return name ? netbuf::dec(status) + ' ' + name : netbuf::dec(status);
}

void print_table(const std::vector<std::string>& header, const std::vector<bool>& right,
                 const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> width(header.size());
  for (size_t c = 0; c < header.size(); ++c) width[c] = header[c].size();
  for (const auto& r : rows) {
    for (size_t c = 0; c < r.size(); ++c) width[c] = std::max(width[c], r[c].size());
  }
  auto line = [&](const std::vector<std::string>& cells) {
    std::string out;
    for (size_t c = 0; c < cells.size(); ++c) {
      const std::string pad(width[c] - cells[c].size(), ' ');
      if (c > 0) out += "  ";
      out += right[c] ? pad + cells[c] : cells[c] + (c + 1 < cells.size() ? pad : "");
    }
    std::cout << out << '\n';
  };
  line(header);
  std::vector<std::string> rule;
  for (size_t w : width) rule.emplace_back(w, '-');
  line(rule);
  for (const auto& r : rows) line(r);
}

int cmd_events(int argc, char** argv) {
  const Args a = parse_args(argc, argv, {"--from", "--limit"}, false);
  if (a.positional.size() != 1) throw UsageError("events takes exactly one PATH");
  const std::string& path = a.positional[0];
  int64_t from = std::numeric_limits<int64_t>::min();
  int64_t limit = -1;
  if (auto it = a.options.find("--from"); it != a.options.end()) {
    const auto v = netbuf::parse_decimal<int64_t>(it->second);
    if (!v) throw ToolError("--from is not a decimal integer: \"" + it->second + "\"");
    from = *v;
  }
  if (auto it = a.options.find("--limit"); it != a.options.end()) {
    const auto v = netbuf::parse_decimal<int64_t>(it->second);
    if (!v || *v < 0) throw ToolError("--limit is not a count: \"" + it->second + "\"");
    limit = *v;
  }
  require_file(path);

  Database db;
  db.open(path);
  constexpr Column kColumns[] = {
      {"kod1", As::Integer},   {"kod2", As::Integer},   {"kod3", As::Integer},
      {"kod4", As::Integer},   {"kod5", As::Integer},   {"time", As::Integer},
      {"ID", As::Integer},     {"ADR485", As::Integer}, {"timezone", As::Integer},
      {"status", As::Integer}, {"code_no", As::Integer}};
  std::vector<std::vector<std::string>> rows;
  must(db.query(netbuf::schema::select_events_from(from, limit), kColumns, [&rows](const Row& r) {
    std::string code;
    for (std::size_t k = 0; k < 5; ++k) code += netbuf::hex2(static_cast<int>(r.integer(k)));
    const int64_t time = r.integer(5);
    rows.push_back({
        netbuf::dec(r.integer(6)),
        netbuf::dec(r.integer(7)),
        utc_text(time),
        netbuf::dec(time),
        netbuf::hex_min(static_cast<uint32_t>(r.integer(8)), 8),
        code,
        status_text(r.integer(9)),
        netbuf::dec(r.integer(10)),
    });
  }));
  print_table({"Id", "Reader", "Time (UTC)", "Raw time", "Zones", "Code", "Status", "Card"},
              {true, true, false, true, false, false, false, true}, rows);
  std::cout << rows.size() << (rows.size() == 1 ? " event\n" : " events\n");
  return 0;
}

// ---- show ----

int cmd_show(int argc, char** argv) {
  const Args a = parse_args(argc, argv, {}, false);
  if (a.positional.size() != 1) throw UsageError("show takes exactly one PATH");
  const std::string& path = a.positional[0];
  require_file(path);

  // Printed only when every query has worked, so a broken file gives one clear error.
  std::ostringstream out;
  Database db;
  db.open(path);
  out << "Settings (row order, as netbuf applies them)\n";
  std::map<std::string, int> seen;
  constexpr Column kSetting[] = {{"PARAMETR", As::Text}, {"val", As::Integer}};
  must(db.query(netbuf::sql::kSelectSetings, kSetting, [&](const Row& r) {
    const std::string& key = r.text(0);
    ++seen[key];
    out << "  " << key << std::string(key.size() < 10 ? 10 - key.size() : 1, ' ') << r.integer(1)
        << (known_key(key) ? "" : "  (not a netbuf key, ignored)") << '\n';
  }));
  for (const auto& d : netbuf::schema::kSettingDefaults) {
    if (!seen.count(d.key)) out << "  " << d.key << ": no row, netbuf cannot store it\n";
  }

  int64_t events = 0;
  must(db.query(netbuf::schema::kCountEvents, std::array{Column{"n", As::Integer}},
                [&events](const Row& r) { events = r.integer(0); }));
  out << "Events    " << events << " rows\n";

  std::map<int64_t, int64_t> reg;
  constexpr Column kRegister[] = {{"adres", As::Integer}, {"val", As::Integer}};
  must(db.query(netbuf::schema::kSelectShownRegisters, kRegister,
                [&reg](const Row& r) { reg[r.integer(0)] = r.integer(1); }));
  out << "Registers\n";
  for (int adres : {netbuf::kRegReadPtrHi, netbuf::kRegReadPtrLo, netbuf::kRegEventCntHi,
                    netbuf::kRegEventCntLo, netbuf::kRegCardCount}) {
    out << "  " << adres << std::string(adres < 1000 ? 6 : 5, ' ');
    if (auto it = reg.find(adres); it != reg.end()) {
      out << it->second << '\n';
    } else {
      out << "no row\n";
    }
  }
  // The two 32-bit words as netbuf computes them: high × 65536 + low, wrapped to 32 bits.
  auto pair = [&](int hi, int lo) -> std::string {
    if (!reg.count(hi) || !reg.count(lo)) return "?";
    const uint32_t v = static_cast<uint32_t>(reg[hi]) * 65536u + static_cast<uint32_t>(reg[lo]);
    return netbuf::dec(static_cast<int32_t>(v));
  };
  out << "Next event the PC reads (800/801): " << pair(netbuf::kRegReadPtrHi, netbuf::kRegReadPtrLo)
      << '\n';
  out << "Last stored event (804/805):       "
      << pair(netbuf::kRegEventCntHi, netbuf::kRegEventCntLo) << '\n';
  std::cout << out.str();
  return 0;
}

// ---- restore ----

constexpr const char* kPackageDb = "/var/lib/netbuf/net.db";

int cmd_restore(int argc, char** argv) {
  const Args a = parse_args(argc, argv, {}, false);
  if (a.positional.empty() || a.positional.size() > 2)
    throw UsageError("restore takes BACKUP [PATH]");
  const std::string& backup = a.positional[0];
  const std::string path = a.positional.size() == 2 ? a.positional[1] : kPackageDb;
  // Held while the restore runs, so no netbuf starts half way; a netbuf that
  // runs already sees the restore through SQLite and keeps its own state.
  netbuf::DbLock lock;
  long holder = 0;
  try {
    if (lock.take(path) == netbuf::DbLock::Outcome::Held)
      holder = lock.holder() > 0 ? lock.holder() : -1;
  } catch (const std::exception&) {
    // No lock to be had (a read-only directory): SQLite's locks still guard the copy.
  }
  const netbuf::RestoreOutcome r = netbuf::restore_database(backup, path);
  std::cout << "restored " << path << " from " << backup << ": " << r.events
            << (r.events == 1 ? " event" : " events") << ", counter " << r.last_id
            << ", integrity_check " << r.check << '\n';
  if (holder != 0) {
    std::cout << "netbuf"
              << (holder > 0 ? " process " + netbuf::dec(static_cast<int64_t>(holder))
                             : std::string())
              << " runs on it: it writes its current registers, cards, event counter and read "
                 "pointer back over it; events stored after the backup was made are not in it\n";
  }
  return r.check == "ok" ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << kUsage;
    return 2;
  }
  const std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h" || cmd == "help") {
    std::cout << kUsage;
    return 0;
  }
  try {
    if (cmd == "create") return cmd_create(argc, argv);
    if (cmd == "set") return cmd_set(argc, argv);
    if (cmd == "events") return cmd_events(argc, argv);
    if (cmd == "show") return cmd_show(argc, argv);
    if (cmd == "restore") return cmd_restore(argc, argv);
    throw UsageError("unknown command " + cmd);
  } catch (const UsageError& e) {
    std::cerr << "netbuf-db: " << e.what() << "\n" << kUsage;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "netbuf-db: " << e.what() << '\n';
    return 1;
  }
}
