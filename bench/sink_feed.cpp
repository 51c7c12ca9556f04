// sondrix-sink-feed: serves a live ASF stream read from stdin through our network sink, so the
// sink can be loaded on its own, with the encoder in another process, e.g.
//   ffmpeg -re -i in.mp3 -c:a wmav2 -b:a 128k -f asf -packet_size 3200 -flush_packets 1 - |
//     sondrix-sink-feed --port 8098 --max-listeners 20000
// Prints "port=N" once the port is open. Ends at the end of the input or on SIGINT/SIGTERM.

#include "winmedia/runtime/wm_runtime.h"
#include "winmedia/runtime/writer_sink.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string_view>
#include <vector>

namespace {

volatile sig_atomic_t gStop = 0; // set by the signal handler only

void onSignal(int) {
  gStop = 1;
}

} // namespace

int main(int argc, char** argv) {
  using namespace sondrix;
  std::uint32_t port = 8098;
  std::uint32_t maxListeners = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view a = argv[i];
    if (a == "--port")
      port = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    else if (a == "--max-listeners")
      maxListeners = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    else {
      std::cerr << "usage: sondrix-sink-feed [--port N] [--max-listeners N] < live.asf\n";
      return 2;
    }
  }

  // No SA_RESTART: a signal must break the blocking read of stdin.
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::shared_ptr<IWMWriterNetworkSink> sink;
  HRESULT hr = WMCreateWriterNetworkSink(&sink);
  if (SUCCEEDED(hr))
    hr = sink->SetMaximumClients(maxListeners);
  if (SUCCEEDED(hr))
    hr = sink->Open(&port);
  if (SUCCEEDED(hr))
    hr = sink->OnBeginWriting();
  if (FAILED(hr)) {
    std::cerr << "sondrix-sink-feed: the sink did not open, result 0x" << std::hex
              << static_cast<std::uint32_t>(hr) << '\n';
    return 1;
  }
  std::cout << "port=" << port << std::endl;

  std::vector<std::uint8_t> buffer(64 * 1024);
  int status = 0;
  while (!gStop) {
    const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    hr = sink->Write(buffer.data(), static_cast<std::size_t>(n));
    if (FAILED(hr)) {
      std::cerr << "sondrix-sink-feed: the input is not a live ASF stream\n";
      status = 1;
      break;
    }
  }
  sink->OnEndWriting();
  sink->Close();
  return status;
}
