#pragma once

#include <cstdio>
#include <ostream>
#include <sstream>
#include <string>
#include <type_traits>

#include "archive/QVArchivable.h"
#include "archive/QVArchiver.h"
#include "archive/QVUnarchivable.h"
#include "archive/QVUnarchiver.h"

namespace Quorvel {

// A half-open span [location, location + length) of addresses, offsets or
// line numbers. Instantiated for unsigned long (addresses), int (section
// offsets, source lines) and long (file offsets).
//
// A zero-length range contains nothing and overlaps nothing; adjacent ranges
// do not overlap. Ordering compares the location first, then the length.
// Archived under "Loc" and "Len" as text: "0x%llx" for unsigned types,
// "%lld" for signed ones, and read back with base detection.
template <class T>
class QVRange : public QVArchivable, public QVUnarchivable {
  static_assert(std::is_integral<T>::value, "ranges are over integral keys");

 public:
  using Unsigned = typename std::make_unsigned<T>::type;

  static const char* const KeyLocation;
  static const char* const KeyLength;
  static const QVRange EMPTY_RANGE;

  T location;
  T length;

  // constexpr so that EMPTY_RANGE is constant-initialised and usable from
  // other translation units' static initialisers.
  constexpr QVRange() : location(0), length(0) {}
  constexpr QVRange(T location_, T length_) : location(location_), length(length_) {}
  QVRange(const QVRange&) = default;
  QVRange& operator=(const QVRange&) = default;
  ~QVRange() override = default;

  // The first location past the range. Computed modulo 2^N so that signed
  // keys near their limits wrap instead of invoking undefined behaviour.
  T end() const { return Wrap(static_cast<Unsigned>(location) + static_cast<Unsigned>(length)); }
  bool isEmpty() const { return length == 0; }

  // location <= x and x - location < length. The difference is taken in the
  // unsigned type: it is exact there once location <= x, whereas the signed
  // subtraction could overflow for int ranges spanning most of the type.
  bool contains(T x) const {
    return location <= x && length > 0 &&
           static_cast<Unsigned>(static_cast<Unsigned>(x) - static_cast<Unsigned>(location)) <
               static_cast<Unsigned>(length);
  }

  // Both lengths positive and the later range starts before the earlier one
  // ends. A negative length (only possible for signed keys) never satisfies
  // "difference < length", so such a range overlaps nothing.
  bool overlaps(const QVRange& other) const {
    if (length <= 0 || other.length <= 0) {
      return false;
    }
    if (location < other.location) {
      return Distance(location, other.location) < static_cast<Unsigned>(length);
    }
    return Distance(other.location, location) < static_cast<Unsigned>(other.length);
  }

  bool operator==(const QVRange& other) const { return location == other.location && length == other.length; }
  bool operator!=(const QVRange& other) const { return !(*this == other); }
  bool operator<(const QVRange& other) const {
    return location < other.location || (location == other.location && length < other.length);
  }

  void encodeWithArchiver(QVArchiver* archiver) const override {
    archiver->encodeString(NumberText(location), KeyLocation);
    archiver->encodeString(NumberText(length), KeyLength);
  }

  void decodeWithUnarchiver(QVUnarchiver* unarchiver) override {
    std::string text;
    unarchiver->decodeString(KeyLocation, text);
    location = ParseNumber(text);
    unarchiver->decodeString(KeyLength, text);
    length = ParseNumber(text);
  }

  // "[0x<start>, 0x<end>)" in hexadecimal; the form every description and
  // log message of the range containers uses.
  void getDescription(std::ostream& os) const {
    std::ios_base::fmtflags flags = os.flags();
    os << "[0x" << std::hex << static_cast<Unsigned>(location) << ", 0x" << static_cast<Unsigned>(end()) << ")";
    os.flags(flags);
  }

  std::string description() const {
    std::ostringstream os;
    getDescription(os);
    return os.str();
  }

  // Two's-complement wrap of an unsigned intermediate back into T.
  static T Wrap(Unsigned value) { return static_cast<T>(value); }
  static T Add(T a, T b) { return Wrap(static_cast<Unsigned>(a) + static_cast<Unsigned>(b)); }
  static T Subtract(T a, T b) { return Wrap(static_cast<Unsigned>(a) - static_cast<Unsigned>(b)); }
  // b - a for a <= b, exact in the unsigned type.
  static Unsigned Distance(T a, T b) { return static_cast<Unsigned>(static_cast<Unsigned>(b) - static_cast<Unsigned>(a)); }

 private:
  static std::string NumberText(T value) {
    char buffer[32];
    if (std::is_signed<T>::value) {
      std::snprintf(buffer, sizeof(buffer), "%lld", static_cast<long long>(value));
    } else {
      std::snprintf(buffer, sizeof(buffer), "0x%llx", static_cast<unsigned long long>(value));
    }
    return buffer;
  }

  // Signed text is read as a signed 64-bit number and narrowed to the field.
  static T ParseNumber(const std::string& text) {
    if (std::is_signed<T>::value) {
      return static_cast<T>(ParseArchivedSigned(text));
    }
    return static_cast<T>(ParseArchivedUnsigned(text));
  }
};

template <class T>
const char* const QVRange<T>::KeyLocation = "Loc";
template <class T>
const char* const QVRange<T>::KeyLength = "Len";
template <class T>
const QVRange<T> QVRange<T>::EMPTY_RANGE(0, 0);

template <class T>
std::ostream& operator<<(std::ostream& os, const QVRange<T>& range) {
  range.getDescription(os);
  return os;
}

}  // namespace Quorvel
