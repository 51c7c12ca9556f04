#include "track_probe.h"

#include "winmedia/au_format_converter.h"
#include "winmedia/mp3_in.h"

#include <exception>

namespace sondrix {

std::string trackProblem(const std::string& Path) {
  ComponentPtr<TMP3In> in = MakeComponent<TMP3In>();
  in->SetHighPrecision(true);
  in->SetOutputChannels(TChannelsNumber::cnMaxAvailable);
  in->SetFileName(Path);
  ComponentPtr<TAuFormatConverter> conv = MakeComponent<TAuFormatConverter>();
  conv->SetInput(in.get());
  std::string problem;
  try {
    conv->Init();
    void* data = nullptr;
    std::uint32_t bytes = 4096;
    conv->GetData(data, bytes);
  } catch (const std::exception& e) {
    problem = e.what();
  }
  try {
    conv->Flush();
  } catch (const std::exception&) {
    // The file is already judged; closing it has nothing to add.
  }
  return problem;
}

} // namespace sondrix
