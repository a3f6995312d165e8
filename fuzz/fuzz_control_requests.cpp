// What a window sends netbuf over the control socket: the stream cut into
// frames and read as requests, Hello first. The bytes come in chunks of any
// size, as reads from the socket do.
//
// Input: records of one length byte n and then n bytes, fed as one chunk;
// after each chunk every step the stream has ready is taken.
//
// Checks: a request read back is the exact frame it came from (what netbuf
// accepts, it accepts in one spelling only); Hello comes first and once;
// after garbage nothing more is read; what is held never exceeds one frame
// and one chunk.
#include <cstdint>
#include <string>

#include "control/request_stream.h"
#include "fuzz_support.h"
#include "request_encoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netbuf::control;
  using Step = RequestStream::Step;
  RequestStream stream;
  std::string fed;       // every byte fed so far
  std::size_t read = 0;  // of which this many were whole frames read
  bool hello = false;
  std::size_t at = 0;
  while (at < size) {
    const std::size_t n = std::min<std::size_t>(data[at], size - at - 1);
    const uint8_t* chunk = data + at + 1;
    at += 1 + n;
    stream.feed({chunk, n});
    fed.append(reinterpret_cast<const char*>(chunk), n);
    while (auto item = stream.next()) {
      NETBUF_FUZZ_CHECK(!stream.ended() || item->step == Step::kBroken ||
                        item->step == Step::kOtherVersion);
      if (item->step == Step::kBroken || item->step == Step::kOtherVersion) {
        NETBUF_FUZZ_CHECK(stream.ended());
        NETBUF_FUZZ_CHECK(!stream.next());
        break;
      }
      NETBUF_FUZZ_CHECK((item->step == Step::kHello) == !hello);
      hello = true;
      const std::string again = encode_request(item->message);
      NETBUF_FUZZ_CHECK(fed.compare(read, again.size(), again) == 0);
      read += again.size();
    }
    NETBUF_FUZZ_CHECK(stream.buffered() <= kMaxRequestFrame + 4 + 255);
  }
  return 0;
}
