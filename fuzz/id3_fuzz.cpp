// A file's tag blocks as the playlist reads them: ID3v2 at the start, ID3v1 at the end.

#include "fuzz/fuzz_support.h"
#include "tags/id3v1_tags.h"
#include "tags/id3v2_tags.h"

#include <unistd.h>

using namespace sondrix;

namespace {

void readEveryValue(const TAuTags& tags) {
  for (int i = 0; i < tags.IdCount(); ++i) {
    const std::string id = tags.Ids(i);
    (void)tags.AsString(id);
    (void)tags.AsWideString(id);
    (void)tags.AsInteger(id);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::MemoryFile file({data, size});

  const bool present = TId3v2Tags::Presents(file.fd());
  fuzz::check(::lseek(file.fd(), 0, SEEK_CUR) == 0);
  TId3v2Tags v2;
  const bool read = v2.ReadFromFile(file.fd());
  fuzz::check(read == present);
  if (!read)
    fuzz::check(::lseek(file.fd(), 0, SEEK_CUR) == 0);
  readEveryValue(v2);

  const off_t before = ::lseek(file.fd(), 0, SEEK_CUR);
  const bool v1Present = TId3v1Tags::Presents(file.fd());
  fuzz::check(::lseek(file.fd(), 0, SEEK_CUR) == before);
  TId3v1Tags v1;
  if (v1.ReadFromFile(file.fd()) && v1Present) {
    readEveryValue(v1);
    (void)v1.Genre();
    (void)v1.GenreId();
  }
  return 0;
}
