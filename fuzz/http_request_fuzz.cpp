// A listener's request head, as the stream server receives it in pieces.

#include "fuzz/fuzz_support.h"
#include "winmedia/server/http_request.h"

using namespace sondrix;

namespace {

bool sameRequest(const HttpRequest& a, const HttpRequest& b) {
  return a.method == b.method && a.path == b.path && a.userAgent == b.userAgent &&
         a.pragma == b.pragma && a.wm == b.wm && a.play == b.play;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputCursor input(data, size);
  const std::size_t piece = input.byte() % 16 + 1;
  const std::size_t limit = 64 + input.byte() * 32u;
  const std::string_view bytes = input.restText();

  HttpRequestReader whole(limit);
  whole.append(bytes.data(), bytes.size());

  // However the bytes are cut, the server must see the same request.
  HttpRequestReader pieces(limit);
  for (std::size_t at = 0; at < bytes.size(); at += piece)
    pieces.append(bytes.data() + at, std::min(piece, bytes.size() - at));
  fuzz::check(whole.status() == pieces.status());
  if (whole.status() == HttpRequestReader::Status::Complete) {
    fuzz::check(sameRequest(whole.request(), pieces.request()));
    (void)pragmaHasToken(whole.request().pragma, "xPlayStrm=1");
  }
  return 0;
}
