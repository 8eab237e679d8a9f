#pragma once
// Byte texts: base64 (RFC 4648, with padding), hexadecimal and unsigned decimals.
//
//   toBase64("foo")                        => "Zm9v"
//   toHex("\x0f\xa5", HexLetters::upper)   => "0FA5"
//   parseDecimal("0042", value, DecimalForm::zeroPadded)

#include <cstdint>
#include <string>

namespace KelvraCorelib {

std::string toBase64(const std::string& bytes);
// Only the canonical form: padded, and the bits that padding hides are zero.
bool fromBase64(const std::string& text, std::string& bytes);

enum class HexLetters { lower, upper };

// Two digits per byte, high nibble first.
std::string toHex(const std::string& bytes, HexLetters letters = HexLetters::lower);

enum class DecimalForm {
    canonical,   // "0" or no leading zero, at most 18 digits (so within 63 bits)
    zeroPadded,  // leading zeros allowed, at most 19 digits ("0000000042")
};

// A decimal without sign.
bool parseDecimal(const std::string& text, uint64_t& value, DecimalForm form = DecimalForm::canonical);

}  // namespace KelvraCorelib
