#include "analysis_input.h"

#include "winmedia/mp3_in.h"

namespace sondrix {

ComponentPtr<TAuInput> makeAnalysisInput(const std::string& Path) {
  auto input = MakeComponent<TMP3In>();
  input->SetLoop(false);
  input->SetEndSample(-1);
  input->SetOutputChannels(TChannelsNumber::cnMaxAvailable);
  input->SetFileName(Path);
  return ComponentPtr<TAuInput>(input.release());
}

} // namespace sondrix
