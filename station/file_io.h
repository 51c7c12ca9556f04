#pragma once

#include <string>
#include <string_view>

namespace sondrix {

// The whole content of a file. Throws std::runtime_error naming the file and the system's
// reason when it cannot be read.
std::string readWholeFile(const std::string& FileName);

// Replaces the file as a whole: the bytes go to a temporary file beside it, which is then
// renamed over it, so a crash or a full disk never leaves half a file. The file keeps its
// permissions; a link is replaced at its target. A file without write permission is refused
// (as the system would refuse writing it in place). Throws std::runtime_error naming the file
// and the system's reason. OwnerOnly takes the group's and others' permissions away (a file
// holding a password); the temporary file never has them, so no reader catches it open.
void replaceWholeFile(const std::string& FileName, std::string_view Bytes, bool OwnerOnly = false);

} // namespace sondrix
