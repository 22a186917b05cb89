// One typed parameter value. Floats compare and hash by their canonical bits
// (every NaN made one NaN, -0.0 kept apart from +0.0), so the same rules hold
// for maps, node keys and the interning table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nodalis::ir {

class TokenOut;

// The position is the tag the blob writes and hashing mixes in.
enum class ParamTag : uint8_t { Int = 0, Float = 1, Bool = 2, Str = 3 };

inline constexpr uint64_t kCanonicalNaNBits = 0x7FF8000000000000ull;

// Bit pattern of a double with every NaN replaced by kCanonicalNaNBits.
uint64_t canonical_bits(double value) noexcept;
uint64_t canonical_bits_of_raw(uint64_t raw_bits) noexcept;

// A non-owning view of one value; `str` points into whatever holds the text
// (an encoded map, a ParamValue, a Python string buffer).
struct ParamRef {
  ParamTag tag = ParamTag::Int;
  int64_t i = 0;        // Int
  uint64_t bits = 0;    // Float: the raw IEEE-754 bits as stored
  bool b = false;       // Bool
  std::string_view str; // Str

  static ParamRef of_int(int64_t v) noexcept;
  static ParamRef of_float(double v) noexcept;
  static ParamRef of_float_bits(uint64_t raw) noexcept;
  static ParamRef of_bool(bool v) noexcept;
  static ParamRef of_str(std::string_view v) noexcept;

  double f() const noexcept;  // Float payload as a double

  // Value token: "i-5", "f3ff0000000000000", "btrue", "sa%3Bb".
  void append_token(std::string& out) const;
  void write_token(TokenOut& out) const;
  std::string token() const;
  // Display form for DOT labels: 1.0 -> "1", "a\"b" -> "\"a\\\"b\"".
  void append_display(std::string& out) const;
  std::string display() const;

  friend bool operator==(const ParamRef& a, const ParamRef& b) noexcept;
};

// An owning value (used where a value outlives its source).
class ParamValue {
 public:
  static ParamValue Int(int64_t v);
  static ParamValue Float(double v);
  static ParamValue Bool(bool v);
  static ParamValue Str(std::string v);

  ParamTag tag() const noexcept { return tag_; }
  ParamRef ref() const noexcept;
  std::string token() const { return ref().token(); }
  std::string display() const { return ref().display(); }
  friend bool operator==(const ParamValue& a, const ParamValue& b) noexcept {
    return a.ref() == b.ref();
  }

 private:
  ParamTag tag_ = ParamTag::Int;
  uint64_t word_ = 0;  // Int, Float bits or Bool
  std::string str_;
};

}  // namespace nodalis::ir
