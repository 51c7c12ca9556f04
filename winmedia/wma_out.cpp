#include "winmedia/wma_out.h"

#include "base/text.h"
#include "tags/id3v2_tags.h"

#include <exception>
#include <stdexcept>
#include <utility>

namespace sondrix {

namespace {

constexpr char kNoFileName[] = "File name is not assigned.";
constexpr char kCannotCreate[] = "Cannot create file";
constexpr char kOutputError[] = "Windows Media output error";
constexpr char kOutputErrorReported[] = "Windows Media output error.";

using Attributes = std::vector<std::pair<std::u16string, std::u16string>>;

// In the order they go into the header; empty values are left out.
Attributes attributesOf(const TId3v2Tags& tags) {
  Attributes list;
  auto add = [&](const char16_t* name, std::u16string value) {
    if (!value.empty())
      list.emplace_back(name, std::move(value));
  };
  add(u"Author", tags.Artist());
  add(u"WM/AlbumTitle", tags.Album());
  add(u"WM/Genre", tags.Genre());
  add(u"WM/Year", toWide(tags.Year()));
  add(u"WM/Track", toWide(tags.Track()));
  add(u"Title", tags.Title());
  add(u"Copyright", tags.Comment());
  return list;
}

} // namespace

TWMAOut::TWMAOut(TComponent* AOwner) : TAuTaggedFileOut(AOwner) {
  wm_list_codecs(FCodecs);
}

TWMAOut::~TWMAOut() = default;

std::u16string TWMAOut::GetFormatDesc(std::int32_t CodecIndex, std::int32_t FormatIndex) {
  FFormats.clear();
  if (CodecIndex >= 0 && CodecIndex < CodecsCount())
    wm_list_codec_formats(CodecIndex, FVBR || FLossless, FFormats);
  if (FormatIndex < 0 || static_cast<std::size_t>(FormatIndex) >= FFormats.size())
    return {};
  return FFormats[static_cast<std::size_t>(FormatIndex)];
}

void TWMAOut::ConnectedHook(TComponent* Dest) {
  static_cast<TWMAOut*>(Dest)->ClientConnected();
}

void TWMAOut::DisconnectedHook(TComponent* Dest) {
  static_cast<TWMAOut*>(Dest)->ClientDisconnected();
}

void TWMAOut::ErrorHook(TComponent* Dest, std::int32_t Reason) {
  (void)Reason;
  auto* out = static_cast<TWMAOut*>(Dest);
  out->setExceptionMessage(kOutputErrorReported);
  out->ErrorFlag = true;
}

void TWMAOut::StartOutput() {
  if (!FUseNetwork && FWideFileName.empty())
    throw std::runtime_error(kNoFileName);
  // Cleared before the sink exists: an error it reports while the header goes out must
  // still end the run.
  ErrorFlag = false;
  // Taken before the input starts: handlers of the events its start posts may rewrite the
  // tags on the main thread, and must not do so while they are being read.
  const Attributes attributes = attributesOf(*FId3v2Tags);
  FInput->Init();

  if (FUseNetwork) {
    std::uint32_t port = FPort;
    wm_writer_open_network(Writer, port, FMaxClients, this, ConnectedHook, DisconnectedHook,
                           ErrorHook, BindAddress());
    if (Writer.Initialized)
      FPort = port;
  } else {
    wm_writer_open_file(Writer, FWideFileName, this, ErrorHook);
  }
  if (!Writer.Initialized)
    throw std::runtime_error(kCannotCreate);
  {
    std::lock_guard lock(FWriterLock);
    FWriterOpen = true;
  }

  const std::uint32_t channels = FInput->Channels();
  const std::uint32_t bits = FInput->BitsPerSample();
  const std::uint32_t rate = FInput->SampleRate();
  if (FCodecIndex >= 0)
    wm_writer_use_codec_format(Writer, static_cast<std::uint16_t>(channels),
                               static_cast<std::uint16_t>(bits), FFormatIndex, FCodecIndex,
                               FVBR || FLossless, rate);
  else if (FVBR)
    wm_writer_use_target(Writer, static_cast<std::uint16_t>(channels),
                         static_cast<std::uint16_t>(bits), FVBRQuality, true, FLossless, rate);
  else
    wm_writer_use_target(Writer, static_cast<std::uint16_t>(channels),
                         static_cast<std::uint16_t>(bits), FBitrate, false, FLossless, rate);

  // 80 ms of PCM: channels x bits x rate / 100 bytes.
  BufSize = static_cast<std::int32_t>(channels * bits * rate / 100);
  Buf.assign(static_cast<std::size_t>(BufSize), 0);

  for (const auto& [name, value] : attributes)
    wm_writer_set_attribute(Writer, name, value);
  wm_writer_begin(Writer);
  EndOfStream = false;
}

bool TWMAOut::WriteBlock(bool Abort) {
  if (ErrorFlag)
    throw std::runtime_error(kOutputError);
  if (!CanOutput)
    return true;
  if (Abort || EndOfStream)
    return false;
  const std::uint32_t n =
      FInput->FillBuffer(Buf.data(), static_cast<std::uint32_t>(BufSize), EndOfStream);
  wm_writer_write(Writer, Buf.data(), n);
  BlockWritten(Buf.data(), n);
  return true;
}

void TWMAOut::FinishOutput() {
  // The sink is ended even when the input fails to flush: a port or file left open would
  // outlive the run.
  std::exception_ptr flushError;
  try {
    if (FInput != nullptr)
      FInput->Flush();
  } catch (...) {
    flushError = std::current_exception();
  }
  {
    std::lock_guard lock(FWriterLock);
    FWriterOpen = false;
  }
  if (FUseNetwork)
    wm_writer_end_network(Writer);
  else
    wm_writer_end_file(Writer);
  Buf.clear();
  Buf.shrink_to_fit();
  BufSize = 0;
  if (flushError)
    std::rethrow_exception(flushError);
}

} // namespace sondrix
