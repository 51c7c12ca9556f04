// Files that cannot play, met by the playlist as the station meets them: the run ends with the
// reason, never as if the list were simply over.

#include "fixtures.h"
#include "wav_bytes.h"
#include "wm_in_helpers.h"

#include "audio/au_exception.h"
#include "audio/audio_play_list.h"
#include "tests/audio/test_doubles.h"
#include "winmedia/mp3_in.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <sys/syscall.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace sondrix::testing {
namespace {

namespace fs = std::filesystem;

std::string systemText(int error) {
  return std::generic_category().message(error);
}

struct RunResult {
  std::vector<std::uint8_t> data;
  std::vector<std::string> messages;
  int done = 0;
  int item = -1;
};

class WMInBadPlayList : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = std::make_unique<TempDir>("wm-in-bad-list");
    ToneOptions tone;
    tone.seconds = 1;
    tone.codecArgs = {"-c:a", "libmp3lame", "-b:a", "128k"};
    makeToneFile(*dir / "good.mp3", tone);
    auto in = MakeComponent<TMP3In>();
    in->SetFileName((*dir / "good.mp3").string());
    goodPcm = playThrough(*in);
    tone.seconds = 3;
    makeToneFile(*dir / "long.mp3", tone);
    const auto whole = readBytes(*dir / "long.mp3");
    writeBytes(*dir / "cut.mp3", {whole.begin(), whole.begin() + whole.size() / 3});
    writeBytes(*dir / "j.mp3", {'h', 'e', 'l', 'l', 'o'});
    writeBytes(*dir / "empty.mp3", {});
    std::mt19937 gen(77);
    std::vector<std::uint8_t> noise(32 * 1024);
    for (auto& b : noise)
      b = static_cast<std::uint8_t>(gen());
    writeBytes(*dir / "noise.mp3", noise);
    fs::create_directory(*dir / "x.mp3");
    writeBytes(*dir / "silent.wav", wavBytes(44100, 2, 0));
  }
  static void TearDownTestSuite() { dir.reset(); }

  static std::string path(const char* name) { return (*dir / name).string(); }

  // One run of the list through an output, as far as it goes.
  RunResult run(const std::vector<std::string>& files) {
    auto mp3 = MakeComponent<TMP3In>();
    auto list = MakeComponent<TAudioPlayList>();
    auto out = MakeComponent<RecordingOutput>();
    out->BlockSize = 4096;
    list->SetInput(mp3.get());
    list->SetFiles(files);
    out->SetInput(list.get());
    RunResult r;
    out->OnThreadException = [&](TComponent*) { r.messages.push_back(out->ExceptionMessage()); };
    out->OnDone = [&](TComponent*) { ++r.done; };
    out->Run();
    EXPECT_TRUE(pumpUntil([&] { return r.done > 0; }, std::chrono::seconds(30)));
    r.item = list->CurrentItem();
    std::lock_guard lock(out->DataMutex);
    r.data = out->Data;
    return r;
  }

  static std::unique_ptr<TempDir> dir;
  static std::vector<std::uint8_t> goodPcm;
};
std::unique_ptr<TempDir> WMInBadPlayList::dir;
std::vector<std::uint8_t> WMInBadPlayList::goodPcm;

TEST_F(WMInBadPlayList, AFileThatCannotPlayEndsTheRunWithItsReason) {
  const struct {
    const char* name;
    std::string message;
  } rows[] = {
      {"j.mp3", TWMIn::kNotMediaText},     {"empty.mp3", TWMIn::kEmptyFileText},
      {"noise.mp3", TWMIn::kNotMediaText}, {"x.mp3", systemText(EISDIR)},
      {"gone.mp3", systemText(ENOENT)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // Alone: the start fails.
    RunResult alone = run({path(row.name)});
    EXPECT_EQ(alone.messages, std::vector<std::string>{row.message});
    EXPECT_EQ(alone.done, 1);
    EXPECT_TRUE(alone.data.empty());
    // After a good file: that file plays whole, then the switch fails.
    RunResult after = run({path("good.mp3"), path(row.name), path("good.mp3")});
    EXPECT_EQ(after.messages, std::vector<std::string>{row.message});
    EXPECT_EQ(after.done, 1);
    EXPECT_EQ(after.item, 1) << "the failed item is the current one";
    // The block being filled when the switch failed is not written.
    EXPECT_GT(after.data.size() + 4096, goodPcm.size());
    EXPECT_TRUE(std::equal(after.data.begin(), after.data.end(), goodPcm.begin()))
        << after.data.size() << " bytes, not the first file's";
  }
}

TEST_F(WMInBadPlayList, FilesThatPlayLittleOrNothingAreNoError) {
  // A cut MP3 plays what is there; a WAV with no frames plays nothing, and the list moves on
  // from it at the start or ends at it later (a list of silent files must not spin).
  RunResult r = run({path("silent.wav"), path("cut.mp3"), path("good.mp3")});
  EXPECT_TRUE(r.messages.empty()) << r.messages.front();
  EXPECT_EQ(r.item, 2);
  ASSERT_GT(r.data.size(), goodPcm.size());
  const double cutSeconds = double(r.data.size() - goodPcm.size()) / 4 / 44100;
  EXPECT_GT(cutSeconds, 0.5);
  EXPECT_LT(cutSeconds, 1.5);
  EXPECT_TRUE(std::equal(goodPcm.begin(), goodPcm.end(), r.data.end() - goodPcm.size()));

  r = run({path("good.mp3"), path("silent.wav"), path("good.mp3")});
  EXPECT_TRUE(r.messages.empty()) << r.messages.front();
  EXPECT_EQ(r.done, 1);
  EXPECT_EQ(r.item, 1);
  EXPECT_TRUE(r.data == goodPcm);
}

TEST_F(WMInBadPlayList, AFileDeletedWhileQueuedEndsTheRunAtItsTurn) {
  const std::string doomed = path("doomed.mp3");
  fs::copy_file(*dir / "good.mp3", doomed, fs::copy_options::overwrite_existing);
  auto mp3 = MakeComponent<TMP3In>();
  auto list = MakeComponent<TAudioPlayList>();
  list->SetInput(mp3.get());
  list->SetFiles({path("good.mp3"), doomed});
  list->Init();
  std::vector<std::uint8_t> block(4096);
  bool eof = false;
  ASSERT_EQ(list->FillBuffer(block.data(), 4096, eof), 4096u);
  fs::remove(doomed);
  try {
    while (!eof)
      list->FillBuffer(block.data(), 4096, eof);
    ADD_FAILURE() << "the list ended quietly";
  } catch (const EAuException& e) {
    EXPECT_EQ(std::string(e.what()), systemText(ENOENT));
  }
  EXPECT_EQ(list->CurrentItem(), 1);
  list->Flush();
}

// What starting a list of one file gives on a thread whose effective user is not root: root
// reads any file, whatever its mode (Linux keeps credentials per thread, under the C library).
std::string startAsAnotherUser(const std::string& file) {
  std::string result = "could not change user";
  std::thread other([&] {
    if (::geteuid() == 0 && ::syscall(SYS_setresuid, -1, 65534, -1) != 0)
      return;
    auto mp3 = MakeComponent<TMP3In>();
    auto list = MakeComponent<TAudioPlayList>();
    list->SetInput(mp3.get());
    list->SetFiles({file});
    try {
      list->Init();
      result = "played";
    } catch (const EAuException& e) {
      result = e.what();
    }
    list->Flush();
  });
  other.join();
  return result;
}

TEST_F(WMInBadPlayList, AnUnreadableFileEndsTheListWithPermissionDenied) {
  const std::string locked = path("locked.mp3");
  fs::copy_file(*dir / "good.mp3", locked, fs::copy_options::overwrite_existing);
  // The other user keeps root's group: the group's bits are the ones that count for it.
  fs::permissions(dir->path(), fs::perms::owner_all | fs::perms::group_exec);
  fs::permissions(locked, fs::perms::owner_read | fs::perms::group_read);
  EXPECT_EQ(startAsAnotherUser(locked), "played");
  fs::permissions(locked, fs::perms::none);
  EXPECT_EQ(startAsAnotherUser(locked), systemText(EACCES));
}

} // namespace
} // namespace sondrix::testing
