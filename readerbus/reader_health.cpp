#include "readerbus/reader_health.h"

#include <string>

#include "core/log_texts.h"

namespace netbuf {

namespace {

std::string reader_name(const BufferState& st, int address) {
  return "reader " + std::to_string(address) + " (entry " +
         std::to_string(st.find_reader(address)) + ")";
}

}  // namespace

void note_no_answer(Context& ctx, int address) {
  Upkeep& up = ctx.st.upkeep;
  const auto a = static_cast<uint8_t>(address);
  if (up.silent[a]) return;
  if (++up.unanswered[a] < kSilentPolls) return;
  up.silent[a] = true;
  up.say(Severity::Warning, reader_name(ctx.st, a) + texts::kReaderNotAnswering);
}

void note_good_answer(Context& ctx, int address) {
  Upkeep& up = ctx.st.upkeep;
  const auto a = static_cast<uint8_t>(address);
  up.unanswered[a] = 0;
  if (!up.silent[a]) return;
  up.silent[a] = false;
  up.say(Severity::Info, reader_name(ctx.st, a) + texts::kReaderAnswering);
}

}  // namespace netbuf
