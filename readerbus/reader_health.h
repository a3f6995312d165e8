// Whether each reader answers: a reader that lets kSilentPolls frames in a
// row run out their response time-out, and one that answers again, is one
// journal line each, whatever the monitor shows.
#pragma once

#include "core/context.h"

namespace netbuf {

void note_no_answer(Context& ctx, int address);
void note_good_answer(Context& ctx, int address);

}  // namespace netbuf
