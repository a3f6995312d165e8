#pragma once
#include <string>

#include "core/context.h"

namespace netbuf {
void check_card(Context& ctx, int entry, const std::string& code);
int find_card(Context& ctx, const std::string& code);  // index or 65535
bool in_geo_zone(const Context& ctx, int card, int entry);
bool in_time_zone(const Context& ctx, int card);
int relay_partner(const Context& ctx, int entry);  // 1..32, 0 for none
int hex_digit(char c);
int hex_byte(const std::string& two);
}  // namespace netbuf
