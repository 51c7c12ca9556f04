#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace sondrix {

enum class TTagValueKind { Null, Integer, NarrowText, WideText };

// One tag value: null, an integer that remembers its width (8, 16 or 32 bits) and sign,
// narrow text (this platform's narrow encoding, see base/text.h) or wide UTF-16 text.
// A plain copyable value.
class TTagValue {
public:
  TTagValue() = default; // null

  static TTagValue Int8(std::int8_t v) { return TTagValue(Integer{v, 8, true}); }
  static TTagValue UInt8(std::uint8_t v) { return TTagValue(Integer{v, 8, false}); }
  static TTagValue Int16(std::int16_t v) { return TTagValue(Integer{v, 16, true}); }
  static TTagValue UInt16(std::uint16_t v) { return TTagValue(Integer{v, 16, false}); }
  static TTagValue Int32(std::int32_t v) { return TTagValue(Integer{v, 32, true}); }
  static TTagValue UInt32(std::uint32_t v) { return TTagValue(Integer{v, 32, false}); }
  static TTagValue Narrow(std::string_view text) { return TTagValue(std::string(text)); }
  static TTagValue Wide(std::u16string_view text) { return TTagValue(std::u16string(text)); }

  TTagValueKind Kind() const { return static_cast<TTagValueKind>(FData.index()); }
  bool IsNull() const { return Kind() == TTagValueKind::Null; }

  // Integer kind only (0 otherwise): the value, its width in bits and whether it is signed.
  std::int64_t IntegerValue() const;
  int IntegerBits() const;
  bool IntegerSigned() const;
  // Text kinds only (empty otherwise): the stored text as it is.
  const std::string& NarrowText() const;
  const std::u16string& WideText() const;

  // The typed reads of a tag container: null reads as 0 / empty text; integers as their
  // value or decimal text; text converted between narrow and wide; a text that is not a
  // decimal 32-bit number reads as integer 0.
  std::int32_t ToInteger() const;
  std::string ToNarrow() const;
  std::u16string ToWide() const;

  // The comparison of the store rule: both null are the same, one null differs; texts are
  // compared case-sensitively as wide text; integers numerically whatever their width; a
  // text and an integer are the same only when the text is the integer's decimal text.
  bool SameAs(const TTagValue& other) const;

  // Exact equality, kind and width included (for tests and diagnostics).
  friend bool operator==(const TTagValue&, const TTagValue&) = default;

  // A readable rendering, e.g. null, u8:12, n"Rock", w"Rock".
  std::string Describe() const;

private:
  struct Integer {
    std::int64_t value = 0;
    int bits = 32;
    bool isSigned = true;
    friend bool operator==(const Integer&, const Integer&) = default;
  };
  explicit TTagValue(Integer v) : FData(v) {}
  explicit TTagValue(std::string v) : FData(std::move(v)) {}
  explicit TTagValue(std::u16string v) : FData(std::move(v)) {}

  std::variant<std::monostate, Integer, std::string, std::u16string> FData;
};

// The value record each registered id owns.
struct TTagValueInfo {
  TTagValue Value;
};

} // namespace sondrix
