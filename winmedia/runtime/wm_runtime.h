#pragma once

#include "winmedia/runtime/result_codes.h"

#include <cstdint>
#include <memory>

namespace sondrix {

class IWMSyncReader;
class IWMWriter;
class IWMWriterFileSink;
class IWMWriterNetworkSink;
class IWMProfileManager;

// Binds the media runtime: checks that FFmpeg offers the MP3 decoder, the wmav2 encoder and
// the ASF muxer, and sets the loaded flag. Repeated calls while loaded do nothing.
void LoadWMRuntime();
void UnloadWMRuntime();
bool WMRuntimeLoaded();

// Creators, named like the runtime's entry points. 0 = success; out is empty on failure.
HRESULT WMCreateSyncReader(void* pUnkCert, std::uint32_t dwRights,
                           std::shared_ptr<IWMSyncReader>* ppSyncReader);
HRESULT WMCreateWriter(void* pUnkCert, std::shared_ptr<IWMWriter>* ppWriter);
HRESULT WMCreateWriterFileSink(std::shared_ptr<IWMWriterFileSink>* ppSink);
HRESULT WMCreateWriterNetworkSink(std::shared_ptr<IWMWriterNetworkSink>* ppSink);
HRESULT WMCreateProfileManager(std::shared_ptr<IWMProfileManager>* ppProfileManager);

} // namespace sondrix
