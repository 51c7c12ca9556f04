#include "base/text.h"
#include "winmedia/wma_writer.h"
#include "writer_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace sondrix {
namespace {

using namespace writer_test;

class TListenerCounter : public TComponent {
public:
  std::atomic<int> connected{0};
  std::atomic<int> disconnected{0};
};

void onConnected(TComponent* dest) {
  static_cast<TListenerCounter*>(dest)->connected++;
}
void onDisconnected(TComponent* dest) {
  static_cast<TListenerCounter*>(dest)->disconnected++;
}
void neverCalled(TComponent*, std::int32_t) {
  ADD_FAILURE() << "the network form has no error hook";
}

TEST(WriterNetwork, OpenGivesUrlAndLimitAndEndReleasesAll) {
  TListenerCounter owner;
  wma_writer record;
  std::uint32_t port = 0;
  wm_writer_open_network(record, port, 0, &owner, onConnected, onDisconnected, neverCalled);
  ASSERT_TRUE(record.Initialized);
  EXPECT_NE(port, 0u);
  EXPECT_EQ(record.OnError, nullptr);
  EXPECT_NE(record.StatusCallback, nullptr);
  EXPECT_EQ(record.ErrorCallback, nullptr);
  const std::string url = toNarrow(wm_writer_url(record));
  EXPECT_EQ(url.substr(url.rfind(':') + 1), std::to_string(port)) << url;
  EXPECT_EQ(wm_writer_client_count(record), 0u);
  std::uint32_t limit = 99;
  record.network_sink->GetMaximumClients(&limit);
  EXPECT_EQ(limit, 0u); // 0 sets nothing

  // The port is taken now: a second run on it cannot open.
  wma_writer second;
  std::uint32_t same = port;
  wm_writer_open_network(second, same, 2, &owner, onConnected, onDisconnected, nullptr);
  EXPECT_FALSE(second.Initialized);
  EXPECT_EQ(second.network_sink, nullptr);
  EXPECT_TRUE(wm_writer_url(second).empty());

  wm_writer_end_network(record);
  EXPECT_FALSE(record.Initialized);
  EXPECT_EQ(record.network_sink, nullptr);
  EXPECT_EQ(record.writer, nullptr);
  EXPECT_EQ(record.StatusCallback, nullptr);
  EXPECT_TRUE(wm_writer_url(record).empty());
  EXPECT_EQ(wm_writer_client_count(record), 0u);

  // Closed again, so the port can be had with a limit.
  wm_writer_open_network(second, same, 3, &owner, onConnected, onDisconnected, nullptr);
  ASSERT_TRUE(second.Initialized);
  second.network_sink->GetMaximumClients(&limit);
  EXPECT_EQ(limit, 3u);
  wm_writer_end_network(second);
}

TEST(WriterNetwork, ListenerHearsTheBroadcastAndIsReported) {
  TListenerCounter owner;
  wma_writer record;
  std::uint32_t port = 0;
  wm_writer_open_network(record, port, 0, &owner, onConnected, onDisconnected, nullptr);
  ASSERT_TRUE(record.Initialized);
  wm_writer_use_target(record, 2, 16, 128, false, false, 44100);
  wm_writer_set_attribute(record, u"Title", u"On Air");
  wm_writer_begin(record);

  const auto pcm = tonePcm(44100, 2, 16, 4.0, 1000, 0.5);
  const std::size_t block = 14112;
  std::size_t at = 0;
  auto writeFor = [&](std::size_t bytes) {
    for (const std::size_t end = std::min(pcm.size(), at + bytes); at < end; at += block)
      wm_writer_write(record, pcm.data() + at,
                      static_cast<std::uint32_t>(std::min(block, end - at)));
  };
  writeFor(block * 4); // header and a first packet exist before anyone asks

  TempDir dir;
  const auto raw = dir.path("heard.s16");
  auto listener = std::async(std::launch::async, [&] {
    return runCommand(
        "timeout 20 ffmpeg -nostdin -v error -t 1.5 -i http://127.0.0.1:" + std::to_string(port) +
        "/ -f s16le -ac 2 -ar 44100 -y '" + raw.string() + "'");
  });
  while (listener.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
         at < pcm.size())
    writeFor(block);
  EXPECT_EQ(listener.get(), 0);
  wm_writer_end_network(record);

  EXPECT_EQ(owner.connected.load(), 1);
  EXPECT_GE(std::filesystem::file_size(raw), 44100u * 4); // at least a second of sound
}

} // namespace
} // namespace sondrix
