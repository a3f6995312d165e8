#pragma once
#include <string>

#include "core/context.h"

namespace netbuf {
void apply_setting(Context& ctx, const std::string& key, int32_t v);
// Button7Click ("Zapisz").
void save_settings(Context& ctx);
}  // namespace netbuf
