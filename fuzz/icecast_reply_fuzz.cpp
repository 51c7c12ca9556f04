// An Icecast server's answer to the source login: the bounded head reader, fed in pieces as
// the socket would, and the verdict on what it collected.

#include "fuzz/fuzz_support.h"
#include "winmedia/runtime/icecast_reply.h"

#include <string_view>

using namespace sondrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  // The first byte picks the piece size, so splits at every place are tried.
  const std::size_t piece = size == 0 ? 1 : 1 + static_cast<std::uint8_t>(bytes[0]) % 64;
  TIcecastReplyReader reader;
  std::size_t taken = 0;
  for (std::size_t at = 0; at < size && reader.State() == TIcecastReplyReader::Status::NeedMore;
       at += piece) {
    std::size_t used = 0;
    reader.Append(bytes.substr(at, piece), &used);
    taken += used;
  }
  fuzz::check(reader.Head().size() == taken);
  fuzz::check(reader.Head().size() <= kIcecastReplyMaxHead + 1);
  const TIcecastVerdict verdict = judgeIcecastReply(reader.Head());
  fuzz::check(verdict.Connected == verdict.Why.empty());
  fuzz::check(!verdict.Connected || verdict.Code == 100 ||
              (verdict.Code >= 200 && verdict.Code < 300));
  for (const char c : verdict.Why)
    fuzz::check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  return 0;
}
