// placeholder, replaced by the real module
#include "readerbus/poll_cycle.h"
namespace netbuf {
void on_poll_tick(Context&) {}
}
