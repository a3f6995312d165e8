// Whether each reader answers: a reader that lets kSilentPolls polls in a row
// go without a good answer, and one that answers again, is one journal line
// each, whatever the monitor shows.
#pragma once

#include "core/context.h"

namespace netbuf {

void note_poll_sent(Context& ctx, int address);
void note_good_answer(Context& ctx, int address);

}  // namespace netbuf
