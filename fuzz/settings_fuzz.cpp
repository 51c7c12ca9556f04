// "config.cfg": the INI reader and the settings read from it.

#include "fuzz/fuzz_support.h"
#include "station/ini_file.h"
#include "station/station_settings.h"

#include <fstream>

using namespace sondrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file = fuzz::scratchFolder() / "config.cfg";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  TIniFile ini(file);
  const TStationSettings settings = readSettings(ini);

  // Settings written over any file must read back as written.
  writeSettings(ini, settings);
  ini.UpdateFile();
  const TIniFile again(file);
  fuzz::check(readSettings(again) == settings);

  const std::string text(reinterpret_cast<const char*>(data), size);
  (void)parseIniInteger(text, 7);
  (void)spinValue(text);
  return 0;
}
