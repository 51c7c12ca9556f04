#include "analysis_cache.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace sondrix {

namespace {

// Bump when the fields or the way they are measured change: old results are then missed.
constexpr std::string_view kFormat = "sondrix-analysis 1";
// Far more than any result needs; a bigger file is not ours.
constexpr std::size_t kMaxFileBytes = 64 * 1024;

class Descriptor {
public:
  explicit Descriptor(int Fd) : FFd(Fd) {}
  ~Descriptor() {
    if (FFd >= 0)
      ::close(FFd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return FFd; }
  // Closes now, so that a failed close (a full disk noticed late) can be seen.
  bool close() {
    const int Fd = FFd;
    FFd = -1;
    return ::close(Fd) == 0;
  }

private:
  int FFd;
};

struct FileKey {
  std::int64_t Size = 0;
  std::int64_t MtimeNs = 0;
};

std::optional<FileKey> keyOf(const std::string& Path) {
  struct stat St {};
  if (Path.empty() || ::stat(Path.c_str(), &St) != 0)
    return std::nullopt;
  return FileKey{static_cast<std::int64_t>(St.st_size),
                 static_cast<std::int64_t>(St.st_mtim.tv_sec) * 1'000'000'000 + St.st_mtim.tv_nsec};
}

std::string fileNameFor(const std::string& Path) {
  std::uint64_t Hash = 14695981039346656037ull; // FNV-1a
  for (unsigned char C : Path)
    Hash = (Hash ^ C) * 1099511628211ull;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string Name(16, '0');
  for (int I = 15; I >= 0; --I, Hash >>= 4)
    Name[I] = kHex[Hash & 0xf];
  return Name + ".analysis";
}

// One line per path whatever characters it holds.
std::string escaped(const std::string& Path) {
  std::string Out;
  Out.reserve(Path.size());
  for (char C : Path) {
    if (C == '\\')
      Out += "\\\\";
    else if (C == '\n')
      Out += "\\n";
    else
      Out += C;
  }
  return Out;
}

template <typename T> void appendField(std::string& Out, std::string_view Name, T Value) {
  char Buffer[64];
  const auto [End, Ec] = std::to_chars(Buffer, Buffer + sizeof Buffer, Value);
  Out.append(Name).append(" ").append(Buffer, Ec == std::errc{} ? End : Buffer).append("\n");
}

std::string serialise(const std::string& Path, const FileKey& Key, const TrackAnalysis& R) {
  std::string Out;
  Out.append(kFormat).append("\n");
  Out.append("path ").append(escaped(Path)).append("\n");
  appendField(Out, "size", Key.Size);
  appendField(Out, "mtime", Key.MtimeNs);
  appendField(Out, "loudness", R.Loudness);
  appendField(Out, "peak", R.Peak);
  appendField(Out, "cue-in", R.CueIn);
  appendField(Out, "cue-out", R.CueOut);
  appendField(Out, "fade-start", R.FadeStart);
  appendField(Out, "duration", R.Duration);
  appendField(Out, "silent", R.Silent ? 1 : 0);
  return Out;
}

// Reads the file's lines in the order serialise writes them; any deviation fails.
class Reader {
public:
  explicit Reader(std::string_view Text) : FText(Text) {}

  bool line(std::string_view Expected) {
    std::string_view Line;
    return next(Line) && Line == Expected;
  }
  template <typename T> bool field(std::string_view Name, T& Value) {
    std::string_view Line;
    if (!next(Line) || Line.size() <= Name.size() || Line.substr(0, Name.size()) != Name ||
        Line[Name.size()] != ' ')
      return false;
    const std::string_view Text = Line.substr(Name.size() + 1);
    const auto [End, Ec] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    return Ec == std::errc{} && End == Text.data() + Text.size();
  }
  bool atEnd() const { return FText.empty(); }

private:
  bool next(std::string_view& Line) {
    const std::size_t Eol = FText.find('\n');
    if (Eol == std::string_view::npos)
      return false;
    Line = FText.substr(0, Eol);
    FText.remove_prefix(Eol + 1);
    return true;
  }
  std::string_view FText;
};

std::optional<TrackAnalysis> parse(std::string_view Text, const std::string& Path,
                                   const FileKey& Key) {
  Reader In(Text);
  FileKey Stored;
  TrackAnalysis R;
  int Silent = 0;
  if (!In.line(kFormat) || !In.line("path " + escaped(Path)) || !In.field("size", Stored.Size) ||
      !In.field("mtime", Stored.MtimeNs) || !In.field("loudness", R.Loudness) ||
      !In.field("peak", R.Peak) || !In.field("cue-in", R.CueIn) || !In.field("cue-out", R.CueOut) ||
      !In.field("fade-start", R.FadeStart) || !In.field("duration", R.Duration) ||
      !In.field("silent", Silent) || !In.atEnd())
    return std::nullopt;
  if (Stored.Size != Key.Size || Stored.MtimeNs != Key.MtimeNs)
    return std::nullopt;
  // What a damaged or foreign file could hold that no analysis produces.
  const bool Sane = (Silent == 0 || Silent == 1) && std::isfinite(R.Loudness) &&
                    !std::isnan(R.Peak) && R.Peak != HUGE_VAL && std::isfinite(R.Duration) &&
                    0 <= R.CueIn && R.CueIn <= R.FadeStart && R.FadeStart <= R.CueOut &&
                    R.CueOut <= R.Duration;
  if (!Sane)
    return std::nullopt;
  R.Silent = Silent == 1;
  return R;
}

bool writeAll(int Fd, std::string_view Data) {
  while (!Data.empty()) {
    const ssize_t N = ::write(Fd, Data.data(), Data.size());
    if (N < 0 && errno == EINTR)
      continue;
    if (N <= 0)
      return false;
    Data.remove_prefix(static_cast<std::size_t>(N));
  }
  return true;
}

// mkdir -p, private to the user like the rest of a cache.
bool makeFolders(const std::string& Folder) {
  for (std::size_t Slash = Folder.find('/', 1);; Slash = Folder.find('/', Slash + 1)) {
    const std::string Part = Folder.substr(0, Slash);
    if (!Part.empty() && ::mkdir(Part.c_str(), 0700) != 0 && errno != EEXIST)
      return false;
    if (Slash == std::string::npos)
      break;
  }
  struct stat St {};
  return ::stat(Folder.c_str(), &St) == 0 && S_ISDIR(St.st_mode);
}

std::string withoutTrailingSlashes(std::string Path) {
  while (Path.size() > 1 && Path.back() == '/')
    Path.pop_back();
  return Path;
}

} // namespace

AnalysisCache::AnalysisCache(std::string Folder) : FFolder(std::move(Folder)) {}

std::string AnalysisCache::DefaultFolder() {
  const char* Xdg = std::getenv("XDG_CACHE_HOME");
  if (Xdg && Xdg[0] == '/')
    return withoutTrailingSlashes(Xdg) + "/Sondrix/";
  const char* Home = std::getenv("HOME");
  if (Home && Home[0] == '/')
    return withoutTrailingSlashes(Home) + "/.cache/Sondrix/";
  return {};
}

std::optional<TrackAnalysis> AnalysisCache::Load(const std::string& Path) const {
  const std::optional<FileKey> Key = keyOf(Path);
  if (FFolder.empty() || !Key)
    return std::nullopt;
  const std::string File = withoutTrailingSlashes(FFolder) + "/" + fileNameFor(Path);
  Descriptor Fd(::open(File.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (Fd.get() < 0)
    return std::nullopt;
  std::string Text;
  char Buffer[4096];
  for (;;) {
    const ssize_t N = ::read(Fd.get(), Buffer, sizeof Buffer);
    if (N < 0 && errno == EINTR)
      continue;
    if (N < 0)
      return std::nullopt;
    if (N == 0)
      break;
    Text.append(Buffer, static_cast<std::size_t>(N));
    if (Text.size() > kMaxFileBytes)
      return std::nullopt;
  }
  return parse(Text, Path, *Key);
}

void AnalysisCache::Store(const std::string& Path, const TrackAnalysis& Result) const {
  const std::optional<FileKey> Key = keyOf(Path);
  if (FFolder.empty() || !Key)
    return;
  const std::string Folder = withoutTrailingSlashes(FFolder);
  if (!makeFolders(Folder))
    return;
  static std::atomic<std::uint64_t> Counter{0};
  const std::string Name = Folder + "/" + fileNameFor(Path);
  const std::string Temp =
      Name + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(Counter.fetch_add(1));
  Descriptor Fd(::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (Fd.get() < 0)
    return;
  const bool Written = writeAll(Fd.get(), serialise(Path, *Key, Result)) && Fd.close();
  if (!Written || ::rename(Temp.c_str(), Name.c_str()) != 0)
    ::unlink(Temp.c_str());
}

} // namespace sondrix
