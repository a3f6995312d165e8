// Whether each reader answers, and how well: a reader that lets kSilentPolls
// frames in a row run out their response time-out, and one that answers
// again, is one journal line each, whatever the monitor shows.
#pragma once

#include "core/context.h"

namespace netbuf {

void note_no_answer(Context& ctx, int address);
void note_good_answer(Context& ctx, int address);

// A reader whose last answers awaited hold too many CRC errors or time-outs
// is one warning line, and one line when it is good again. A reader that
// does not answer at all is said above, not here.
void report_line_shares(Context& ctx);

}  // namespace netbuf
