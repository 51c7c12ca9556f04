#pragma once

#include "tags/persistent.h"
#include "tags/tag_value.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sondrix {

class TAuTags;

// What a container class offers without an instance: its name, a way to make one, and its
// class-level Presents. Each container class has one (`TFoo::ClassType()`).
struct TAuTagsClass {
  const char* Name;
  std::unique_ptr<TAuTags> (*Create)();
  bool (*Presents)(int InFile);
};

// A set of named, typed tag values. The ids are fixed by each class's constructor and kept
// sorted, compared ignoring case. Storing a value that differs from the stored one sets
// Empty false and Changed true; storing an equal value or to an unknown id does nothing.
// No lock: one thread at a time (the owner orders its accesses).
// File handles are POSIX descriptors; any negative descriptor is invalid.
class TAuTags : public TPersistent {
public:
  static constexpr int InvalidHandle = -1;

  TAuTags();
  ~TAuTags() override;

  std::string ClassName() const override { return "TAuTags"; }
  static const TAuTagsClass& ClassType();
  virtual const TAuTagsClass& ClassRef() const { return ClassType(); }

  // Tag container Source: Clear, then copy the values whose ids agree by name (ignoring
  // case) through the store rule. Anything else: EConvertError.
  void Assign(const TPersistent* Source) override;

  // Sets every value to null; Empty and Changed become true.
  void Clear();

  int IdCount() const { return static_cast<int>(FValues.size()); }
  // The id at Index of the sorted list; empty text outside 0..IdCount-1.
  std::string Ids(int Index) const;

  // A copy of the value of Id; null when Id is not registered.
  TTagValue Values(std::string_view Id) const;
  // The store rule. Never registers Id.
  void SetValues(std::string_view Id, const TTagValue& Value);

  std::int32_t AsInteger(std::string_view Id) const;
  std::string AsString(std::string_view Id) const;
  std::u16string AsWideString(std::string_view Id) const;

  bool Empty() const { return FEmpty; }
  bool Changed() const { return FChanged; }

  // Base file operations: valid handle → true (ReadFromFile clears first); invalid → false
  // with the values untouched. Nothing is read or written.
  static bool Presents(int InFile);
  virtual bool ReadFromFile(int InFile);
  virtual bool WriteToFile(int OutFile, bool Unicode);

protected:
  void AssignTo(TPersistent& Dest) const override;

  // Registers Id with a copy of Initial (an id already present keeps its value). False only
  // for an empty Id. Leaves Empty and Changed alone.
  bool AddId(std::string_view Id, const TTagValue& Initial);

  static bool isValidHandle(int handle) { return handle >= 0; }

private:
  using Entry = std::pair<std::string, std::unique_ptr<TTagValueInfo>>;
  // Position of Id in FValues, or -1.
  std::ptrdiff_t find(std::string_view Id) const;
  void copyInto(TAuTags& Dest) const;

  std::vector<Entry> FValues; // sorted by id, ignoring case
  bool FEmpty = true;
  bool FChanged = false;
};

} // namespace sondrix
