#include "sound/analysis_cache.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace sondrix {
namespace {

namespace fs = std::filesystem;

class AnalysisCacheTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string Template = (fs::temp_directory_path() / "sondrix-cache-XXXXXX").string();
    ASSERT_NE(::mkdtemp(Template.data()), nullptr);
    Dir = Template;
    Track = (Dir / "a track\nwith \\odd name.mp3").string();
    write(Track, "some audio");
  }
  void TearDown() override { fs::remove_all(Dir); }

  static void write(const fs::path& Path, const std::string& Text) {
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << Text;
  }
  static std::size_t filesIn(const fs::path& Folder) {
    return std::distance(fs::directory_iterator(Folder), fs::directory_iterator());
  }

  fs::path Dir;
  std::string Track;
  const TrackAnalysis Result{.Loudness = -14.3 + 1e-12,
                             .Peak = -0.1,
                             .CueIn = 0.25,
                             .CueOut = 181.37,
                             .FadeStart = 175.1,
                             .Duration = 183.0};
};

TEST_F(AnalysisCacheTest, KeepsAResultUntilTheFileChanges) {
  const AnalysisCache Cache((Dir / "cache/deeper").string());
  EXPECT_FALSE(Cache.Load(Track));
  Cache.Store(Track, Result);
  EXPECT_EQ(Cache.Load(Track), Result);
  struct stat St {};
  ASSERT_EQ(::stat(Cache.Folder().c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 0777, 0700u);
  EXPECT_EQ(filesIn(Cache.Folder()), 1u); // no temporary left behind

  const TrackAnalysis Silent{
      .Peak = -HUGE_VAL, .CueOut = 2, .FadeStart = 2, .Duration = 2, .Silent = true};
  const std::string Other = (Dir / "other.flac").string();
  write(Other, "x");
  Cache.Store(Other, Silent);
  EXPECT_EQ(Cache.Load(Other), Silent);
  EXPECT_EQ(Cache.Load(Track), Result);
  EXPECT_FALSE(Cache.Load((Dir / "missing.mp3").string()));

  // Another size at the same time, or the same size a nanosecond later.
  const auto Time = fs::last_write_time(Track);
  write(Track, "other audio");
  fs::last_write_time(Track, Time);
  EXPECT_FALSE(Cache.Load(Track));
  Cache.Store(Track, Result);
  ASSERT_TRUE(Cache.Load(Track));
  fs::last_write_time(Track, Time + std::chrono::nanoseconds(1));
  EXPECT_FALSE(Cache.Load(Track));
}

TEST_F(AnalysisCacheTest, TakesADamagedFileForNone) {
  const AnalysisCache Cache((Dir / "cache").string());
  Cache.Store(Track, Result);
  ASSERT_EQ(filesIn(Cache.Folder()), 1u);
  const fs::path File = fs::directory_iterator(Cache.Folder())->path();
  std::string Good;
  std::getline(std::ifstream(File), Good, '\0');
  const auto edited = [&](const std::string& From, const std::string& To) {
    return std::string(Good).replace(Good.find(From), From.size(), To);
  };
  for (const std::string& Bad :
       {std::string(), std::string("\x01garbage\xff"), Good.substr(0, Good.size() / 2),
        Good + "extra 1\n", edited("sondrix-analysis 1", "sondrix-analysis 99"),
        edited("cue-in 0.25", "cue-in nan"), edited("cue-in 0.25", "cue-in 0.25x"),
        edited("cue-in 0.25", "cue-in 190"), edited("silent 0", "silent 7"),
        std::string(1 << 20, 'a')}) {
    write(File, Bad);
    EXPECT_FALSE(Cache.Load(Track)) << Bad.substr(0, 80);
  }
  write(File, Good);
  EXPECT_EQ(Cache.Load(Track), Result);
}

TEST_F(AnalysisCacheTest, KeepsNothingWhereItCannotWrite) {
  write(Dir / "plain-file", "x");
  for (const std::string& Folder : {(Dir / "plain-file/cache").string(), std::string()}) {
    const AnalysisCache Cache(Folder);
    EXPECT_NO_THROW(Cache.Store(Track, Result));
    EXPECT_FALSE(Cache.Load(Track));
  }
  EXPECT_EQ(filesIn(Dir), 2u);
}

// Sets or clears an environment variable for one scope.
class ScopedEnv {
public:
  ScopedEnv(const char* Name, const char* Value) : FName(Name) {
    if (const char* Old = std::getenv(Name))
      FOld = Old;
    Value ? ::setenv(Name, Value, 1) : ::unsetenv(Name);
  }
  ~ScopedEnv() { FOld ? ::setenv(FName, FOld->c_str(), 1) : ::unsetenv(FName); }

private:
  const char* FName;
  std::optional<std::string> FOld;
};

TEST(AnalysisCacheFolder, FollowsTheXdgCacheHomeThenHome) {
  ScopedEnv Home("HOME", "/home/someone/");
  {
    ScopedEnv Xdg("XDG_CACHE_HOME", "/var/cache/someone");
    EXPECT_EQ(AnalysisCache::DefaultFolder(), "/var/cache/someone/Sondrix/");
  }
  for (const char* Xdg : {static_cast<const char*>(nullptr), "", "relative/cache"}) {
    ScopedEnv XdgEnv("XDG_CACHE_HOME", Xdg);
    EXPECT_EQ(AnalysisCache::DefaultFolder(), "/home/someone/.cache/Sondrix/");
    ScopedEnv NoHome("HOME", nullptr);
    EXPECT_EQ(AnalysisCache::DefaultFolder(), "");
  }
}

} // namespace
} // namespace sondrix
