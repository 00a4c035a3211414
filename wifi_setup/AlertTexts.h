// The fixed alert titles and messages of the Wi-Fi settings commands, byte for
// byte as the printer's users know them. Mind the commas: kDeviceBusy has the
// ASCII comma, kPrintingCannotSet and kParseFailedRetry the full-width one.
#pragma once

#include <string_view>

namespace tbx::wifi {

// error
inline constexpr std::string_view kErrorTitle = "错误";
// error (English)
inline constexpr std::string_view kErrorTitleLatin = "Error";
// device busy, printing
inline constexpr std::string_view kDeviceBusy = "设备忙,打印中";
// not supported in the current Wi-Fi mode
inline constexpr std::string_view kModeNotSupportedNow = "当前wifi模式不支持";
// data parsing error
inline constexpr std::string_view kDataParseError = "数据解析错误";
// error while getting the client-mode data
inline constexpr std::string_view kClientModeReadError = "获取客户端模式数据出错";
// setting succeeded
inline constexpr std::string_view kSetSucceeded = "设置成功";
// the hot-spot information has been set
inline constexpr std::string_view kHotSpotInfoSet = "已成功设置热点信息";
// printing, cannot set
inline constexpr std::string_view kPrintingCannotSet = "打印中，无法设置";
// the parameters are wrong
inline constexpr std::string_view kWrongParameters = "设置的参数有误";
// Wi-Fi mode not supported
inline constexpr std::string_view kModeNotSupported = "wifi模式不支持";
// error parsing the data returned for the AP setting
inline constexpr std::string_view kAPReplyParseError = "AP设置返回数据解析错误";
// data parsing failed, please try again
inline constexpr std::string_view kParseFailedRetry = "数据解析出错，请重试";

} // namespace tbx::wifi
