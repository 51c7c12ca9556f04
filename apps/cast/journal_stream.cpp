#include "journal_stream.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdint>
#include <string_view>

namespace sondrix {

bool isJournalStream(const char* JournalStream, int Fd) {
  if (JournalStream == nullptr)
    return false;
  const std::string_view text(JournalStream);
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos)
    return false;
  std::uintmax_t device = 0, inode = 0;
  const char* end = text.data() + text.size();
  const auto [deviceEnd, deviceError] = std::from_chars(text.data(), text.data() + colon, device);
  const auto [inodeEnd, inodeError] = std::from_chars(text.data() + colon + 1, end, inode);
  if (deviceError != std::errc() || deviceEnd != text.data() + colon || inodeError != std::errc() ||
      inodeEnd != end)
    return false;
  struct stat info {};
  // A stream inherited from a service and then redirected elsewhere no longer matches.
  return ::fstat(Fd, &info) == 0 && static_cast<std::uintmax_t>(info.st_dev) == device &&
         static_cast<std::uintmax_t>(info.st_ino) == inode;
}

} // namespace sondrix
