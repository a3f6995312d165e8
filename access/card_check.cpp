#include "access/card_check.h"

#include <algorithm>
#include <array>

#include "access/event_records.h"
#include "core/event_values.h"
#include "core/hex_text.h"
#include "core/log_texts.h"

namespace netbuf {

namespace {

constexpr int32_t kRelayBits = 0x0C;

EventOutcome event_outcome(int status) {
  switch (status) {
    case kStatusGranted:
      return EventOutcome::Granted;
    case kStatusOutsideTimeZone:
      return EventOutcome::OutsideTimeZone;
    case kStatusOutsideGeoZone:
      return EventOutcome::OutsideGeoZone;
    default:
      return EventOutcome::UnknownCard;
  }
}

bool valid_entry(int e) {
  return e >= 1 && e <= kReaderCount;
}

// Characters first … first + count - 1 (counted from 1) of text, cut short
// where the text ends: a short code text reads as fewer characters.
std::string chars(const std::string& text, size_t first, size_t count) {
  if (first < 1 || text.size() < first) return {};
  return text.substr(first - 1, count);
}

}  // namespace

int hex_digit(char c) {
  if (c >= '1' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

int hex_byte(const std::string& two) {
  const char first = two.empty() ? '\0' : two[0];
  const char second = two.size() < 2 ? '\0' : two[1];
  return 16 * hex_digit(first) + hex_digit(second);
}

int find_card(Context& ctx, const std::string& code) {
  ctx.log.line_if(LogCategory::Events, texts::kCardCount + dec(ctx.st.card_count));
  if (ctx.st.card_count < 0) return kCardNotFound;
  // The table ends at entry 20000 whatever the PC wrote into register 3170.
  const int last = std::min<int>(ctx.st.card_count, kCardCount - 1);
  const int i = ctx.st.card_index().lowest(code, last);
  return i < 0 ? kCardNotFound : i;
}

bool in_geo_zone(const Context& ctx, int card, int entry) {
  if (!BufferState::valid_card(card) || !valid_entry(entry)) return false;
  const int g = ctx.st.readers[entry].geo_zone;
  // Zone numbers from 32 up run out of the word: no card passes there.
  const uint32_t bit = g <= 0 ? 1u : (g >= 32 ? 0u : 1u << g);
  return (static_cast<uint32_t>(ctx.st.cards[card].geo_zone) & bit) != 0;
}

bool in_time_zone(const Context& ctx, int card) {
  if (!BufferState::valid_card(card)) return false;
  return (static_cast<uint32_t>(ctx.st.cards[card].time_zone) & ctx.st.zone_mask) != 0;
}

int relay_partner(const Context& ctx, int entry) {
  if (!valid_entry(entry)) return 0;
  const int zone = ctx.st.readers[entry].geo_zone;
  int partner = 0;
  // A partner needs both relay bits; the last configured one wins.
  const int count = std::min<int>(ctx.st.reader_count, kReaderCount);
  for (int k = 1; k <= count; ++k) {
    const ReaderEntry& r = ctx.st.readers[k];
    if (k != entry && r.geo_zone == zone && (r.flags & kRelayBits) == kRelayBits) partner = k;
  }
  return partner;
}

void check_card(Context& ctx, int entry, const std::string& code) {
  if (!valid_entry(entry)) return;
  BufferState& st = ctx.st;

  // The first two characters of a reader's code text are not part of the card code.
  const std::string kod = chars(code, 3, 10);
  ctx.log.line_if(LogCategory::Events, texts::kCardCode + kod);

  std::array<int32_t, 5> kod_bytes{};
  for (size_t j = 0; j < kod_bytes.size(); ++j) kod_bytes[j] = hex_byte(chars(code, 3 + 2 * j, 2));

  const int index = find_card(ctx, kod);
  ctx.log.line_if(LogCategory::Events, texts::kCardId + dec(index));

  int status = index == kCardNotFound ? kStatusUnknownCard : kStatusGranted;
  if (status == kStatusGranted && !in_geo_zone(ctx, index, entry)) status = kStatusOutsideGeoZone;
  if (status == kStatusGranted && !in_time_zone(ctx, index)) status = kStatusOutsideTimeZone;

  st.figures.event_decided(event_outcome(status));
  // The event is stored before any reader is told what to do.
  store_event(ctx, entry, status, index, kod_bytes, kTypKodu);

  ReaderEntry& reader = st.reader(entry);
  ctx.log.line_if(LogCategory::Events, texts::kCardAtReader + dec(reader.adr485));

  // A reader is told what to do, and the monitor says why.
  const auto command = [&ctx](ReaderEntry& r, Action action, const std::string& why) {
    command_reader(r, action);
    ctx.log.line_if(LogCategory::Events, why);
  };
  switch (status) {
    case kStatusGranted:
      if ((reader.flags & kRelayBits) != 0)
        command(reader, kActionRelay, texts::kGrantedOwnRelay + dec(reader.adr485));
      else if (const int m = relay_partner(ctx, entry); m > 0)
        command(st.reader(m), kActionRelay, texts::kGrantedOtherRelay);
      break;
    case kStatusUnknownCard:
      command(reader, kActionBuzzerN, texts::kUnknownCard);
      break;
    case kStatusOutsideTimeZone:
      command(reader, kActionBuzzerS, texts::kOutsideTimeZone);
      break;
    case kStatusOutsideGeoZone:
      command(reader, kActionBuzzerS, texts::kOutsideGeoZone);
      break;
  }

  ctx.status.show_event_counters(st.event_counter(), st.event_read_pointer());
}

}  // namespace netbuf
