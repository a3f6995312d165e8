// The X server going away under a running window. Qt's X11 platform then
// says "The X11 connection broke" and calls exit(1) from inside its event
// processing: no signal, no return to main. What the buffer holds in memory
// (a register write, a card upload a moment ago) is stored on that way out,
// and the exit status stays 1, so systemd's Restart=on-failure starts netbuf
// again; without a display it then runs headless. Going on headless in the
// same process is not possible: Qt has no way back from that exit.
#pragma once

namespace netbuf {

class BufferHost;

// From now until forget_display_loss(): if the process exits without the
// host's own clean stop, the host stores everything first and says why in one
// journal line (Qt's own line about the broken connection is folded into it).
void store_on_display_loss(BufferHost& host);
// Before the host goes out of scope.
void forget_display_loss();

}  // namespace netbuf
