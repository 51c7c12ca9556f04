#include "tags/au_tags.h"

#include <algorithm>

namespace sondrix {
namespace {

char lowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case-insensitive ordering of ids; ids are ASCII names.
int compareIds(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(lowerAscii(a[i]));
    const auto y = static_cast<unsigned char>(lowerAscii(b[i]));
    if (x != y)
      return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::unique_ptr<TAuTags> createBase() {
  return std::make_unique<TAuTags>();
}

} // namespace

TAuTags::TAuTags() = default;
TAuTags::~TAuTags() = default;

const TAuTagsClass& TAuTags::ClassType() {
  static const TAuTagsClass cls{"TAuTags", &createBase, &TAuTags::Presents};
  return cls;
}

std::ptrdiff_t TAuTags::find(std::string_view Id) const {
  const auto it =
      std::lower_bound(FValues.begin(), FValues.end(), Id, [](const Entry& e, std::string_view id) {
        return compareIds(e.first, id) < 0;
      });
  if (it == FValues.end() || compareIds(it->first, Id) != 0)
    return -1;
  return it - FValues.begin();
}

bool TAuTags::AddId(std::string_view Id, const TTagValue& Initial) {
  if (Id.empty())
    return false;
  const auto it =
      std::lower_bound(FValues.begin(), FValues.end(), Id, [](const Entry& e, std::string_view id) {
        return compareIds(e.first, id) < 0;
      });
  if (it != FValues.end() && compareIds(it->first, Id) == 0)
    return true;
  FValues.emplace(it, std::string(Id), std::make_unique<TTagValueInfo>(TTagValueInfo{Initial}));
  return true;
}

std::string TAuTags::Ids(int Index) const {
  if (Index < 0 || Index >= IdCount())
    return {};
  return FValues[static_cast<std::size_t>(Index)].first;
}

TTagValue TAuTags::Values(std::string_view Id) const {
  const std::ptrdiff_t i = find(Id);
  return i < 0 ? TTagValue() : FValues[static_cast<std::size_t>(i)].second->Value;
}

void TAuTags::SetValues(std::string_view Id, const TTagValue& Value) {
  const std::ptrdiff_t i = find(Id);
  if (i < 0)
    return;
  TTagValue& stored = FValues[static_cast<std::size_t>(i)].second->Value;
  if (stored.SameAs(Value))
    return;
  stored = Value;
  FEmpty = false;
  FChanged = true;
}

std::int32_t TAuTags::AsInteger(std::string_view Id) const {
  return Values(Id).ToInteger();
}
std::string TAuTags::AsString(std::string_view Id) const {
  return Values(Id).ToNarrow();
}
std::u16string TAuTags::AsWideString(std::string_view Id) const {
  return Values(Id).ToWide();
}

void TAuTags::Clear() {
  for (auto& entry : FValues)
    entry.second->Value = TTagValue();
  FEmpty = true;
  FChanged = true;
}

void TAuTags::copyInto(TAuTags& Dest) const {
  // Reading every value first keeps a self-copy (Dest == *this) from seeing cleared values.
  std::vector<std::pair<std::string, TTagValue>> snapshot;
  snapshot.reserve(FValues.size());
  for (const auto& entry : FValues)
    snapshot.emplace_back(entry.first, entry.second->Value);
  Dest.Clear();
  for (const auto& [id, value] : snapshot)
    Dest.SetValues(id, value);
}

void TAuTags::Assign(const TPersistent* Source) {
  if (const auto* tags = dynamic_cast<const TAuTags*>(Source)) {
    tags->copyInto(*this);
    return;
  }
  TPersistent::Assign(Source);
}

void TAuTags::AssignTo(TPersistent& Dest) const {
  if (auto* tags = dynamic_cast<TAuTags*>(&Dest)) {
    copyInto(*tags);
    return;
  }
  TPersistent::AssignTo(Dest);
}

bool TAuTags::Presents(int InFile) {
  return isValidHandle(InFile);
}

bool TAuTags::ReadFromFile(int InFile) {
  if (!isValidHandle(InFile))
    return false;
  Clear();
  return true;
}

bool TAuTags::WriteToFile(int OutFile, bool /*Unicode*/) {
  return isValidHandle(OutFile);
}

} // namespace sondrix
