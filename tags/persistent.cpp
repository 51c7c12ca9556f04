#include "tags/persistent.h"

namespace sondrix {

void TPersistent::Assign(const TPersistent* Source) {
  if (Source == nullptr)
    AssignError(nullptr);
  Source->AssignTo(*this);
}

void TPersistent::AssignTo(TPersistent& Dest) const {
  Dest.AssignError(this);
}

void TPersistent::AssignError(const TPersistent* Source) const {
  const std::string sourceName = Source ? Source->ClassName() : std::string("nil");
  throw EConvertError("Cannot assign a " + sourceName + " to a " + ClassName());
}

} // namespace sondrix
