#pragma once

#include <ostream>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include <boost/core/demangle.hpp>

namespace Quorvel {

// How the range containers name and print the values they hold in
// descriptions and debug messages.
//
// typeName() is the demangled compiler name of V ("int",
// "std::shared_ptr<Quorvel::QVSection>"): stable from run to run, and needs
// no registration by the value's owner. write() streams the value when V has
// an operator<< (model classes forward it to getDescription); values without
// one print as "?" rather than making every container of them fail to compile.
template <class V>
class QVValueText {
 public:
  static const std::string& typeName() {
    static const std::string name = boost::core::demangle(typeid(V).name());
    return name;
  }

  static void write(std::ostream& os, const V& value) { writeIfStreamable(os, value, 0); }

 private:
  template <class U>
  static auto writeIfStreamable(std::ostream& os, const U& value, int)
      -> decltype(std::declval<std::ostream&>() << value, void()) {
    os << value;
  }
  template <class U>
  static void writeIfStreamable(std::ostream& os, const U&, long) {
    os << "?";
  }
};

}  // namespace Quorvel
