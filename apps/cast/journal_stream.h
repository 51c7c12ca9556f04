#pragma once

namespace sondrix {

// Whether Fd is the stream that systemd connected to its journal: JournalStream is the value of
// $JOURNAL_STREAM ("DEVICE:INODE" in decimal), nullptr when unset. The journal stamps every
// line itself.
bool isJournalStream(const char* JournalStream, int Fd);

} // namespace sondrix
