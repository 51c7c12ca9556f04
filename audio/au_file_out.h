#pragma once

#include "au_output.h"
#include "base/stream.h"

#include <cstdint>
#include <memory>
#include <string>

namespace sondrix {

class TId3v1Tags;
class TId3v2Tags;
class TAPEv2Tags;

// An output that writes to a byte stream. A stream handed in is never freed by the output.
// Main thread only, and not while a run uses the stream.
class TAuStreamedOutput : public TAuOutput {
public:
  explicit TAuStreamedOutput(TComponent* AOwner = nullptr);
  ~TAuStreamedOutput() override;

  TStream* Stream() const { return FStream; }
  void SetStream(TStream* Value) { SetStreamValue(Value); }

protected:
  virtual void SetStreamValue(TStream* Value);

  TStream* FStream = nullptr;
  bool FStreamAssigned = false;
};

enum class TFileOutputMode { foRewrite = 0, foAppend = 1 };

// An output that writes a file by name. Changing a name closes nothing. Main thread only.
class TAuFileOut : public TAuStreamedOutput {
public:
  explicit TAuFileOut(TComponent* AOwner = nullptr);

  // UTF-8; sets both names.
  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& Value);
  // Sets the wide name and empties FileName.
  const std::u16string& WideFileName() const { return FWideFileName; }
  void SetWideFileName(const std::u16string& Value);
  TFileOutputMode FileMode() const { return FFileMode; }
  // Files are always rewritten: appending is not offered by this output, whatever is asked.
  virtual void SetFileMode(TFileOutputMode Mode);
  // Kept with the settings; POSIX has no share modes, so it has no effect when opening.
  std::uint16_t ShareMode() const { return FShareMode; }
  void SetShareMode(std::uint16_t Value) { FShareMode = Value; }
  std::int32_t AccessMask() const { return FAccessMask; }
  void SetAccessMask(std::int32_t Value) { FAccessMask = Value; }

protected:
  std::string FFileName;
  std::u16string FWideFileName;
  TFileOutputMode FFileMode = TFileOutputMode::foRewrite;
  std::int32_t FAccessMask = 0;
  std::uint16_t FShareMode = 0;
};

// A file output with tag containers that it owns for its whole life.
class TAuTaggedFileOut : public TAuFileOut {
public:
  explicit TAuTaggedFileOut(TComponent* AOwner = nullptr);
  ~TAuTaggedFileOut() override;

  TId3v1Tags* Id3v1Tags() const { return FId3v1Tags.get(); }
  TId3v2Tags* Id3v2Tags() const { return FId3v2Tags.get(); }
  TAPEv2Tags* APEv2Tags() const { return FAPEv2Tags.get(); }
  // Copies Value's contents into the owned container, which is never replaced; nullptr
  // empties it.
  void SetId3v2Tags(const TId3v2Tags* Value);

protected:
  std::unique_ptr<TId3v1Tags> FId3v1Tags;
  std::unique_ptr<TId3v2Tags> FId3v2Tags;
  std::unique_ptr<TAPEv2Tags> FAPEv2Tags;
};

} // namespace sondrix
