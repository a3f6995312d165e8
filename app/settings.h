#pragma once
#include <string>

#include "core/context.h"

namespace netbuf {
void apply_setting(Context& ctx, const std::string& key, int32_t v);
// "Zapisz": the settings page stored.
void save_settings(Context& ctx);
}  // namespace netbuf
