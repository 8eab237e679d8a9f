#pragma once
// The marks of the data log file format, written by DataLog and matched by DataLogReader:
//
//   @META:
//   key=value ...
//
//   @DATA:
//   data lines ...
//
//
//   @SIGNATURE: C2(S2):<hex>

#include <string_view>

namespace KelvraCorelib::DataLogFormat {

inline constexpr std::string_view metaMark = "@META:";
inline constexpr std::string_view dataMark = "@DATA:";
inline constexpr std::string_view signaturePrefix = "@SIGNATURE: ";

}  // namespace KelvraCorelib::DataLogFormat
