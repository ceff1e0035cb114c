#pragma once

#include <string>
#include <typeinfo>

#include <boost/core/demangle.hpp>

namespace Quorvel {

// The demangled name of the object's dynamic type, for log lines that must
// name the concrete recorder or driver rather than the base it is used
// through. Falls back to the raw type name when it cannot be demangled; with
// stripNamespace, everything up to and including the last "::" goes.
template <class T>
std::string DynamicClassName(const T& object, bool stripNamespace) {
  std::string name = boost::core::demangle(typeid(object).name());
  if (stripNamespace) {
    const std::string::size_type separator = name.rfind("::");
    if (separator != std::string::npos) {
      name.erase(0, separator + 2);
    }
  }
  return name;
}

}  // namespace Quorvel
