#pragma once

#include "audio/au_file_out.h"
#include "winmedia/wma_writer.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sondrix {

// Encodes its Input's PCM into Windows Media Audio and writes it to FileName (or, in the
// streamed form, serves it over HTTP). Runs on the output worker: StartOutput opens the sink
// and chooses the codec format, WriteBlock moves 80 ms of PCM per call, FinishOutput ends the
// writer. Properties are set on the main thread while idle.
//
// Tags: the owned Id3v2Tags are written as header attributes once, when a run starts; a
// change made while running reaches the next run only.
class TWMAOut : public TAuTaggedFileOut {
public:
  explicit TWMAOut(TComponent* AOwner = nullptr);
  ~TWMAOut() override;

  // The one address a network run listens on (IPv4 or IPv6); empty: every address.
  const std::string& BindAddress() const { return FBindAddress; }
  void SetBindAddress(std::string Value) { FBindAddress = std::move(Value); }

  // Bits per second; below 1000 it counts as kilobits (128 = 128000).
  std::uint32_t DesiredBitrate() const { return FBitrate; }
  void SetDesiredBitrate(std::uint32_t Value) { FBitrate = Value; }
  bool Lossless() const { return FLossless; }
  void SetLossless(bool Value) { FLossless = Value; }
  bool VBR() const { return FVBR; }
  void SetVBR(bool Value) { FVBR = Value; }
  // 0..100, used instead of the bitrate when VBR is set.
  std::uint8_t VBRQuality() const { return FVBRQuality; }
  void SetVBRQuality(std::uint8_t Value) { FVBRQuality = Value; }

  // The runtime's audio codecs, listed when the component was created.
  const std::vector<std::u16string>& Codecs() const { return FCodecs; }
  std::uint16_t CodecsCount() const { return static_cast<std::uint16_t>(FCodecs.size()); }
  // A codec index >= 0 picks codec and format by index; the bitrate, quality and lossless
  // choice are then ignored. -1 (the default) chooses by target.
  std::int32_t CodecIndex() const { return FCodecIndex; }
  void SetCodecIndex(std::int32_t Value) { FCodecIndex = Value; }
  std::int32_t FormatIndex() const { return FFormatIndex; }
  void SetFormatIndex(std::int32_t Value) { FFormatIndex = Value; }

  // Description of one format of one codec, listed with the current VBR/Lossless choice;
  // empty when there is no such format. Main thread.
  std::u16string GetFormatDesc(std::int32_t CodecIndex, std::int32_t FormatIndex);

protected:
  bool WriteBlock(bool Abort) override;
  void FinishOutput() override;
  void StartOutput() override;

  // Listener news from the sink's thread; the streamed form posts them as events.
  virtual void ClientConnected() {}
  virtual void ClientDisconnected() {}
  // Each PCM block once the writer has it (the worker thread).
  virtual void BlockWritten(const std::uint8_t* /*Data*/, std::uint32_t /*Bytes*/) {}

  std::vector<std::u16string> FCodecs;
  std::vector<std::u16string> FFormats;
  std::int32_t FCodecIndex = -1;
  std::int32_t FFormatIndex = 0;
  bool EndOfStream = false;
  std::vector<std::uint8_t> Buf;
  std::int32_t BufSize = 0;
  std::uint32_t FBitrate = 0;
  bool FLossless = false;
  bool FVBR = false;
  std::uint8_t FVBRQuality = 0;
  std::atomic<bool> ErrorFlag{false};
  wma_writer Writer;
  // The port asked for; a run on port 0 stores the port the sink picked.
  std::atomic<std::uint32_t> FPort{0};
  std::string FBindAddress; // set while idle
  std::uint32_t FMaxClients = 0;
  bool FUseNetwork = false;
  // The main thread's queries of Writer (URL, listener count) run under FWriterLock and only
  // while FWriterOpen; the worker sets it after opening and clears it before ending, so a
  // query never meets a sink being set up or released, and never waits for a slow close.
  std::mutex FWriterLock;
  bool FWriterOpen = false;

private:
  static void ConnectedHook(TComponent* Dest);
  static void DisconnectedHook(TComponent* Dest);
  static void ErrorHook(TComponent* Dest, std::int32_t Reason);
};

} // namespace sondrix
