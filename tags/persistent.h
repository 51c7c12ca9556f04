#pragma once

#include <stdexcept>
#include <string>

namespace sondrix {

// The framework's assignment error.
class EConvertError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// The framework's assignable base class. Assign asks the source to copy itself into this
// object; a pair that neither side knows raises EConvertError "Cannot assign a %s to a %s".
class TPersistent {
public:
  TPersistent() = default;
  TPersistent(const TPersistent&) = delete;
  TPersistent& operator=(const TPersistent&) = delete;
  virtual ~TPersistent() = default;

  // The class name used in the assignment error text.
  virtual std::string ClassName() const { return "TPersistent"; }

  // Copies Source into this object; a null Source is named "nil" in the error text.
  virtual void Assign(const TPersistent* Source);

protected:
  virtual void AssignTo(TPersistent& Dest) const;
  // Raises EConvertError naming Source (or "nil") and this object's class.
  [[noreturn]] void AssignError(const TPersistent* Source) const;
};

} // namespace sondrix
