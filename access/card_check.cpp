// placeholder, replaced by the real module
#include "access/card_check.h"
namespace netbuf {
void check_card(Context&, int, const std::string&) {}
}
